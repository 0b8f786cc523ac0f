// Argument binding as the interpreter binds a call to a Python function: positional, keyword,
// `*args`, `**kwargs` and defaults, with its messages; then the bound body runs in a frame.
#include "runtime/function.hpp"

#include "runtime/handling.hpp"

namespace rt {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
Ref join_names(PyObject* reprs) {
    Py_ssize_t n = PyList_GET_SIZE(reprs);
    if (n == 1) return Ref::borrow(PyList_GET_ITEM(reprs, 0));
    if (n == 2)
        return Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(reprs, 0),
                                               PyList_GET_ITEM(reprs, 1)));
    Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(reprs, n - 2),
                                               PyList_GET_ITEM(reprs, n - 1)));
    Ref head_items = Ref::steal(PyList_GetSlice(reprs, 0, n - 2));
    Ref comma = Ref::steal(PyUnicode_FromString(", "));
    if (!tail || !head_items || !comma) return {};
    Ref head = Ref::steal(PyUnicode_Join(comma.get(), head_items.get()));
    if (!head) return {};
    return Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
}

void raise_missing(Function* fn, PyObject* const* slots, Py_ssize_t from, Py_ssize_t to) {
    Ref reprs = Ref::steal(PyList_New(0));
    if (!reprs) return;
    for (Py_ssize_t i = from; i < to; ++i) {
        if (slots[i]) continue;
        Ref repr = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(fn->varnames.get(), i)));
        if (!repr || PyList_Append(reprs.get(), repr.get()) < 0) return;
    }
    Py_ssize_t count = PyList_GET_SIZE(reprs.get());
    Ref joined = join_names(reprs.get());
    if (!joined) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 fn->qualname.get(), count, count == 1 ? "" : "s", joined.get());
}

void raise_too_many_positional(Function* fn, Py_ssize_t given) {
    Py_ssize_t ndefaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults.get()) : 0;
    Ref sig;
    bool plural;
    if (ndefaults) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", fn->argcount - ndefaults, fn->argcount));
    } else {
        plural = fn->argcount != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", fn->argcount));
    }
    if (!sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 fn->qualname.get(), sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// What keyword_slot gives besides an index.
constexpr Py_ssize_t kNoSuchParameter = -1;
constexpr Py_ssize_t kComparisonFailed = -2;  // comparing a name raised: the error is set

// Index of `key` among the parameters that a keyword may name, or one of the two above.
Py_ssize_t keyword_slot(Function* fn, PyObject* key, Py_ssize_t first) {
    PyObject* const* names = &PyTuple_GET_ITEM(fn->varnames.get(), 0);
    for (Py_ssize_t i = first; i < fn->argcount; ++i)
        if (names[i] == key) return i;
    for (Py_ssize_t i = first; i < fn->argcount; ++i) {
        int eq = PyObject_RichCompareBool(names[i], key, Py_EQ);
        if (eq < 0) return kComparisonFailed;
        if (eq) return i;
    }
    return kNoSuchParameter;
}

// Positional-only parameters named as keywords, for the interpreter's message; false on error.
bool raise_if_posonly_as_keyword(Function* fn, PyObject* kwnames) {
    Ref hits = Ref::steal(PyList_New(0));
    if (!hits) return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        for (Py_ssize_t i = 0; i < fn->posonly; ++i) {
            PyObject* name = PyTuple_GET_ITEM(fn->varnames.get(), i);
            int eq = PyObject_RichCompareBool(name, key, Py_EQ);
            if (eq < 0) return false;
            if (eq && PyList_Append(hits.get(), name) < 0) return false;
        }
    }
    if (PyList_GET_SIZE(hits.get()) == 0) return true;
    Ref comma = Ref::steal(PyUnicode_FromString(", "));
    if (!comma) return false;
    Ref joined = Ref::steal(PyUnicode_Join(comma.get(), hits.get()));
    if (!joined) return false;
    PyErr_Format(PyExc_TypeError,
                 "%U() got some positional-only arguments passed as keyword arguments: '%U'",
                 fn->qualname.get(), joined.get());
    return false;
}

// A bound body's call: the slots as bound, in the order of the code's variable names, which its
// frame holds from the start.
struct BoundCall {
    static constexpr bool kMakesCoroutine = false;  // told by the code
    static PyObject* work(Function* fn, PyObject* const* slots) { return fn->bound(fn, slots); }
    // The parameters, borrowed: the binding keeps them alive until the frame ends.
    static int bind(InterpreterFrame* frame, Function* fn, PyObject* const* slots) {
        const Py_ssize_t count = fn->argcount + (fn->varargs ? 1 : 0) + (fn->varkw ? 1 : 0);
        for (Py_ssize_t i = 0; i < count; ++i) frame->slots()[i] = slots[i];
        return static_cast<int>(count);
    }
    // A `**kwargs` the call left empty is the empty dict the interpreter would have made.
    static void fill(InterpreterFrame* frame, Function* fn, PyObject* const*) {
        if (!fn->varkw) return;
        const Py_ssize_t at = fn->argcount + (fn->varargs ? 1 : 0);
        if (frame->slots()[at]) return;
        ErrorTriple pending = ErrorTriple::fetch();
        frame->slots()[at] = PyDict_New();
        PyErr_Clear();
        pending.restore();
    }
    static FrameLocals locals(Function* fn, PyObject* const* slots) {
        const Py_ssize_t count = fn->argcount + (fn->varargs ? 1 : 0) + (fn->varkw ? 1 : 0);
        return FrameLocals(slots, count, fn->closure.get());
    }
};

}  // namespace

namespace detail {

PyObject* bind_and_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<Function*>(self);
    // Binding (a keyword's comparison) and the body run host code and read the function afterwards:
    // it stays alive until the call returns, as an interpreter frame holds its function, whoever
    // held it for the call.
    Ref running = Ref::borrow(self);
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t argcount = fn->argcount;
    PyObject* slots[kMaxBoundSlots];
    std::fill_n(slots, argcount + 2, nullptr);  // the parameters, *args and **kwargs
    Ref star_args, star_kwargs;

    const Py_ssize_t kwargs_slot = argcount + (fn->varargs ? 1 : 0);
    Py_ssize_t npos = given < argcount ? given : argcount;
    for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];
    if (fn->varargs) {
        star_args = Ref::steal(PyTuple_New(given - npos));
        if (!star_args) return nullptr;
        for (Py_ssize_t i = npos; i < given; ++i)
            PyTuple_SET_ITEM(star_args.get(), i - npos, Ref::borrow(args[i]).release());
        slots[argcount] = star_args.get();
    }

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[given + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname.get());
            return nullptr;
        }
        Py_ssize_t at = keyword_slot(fn, key, fn->posonly);
        if (at == kComparisonFailed) return nullptr;
        if (at == kNoSuchParameter) {
            if (fn->posonly && !fn->varkw && !raise_if_posonly_as_keyword(fn, kwnames)) return nullptr;
            if (!fn->varkw) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             fn->qualname.get(), key);
                return nullptr;
            }
            if (!star_kwargs) {
                star_kwargs = Ref::steal(PyDict_New());
                if (!star_kwargs) return nullptr;
                slots[kwargs_slot] = star_kwargs.get();
            }
            if (PyDict_SetItem(star_kwargs.get(), key, value) < 0) return nullptr;
            continue;
        }
        if (slots[at]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         fn->qualname.get(), key);
            return nullptr;
        }
        slots[at] = value;
    }

    if (given > argcount && !fn->varargs) {
        raise_too_many_positional(fn, given);
        return nullptr;
    }
    // Read only now, as the interpreter does: matching a keyword may have run code that replaced
    // __defaults__. The handle keeps the items alive while they sit in the slots.
    Ref defaults = fn->defaults;
    if (given < argcount) {
        Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        Py_ssize_t required = argcount - ndefaults;
        for (Py_ssize_t i = given; i < required; ++i) {
            if (!slots[i]) {
                raise_missing(fn, slots, given, required);
                return nullptr;
            }
        }
        for (Py_ssize_t i = required > given ? required : given; i < argcount; ++i)
            if (!slots[i]) slots[i] = PyTuple_GET_ITEM(defaults.get(), i - required);
    }
    return detail::run_held_frame<BoundCall>(fn, static_cast<PyObject* const*>(slots));
}

}  // namespace detail

}  // namespace rt
