#include "runtime/function.hpp"

#include "runtime/name.hpp"
#include "runtime/traceback.hpp"

#include <algorithm>

#include <structmember.h>

#include <cstddef>

namespace rt {

namespace {

constexpr int kOptimized = 0x0001;   // CO_OPTIMIZED
constexpr int kNewLocals = 0x0002;   // CO_NEWLOCALS
constexpr Py_ssize_t kMaxSlots = 32;  // parameters a bound body can receive

Ref names_tuple(std::span<const char* const> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return {};
    for (size_t i = 0; i < names.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (!name) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

const Name kName{"__name__"};
const Name kBuiltins{"__builtins__"};

// The builtins namespace a function made in `globals` sees, as the interpreter finds it; null
// with the error when the lookup raised.
Ref builtins_of(PyObject* globals) {
    PyObject* key = kBuiltins.get();
    PyObject* builtins = key ? PyDict_GetItemWithError(globals, key) : nullptr;
    if (!builtins && PyErr_Occurred()) return {};
    if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    if (!builtins || !PyDict_Check(builtins)) builtins = PyEval_GetBuiltins();
    return Ref::borrow(builtins);
}

// ---- the call, as the interpreter runs a Python function's frame ----

// ---- argument binding, with the interpreter's messages ----

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

// A bound body's call: the slots as bound, in the order of the code's variable names.
struct BoundCall {
    static constexpr bool kMakesCoroutine = false;  // told by the code, on the traced path
    static PyObject* work(Function* fn, PyObject* const* slots) { return fn->bound(fn, slots); }
    static FrameLocals locals(Function* fn, PyObject* const* slots) {
        const Py_ssize_t count = fn->argcount + (fn->varargs ? 1 : 0) + (fn->varkw ? 1 : 0);
        return FrameLocals(slots, count, fn->closure.get());
    }
};

PyObject* bind_and_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<Function*>(self);
    // Binding (a keyword's comparison) and the body run host code and read the function afterwards:
    // it stays alive until the call returns, as an interpreter frame holds its function, whoever
    // held it for the call.
    Ref running = Ref::borrow(self);
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t argcount = fn->argcount;
    PyObject* slots[kMaxSlots];
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

// ---- attributes ----

int type_error(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

PyObject* get_code(Function* fn, void*) { return Ref(fn->code).release(); }

PyObject* get_name(Function* fn, void*) { return Ref(fn->name).release(); }
int set_name(Function* fn, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) return type_error("__name__ must be set to a string object");
    fn->name = Ref::borrow(value);
    return 0;
}

PyObject* get_qualname(Function* fn, void*) { return Ref(fn->qualname).release(); }
int set_qualname(Function* fn, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value))
        return type_error("__qualname__ must be set to a string object");
    fn->qualname = Ref::borrow(value);
    return 0;
}

PyObject* get_defaults(Function* fn, void*) { return Ref(fn->defaults ? fn->defaults : none()).release(); }
int set_defaults(Function* fn, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) return type_error("__defaults__ must be set to a tuple object");
    fn->defaults = Ref::borrow(value);
    return 0;
}

PyObject* get_kwdefaults(Function* fn, void*) {
    return Ref(fn->kwdefaults ? fn->kwdefaults : none()).release();
}
int set_kwdefaults(Function* fn, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) return type_error("__kwdefaults__ must be set to a dict object");
    fn->kwdefaults = Ref::borrow(value);
    return 0;
}

PyObject* get_annotations(Function* fn, void*) {
    if (!fn->annotations) {
        fn->annotations = Ref::steal(PyDict_New());
        if (!fn->annotations) return nullptr;
    }
    return Ref(fn->annotations).release();
}
int set_annotations(Function* fn, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) return type_error("__annotations__ must be set to a dict object");
    fn->annotations = Ref::borrow(value);
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__code__", reinterpret_cast<getter>(get_code), nullptr, nullptr, nullptr},
    {"__defaults__", reinterpret_cast<getter>(get_defaults), reinterpret_cast<setter>(set_defaults), nullptr, nullptr},
    {"__kwdefaults__", reinterpret_cast<getter>(get_kwdefaults), reinterpret_cast<setter>(set_kwdefaults), nullptr, nullptr},
    {"__annotations__", reinterpret_cast<getter>(get_annotations), reinterpret_cast<setter>(set_annotations), nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", reinterpret_cast<getter>(get_name), reinterpret_cast<setter>(set_name), nullptr, nullptr},
    {"__qualname__", reinterpret_cast<getter>(get_qualname), reinterpret_cast<setter>(set_qualname), nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef function_members[] = {
    {"__closure__", T_OBJECT, offsetof(Function, closure), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__builtins__", T_OBJECT, offsetof(Function, builtins), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

// ---- object protocol ----

int function_traverse(Function* fn, visitproc visitor, void* arg) {
    for (const Ref* ref : {&fn->globals, &fn->builtins, &fn->name, &fn->qualname, &fn->code, &fn->defaults,
                           &fn->kwdefaults, &fn->doc, &fn->dict, &fn->module, &fn->annotations,
                           &fn->closure, &fn->varnames}) {
        if (int err = visit(*ref, visitor, arg)) return err;
    }
    return 0;
}

// As the interpreter clears its functions: the code stays and the names become empty strings, so
// that whatever still reaches the object meanwhile (a repr, an error message) finds them.
int function_clear(Function* fn) {
    for (Ref* ref : {&fn->globals, &fn->builtins, &fn->defaults, &fn->kwdefaults, &fn->doc, &fn->dict,
                     &fn->module, &fn->annotations, &fn->closure})
        ref->reset();
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) {
        PyErr_Clear();
        return 0;
    }
    fn->name = empty;
    fn->qualname = empty;
    return 0;
}

// Through the trashcan: freeing a long chain of functions (each holding the next) must not
// exhaust the C stack.
void function_dealloc(Function* fn) {
    PyObject_GC_UnTrack(fn);
    Py_TRASHCAN_BEGIN(fn, function_dealloc)
    if (fn->weakreflist) PyObject_ClearWeakRefs(reinterpret_cast<PyObject*>(fn));
    function_clear(fn);
    for (Ref* ref : {&fn->code, &fn->name, &fn->qualname, &fn->varnames}) ref->reset();
    Py_TYPE(fn)->tp_free(fn);
    Py_TRASHCAN_END
}

PyObject* function_repr(Function* fn) {
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname.get(), fn);
}

PyObject* function_descr_get(PyObject* fn, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) return Ref::borrow(fn).release();
    return PyMethod_New(fn, obj);
}

// copy, deepcopy and pickle take a function by reference: its qualified name, looked up in its module.
PyObject* function_reduce(Function* fn, PyObject*) { return Ref(fn->qualname).release(); }

PyMethodDef function_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(function_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The head must be the interpreter's, field for field.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(Ref) == sizeof(PyObject*));
static_assert(offsetof(Function, globals) == offsetof(PyFunctionObject, func_globals));
static_assert(offsetof(Function, builtins) == offsetof(PyFunctionObject, func_builtins));
static_assert(offsetof(Function, name) == offsetof(PyFunctionObject, func_name));
static_assert(offsetof(Function, qualname) == offsetof(PyFunctionObject, func_qualname));
static_assert(offsetof(Function, code) == offsetof(PyFunctionObject, func_code));
static_assert(offsetof(Function, defaults) == offsetof(PyFunctionObject, func_defaults));
static_assert(offsetof(Function, kwdefaults) == offsetof(PyFunctionObject, func_kwdefaults));
static_assert(offsetof(Function, closure) == offsetof(PyFunctionObject, func_closure));
static_assert(offsetof(Function, doc) == offsetof(PyFunctionObject, func_doc));
static_assert(offsetof(Function, dict) == offsetof(PyFunctionObject, func_dict));
static_assert(offsetof(Function, weakreflist) == offsetof(PyFunctionObject, func_weakreflist));
static_assert(offsetof(Function, module) == offsetof(PyFunctionObject, func_module));
static_assert(offsetof(Function, annotations) == offsetof(PyFunctionObject, func_annotations));
static_assert(offsetof(Function, vectorcall) == offsetof(PyFunctionObject, vectorcall));
static_assert(offsetof(Function, version) == offsetof(PyFunctionObject, func_version));
#pragma GCC diagnostic pop

}  // namespace

PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

int ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    FunctionType.tp_name = "function";
    FunctionType.tp_basicsize = sizeof(Function);
    FunctionType.tp_dealloc = reinterpret_cast<destructor>(function_dealloc);
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_repr = reinterpret_cast<reprfunc>(function_repr);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    // Made only by make_function: the inherited constructor would make the interpreter's own kind.
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    FunctionType.tp_base = &PyFunction_Type;
    FunctionType.tp_traverse = reinterpret_cast<traverseproc>(function_traverse);
    FunctionType.tp_clear = reinterpret_cast<inquiry>(function_clear);
    FunctionType.tp_weaklistoffset = offsetof(Function, weakreflist);
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_members = function_members;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(Function, dict);
    FunctionType.tp_free = PyObject_GC_Del;
    return PyType_Ready(&FunctionType);
}

Ref make_code(PyObject* filename, const CodeShape& shape) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        PyUnicode_AsUTF8(filename), shape.name, shape.first_line)));
    if (!code) return {};
    Ref varnames = names_tuple(shape.varnames);
    Ref freevars = names_tuple(shape.freevars);
    Ref cellvars = names_tuple(shape.cellvars);
    Ref qualname = Ref::steal(PyUnicode_FromString(shape.qualname));
    if (!varnames || !freevars || !cellvars || !qualname) return {};
    int flags = kOptimized | kNewLocals;
    if (shape.varargs) flags |= CO_VARARGS;
    if (shape.varkw) flags |= CO_VARKEYWORDS;
    if (shape.nested) flags |= CO_NESTED;
    if (shape.coroutine) flags |= CO_COROUTINE;
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:i,s:i,s:i,s:n,s:i,s:O,s:O,s:O,s:O}", "co_argcount", shape.argcount, "co_posonlyargcount",
        shape.posonly, "co_kwonlyargcount", 0, "co_nlocals", PyTuple_GET_SIZE(varnames.get()), "co_flags",
        flags, "co_varnames", varnames.get(), "co_freevars", freevars.get(), "co_cellvars", cellvars.get(),
        "co_qualname", qualname.get()));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!replace || !kwargs || !empty) return {};
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

Ref make_function(const FunctionParts& parts) {
    auto* code = reinterpret_cast<PyCodeObject*>(parts.code);
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, &FunctionType)));
    if (!self) return {};
    auto* fn = reinterpret_cast<Function*>(self.get());
    // PyObject_GC_New leaves the body uninitialised: construct the handles in place.
    new (&fn->globals) Ref();
    new (&fn->builtins) Ref();
    new (&fn->name) Ref();
    new (&fn->qualname) Ref();
    new (&fn->code) Ref();
    new (&fn->defaults) Ref();
    new (&fn->kwdefaults) Ref();
    new (&fn->doc) Ref();
    new (&fn->dict) Ref();
    new (&fn->module) Ref();
    new (&fn->annotations) Ref();
    new (&fn->closure) Ref();
    new (&fn->varnames) Ref();
    fn->weakreflist = nullptr;
    fn->version = 0;
    fn->bound = parts.bound;
    fn->vectorcall = parts.raw ? parts.raw : bind_and_call;
    fn->argcount = code->co_argcount;
    fn->posonly = code->co_posonlyargcount;
    fn->varargs = code->co_flags & CO_VARARGS;
    fn->varkw = code->co_flags & CO_VARKEYWORDS;
    fn->code = Ref::borrow(parts.code);
    fn->globals = Ref::borrow(parts.globals);
    fn->builtins = builtins_of(parts.globals);
    if (!fn->builtins) return {};
    fn->name = Ref::borrow(code->co_name);
    fn->qualname = Ref::borrow(parts.qualname ? parts.qualname : code->co_qualname);
    fn->doc = Ref::borrow(parts.doc ? parts.doc : Py_None);
    fn->defaults = Ref::borrow(parts.defaults);
    fn->annotations = Ref::borrow(parts.annotations);
    fn->closure = Ref::borrow(parts.closure);
    fn->varnames = Ref::steal(PyObject_GetAttrString(parts.code, "co_varnames"));
    if (!fn->varnames) return {};
    if (fn->argcount + 2 > kMaxSlots) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return {};
    }
    // As the interpreter reads it: an error of the lookup (a key whose comparison raises) propagates.
    PyObject* module_key = kName.get();
    if (!module_key) return {};
    fn->module = Ref::borrow(PyDict_GetItemWithError(parts.globals, module_key));
    if (!fn->module && PyErr_Occurred()) return {};
    PyObject_GC_Track(fn);
    return self;
}


}  // namespace rt
