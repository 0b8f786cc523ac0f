// auth_required / auth_required_async: wrappers that refuse a call whose `acl` keyword carries an
// empty ACL, and otherwise pass the call through untouched.
#include "access/access.hpp"
#include "access/names.hpp"
#include "engine/engine.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/handling.hpp"
#include "runtime/name.hpp"
#include "runtime/placement.hpp"

#include <utility>

namespace access_control {

using rt::Ref;
using rt::Step;

namespace {

// need_auth's variables: args, kwargs, acl.
enum NeedAuthLocal : Py_ssize_t { kArgsLocal, kKwargsLocal, kAclLocal };

// The wrappers' code objects; process-wide, as module/init.cpp lists.
PyObject* plain_wrapper_code = nullptr;
PyObject* coroutine_wrapper_code = nullptr;

// wraps(func)(need_auth), with a new need_auth closed over func.
PyObject* decorate(rt::Function* fn, PyObject* func, PyObject* wrapper_code, rt::RawBody body) {
    rt::InterpreterFrame* frame = rt::running_frame();
    rt::at_step(frame, DecoratorSteps::wraps);
    Ref wraps = rt::load_global(fn->globals.get(), fn->builtins.get(), names::wraps.get());
    if (!wraps) return nullptr;
    Ref decorator = Ref::steal(PyObject_CallOneArg(wraps.get(), func));
    if (!decorator) return nullptr;
    Ref code = Ref::borrow(wrapper_code);
    if (!code) {
        PyErr_SetString(PyExc_SystemError, "the decorators' wrappers are not defined");
        return nullptr;
    }
    Ref cell = Ref::steal(PyCell_New(func));
    Ref closure = cell ? Ref::steal(PyTuple_Pack(1, cell.get())) : Ref();
    if (!closure) return nullptr;
    Ref need_auth = rt::make_function({.code = code.get(), .globals = fn->globals.get(), .qualname = nullptr,
                                       .doc = nullptr, .defaults = nullptr, .annotations = nullptr,
                                       .closure = closure.get(), .raw = body});
    if (!need_auth) return nullptr;
    Ref wrapped = Ref::steal(PyObject_CallOneArg(decorator.get(), need_auth.get()));
    if (!wrapped) return nullptr;
    rt::bind_local(frame, DecoratorArgs::need_auth, wrapped.get());
    rt::at_step(frame, DecoratorSteps::done);
    return wrapped.release();
}

// kwargs.get("acl") when some keyword name is a str of a subclass: looked up in a dict of the
// names, made as need_auth's kwargs would be, so that a name's own __hash__ and __eq__ decide.
RT_COLD bool find_acl_keyword_in_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& acl) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return false;
    Ref names = Ref::borrow(kwnames);  // held: a name's __hash__ or __eq__ runs code
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i)
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(names.get(), i), args[nargs + i]) < 0) return false;
    PyObject* value = PyDict_GetItemWithError(kwargs.get(), names::acl.get());
    if (!value) return !PyErr_Occurred();
    // The value is one of the call's arguments, which outlive the call; the dict goes here.
    acl = value;
    return true;
}

// kwargs.get("acl") over a call's keyword names, as a dict of them finds it: `acl` is the value
// (borrowed from the call's arguments) or stays null when absent; false with the exception set
// when a name's own comparison raised.
RT_HOT bool find_acl_keyword(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& acl) {
    PyObject* name = names::acl.get();
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    Py_ssize_t found = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (keyword == name) found = i;
        else if (!PyUnicode_CheckExact(keyword)) return find_acl_keyword_in_dict(args, nargs, kwnames, acl);
    }
    for (Py_ssize_t i = 0; found < 0 && i < count; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, i), name) == 0) found = i;
    if (found >= 0) acl = args[nargs + found];
    return true;
}

bool check_acl_content(rt::Function* fn, rt::InterpreterFrame* frame, PyObject* acl);

// How need_auth's frame holds `acl`: a call's frame borrows it from the call's arguments, which
// outlive the frame; a coroutine's frame owns it.
enum class AclHeld : bool { borrowed, owned };

// need_auth's check, run in its frame, which then holds `acl`: true when the call may go on;
// false with AuthorizationError (or the error of reading the ACL's content) set.
template <AclHeld held>
inline bool acl_allows(rt::Function* fn, rt::InterpreterFrame* frame, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* acl = nullptr;
    if (kwnames && !find_acl_keyword(args, nargs, kwnames, acl)) [[unlikely]] {
        rt::at_step(frame, NeedAuthSteps::check);  // a keyword's own __hash__ or __eq__ raised
        return false;
    }
    // (Nothing can see the frame at the read itself: it runs no code.)
    if constexpr (held == AclHeld::borrowed)
        frame->slots()[kAclLocal] = acl ? acl : Py_None;
    else
        rt::bind_local(frame, kAclLocal, acl ? acl : Py_None);
    rt::at_step(frame, NeedAuthSteps::check);
    return !acl || acl == Py_None || check_acl_content(fn, frame, acl);
}

RT_HOT bool check_acl_content(rt::Function* fn, rt::InterpreterFrame* frame, PyObject* acl) {
    Ref content = Ref::steal(PyObject_GetAttr(acl, names::content.get()));
    if (!content) return false;
    int present = PyObject_IsTrue(content.get());
    if (present < 0) return false;
    if (!present) {
        rt::at_step(frame, NeedAuthSteps::refuse);
        engine::raise_authorization_error(fn, "User has empty ACL");
        return false;
    }
    return true;
}

RT_HOT PyObject* wrapped_func(rt::Function* fn) {
    PyObject* func = rt::closure_cell(fn, 0);
    if (!func)
        PyErr_SetString(PyExc_NameError,
                        "cannot access free variable 'func' where it is not associated with a value in enclosing scope");
    return func;
}

// Whether need_auth's body has read `acl` yet at the point its frame shows.
enum class AclRead : bool { not_yet, read };

// The `args` and `kwargs` of need_auth's frame, bound when a tool is to read it (they are made
// only then: the call itself passes its arguments on as they came).
void fill_need_auth_frame(rt::InterpreterFrame* frame, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (frame->slots()[kArgsLocal] && frame->slots()[kKwargsLocal]) return;
    rt::FrameLocals locals = rt::call_locals(args, nargsf, kwnames, nullptr);
    rt::bind_local(frame, kArgsLocal, locals.value(kArgsLocal));
    rt::bind_local(frame, kKwargsLocal, locals.value(kKwargsLocal));
}

// What need_auth's frame holds: `args`, `kwargs`, the `func` of its closure and, once the check
// has read it, `acl`.
rt::FrameLocals need_auth_locals(rt::Function* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames, AclRead acl_read) {
    rt::FrameLocals locals = rt::call_locals(args, nargsf, kwnames, fn->closure.get());
    if (acl_read == AclRead::read) {
        // Asked for on error paths too: the exception leaving the call stays pending.
        rt::ErrorTriple leaving = rt::ErrorTriple::fetch();
        PyObject* acl = nullptr;
        if (kwnames && !find_acl_keyword(args, PyVectorcall_NARGS(nargsf), kwnames, acl)) PyErr_Clear();
        locals.set(kAclLocal, Ref::borrow(acl ? acl : Py_None));
        leaving.restore();
    }
    return locals;
}

// The coroutine of need_auth: the check when first resumed, then the await of func(*args, **kwargs).
// The call's arguments are kept as they came (positional, then keyword values), in the body
// itself when there are few.
class NeedAuth final : public rt::Body {
public:
    static constexpr Py_ssize_t kInline = 6;

    // `overflow` holds all the arguments when there are more than kInline of them.
    NeedAuth(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref overflow)
        : kwnames_(Ref::borrow(kwnames)),
          nargs_(nargs),
          inline_(args, overflow ? 0 : nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0)),
          overflow_(std::move(overflow)) {}

    RT_HOT Step resume(PyObject* received) override {
        if (!received) return Step::error();
        if (called_) return Step::done(Ref::borrow(received));
        called_ = true;
        PyObject* const* call_args = overflow_ ? &PyTuple_GET_ITEM(overflow_.get(), 0) : inline_.data();
        // The coroutine's frame runs need_auth, which the coroutine holds.
        rt::InterpreterFrame* frame = rt::running_frame();
        auto* fn = reinterpret_cast<rt::Function*>(frame->func);
        if (!acl_allows<AclHeld::owned>(fn, frame, call_args, nargs_, kwnames_.get())) return Step::error();
        rt::at_step(frame, NeedAuthSteps::call);
        Ref func = Ref::borrow(wrapped_func(fn));  // read when the body gets there, as `func` is
        if (!func) return Step::error();
        Ref awaitable = rt::call(func.get(), call_args, nargs_, kwnames_.get());
        return awaitable ? Step::return_awaited(std::move(awaitable)) : Step::error();
    }

    void fill_frame(rt::InterpreterFrame* frame) const override {
        PyObject* const* call_args = overflow_ ? &PyTuple_GET_ITEM(overflow_.get(), 0) : inline_.data();
        fill_need_auth_frame(frame, call_args, nargs_, kwnames_.get());
    }

    int traverse(visitproc visitor, void* arg) override {
        for (const Ref* ref : {&kwnames_, &overflow_})
            if (int err = rt::visit(*ref, visitor, arg)) return err;
        return inline_.traverse(visitor, arg);
    }

private:
    Ref kwnames_;
    Py_ssize_t nargs_;
    rt::RefArray<kInline> inline_;  // the arguments, when there are few
    Ref overflow_;                  // or all of them, when there are more
    bool called_ = false;
};

// The call of need_auth: the check, then func(*args, **kwargs).
struct NeedAuthCall {
    static constexpr bool kMakesCoroutine = false;
    [[gnu::always_inline]] static PyObject* work(rt::Function* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        rt::InterpreterFrame* frame = rt::running_frame();
        if (!acl_allows<AclHeld::borrowed>(fn, frame, args, nargs, kwnames)) return nullptr;
        rt::at_step(frame, NeedAuthSteps::call);
        Ref func = Ref::borrow(wrapped_func(fn));
        if (!func) return nullptr;
        return rt::call(func.get(), args, nargsf, kwnames).release();
    }
    static constexpr bool kNeverCoroutine = true;
    // `args` and `kwargs` are made only for a tool (fill); `acl`, bound by the check, is borrowed.
    static int bind(rt::InterpreterFrame*, rt::Function*, PyObject* const*, size_t, PyObject*) { return kAclLocal + 1; }
    static void fill(rt::InterpreterFrame* frame, rt::Function*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        fill_need_auth_frame(frame, args, nargsf, kwnames);
    }
};

// The call of the async need_auth: its coroutine, holding the arguments as they came.
struct NeedAuthAsyncCall {
    static constexpr bool kMakesCoroutine = true;
    [[gnu::always_inline]] static PyObject* work(rt::Function* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        Ref overflow;
        if (total > NeedAuth::kInline) {
            overflow = Ref::steal(PyTuple_New(total));
            if (!overflow) return nullptr;
            for (Py_ssize_t i = 0; i < total; ++i)
                PyTuple_SET_ITEM(overflow.get(), i, Ref::borrow(args[i]).release());
        }
        return rt::make_coroutine<NeedAuth>(reinterpret_cast<PyObject*>(fn), nullptr, 0, args, nargs, kwnames,
                                            std::move(overflow))
            .release();
    }
    static rt::FrameLocals locals(rt::Function* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        return need_auth_locals(fn, args, nargsf, kwnames, AclRead::not_yet);
    }
};

}  // namespace

void set_wrapper_codes(PyObject* plain, PyObject* coroutine) {
    Ref::steal(std::exchange(plain_wrapper_code, Ref::borrow(plain).release())).reset();
    Ref::steal(std::exchange(coroutine_wrapper_code, Ref::borrow(coroutine).release())).reset();
}

PyObject* auth_required(rt::Function* fn, PyObject* const* locals) {
    return decorate(fn, locals[DecoratorArgs::func], plain_wrapper_code, need_auth);
}

PyObject* auth_required_async(rt::Function* fn, PyObject* const* locals) {
    return decorate(fn, locals[DecoratorArgs::func], coroutine_wrapper_code, need_auth_async);
}

RT_HOT PyObject* need_auth(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return rt::run_frame<NeedAuthCall>(self, args, nargsf, kwnames);
}

RT_HOT PyObject* need_auth_async(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return rt::run_frame<NeedAuthAsyncCall>(self, args, nargsf, kwnames);
}

}  // namespace access_control
