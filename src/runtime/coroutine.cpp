#include "runtime/coroutine.hpp"

#include "runtime/handling.hpp"
#include "runtime/layout.hpp"
#include "runtime/traceback.hpp"

#include <frameobject.h>
#include <opcode.h>

#include <cstddef>

namespace rt {

namespace {

// The functions every await of a module coroutine runs (made, stepped, finished, freed) are marked
// hot: the compiler places them together, where the path takes few instruction-cache lines.
// Spread over the module, they shared cache sets with the interpreter's own code on that path and
// evicted it at each await.

// The interpreter's frame states for a coroutine, which its head holds.
enum class State : int8_t { Created = -2, Suspended = -1, Running = 0, Finished = 4 };

struct Coroutine {
    // The interpreter's coroutine head, filled as for its own coroutines (code, weak references,
    // names, origin); the interpreter frame that would follow is never used. Its frame state
    // always says "cleared": the base type's own methods, which a host can still reach
    // (types.CoroutineType.send(coro, None)), then refuse as for a finished coroutine instead
    // of reading a frame these objects do not have. The coroutine's real state is `state_`.
    PyCoroObject head;
    State state_;
    Body* body;                  // lives in this object's tail; gone once the coroutine has finished
    Ref awaiting;                // the iterator it is suspended on
    Ref globals;                 // of the function that made it, for its frame
    Ref frame;                   // cr_frame, made when first asked for while the coroutine lives
    Py_ssize_t tail;             // the bytes of the tail, where the body lives
    bool tail_await;             // what it awaits ends the body, its outcome the coroutine's

    State state() const { return state_; }
    void set_state(State state) { state_ = state; }
    PyObject* code() const { return reinterpret_cast<PyObject*>(head.cr_code); }
};

Coroutine* as_coroutine(PyObject* obj) { return reinterpret_cast<Coroutine*>(obj); }

bool is_own_coroutine(PyObject* obj) { return Py_IS_TYPE(obj, &CoroutineType); }

constexpr int8_t kFrameCreated = static_cast<int8_t>(State::Created);

// The instruction by which `await` steps the iterator it awaits.
constexpr unsigned char kSendOpcode = SEND;

// Whether a coroutine, the interpreter's or ours, has not started yet (ours keep their state apart
// from the head).
bool is_fresh_coroutine(PyObject* obj) {
    if (is_own_coroutine(obj)) return as_coroutine(obj)->state() == State::Created;
    return PyCoro_CheckExact(obj) && reinterpret_cast<PyCoroObject*>(obj)->cr_frame_state == kFrameCreated;
}

bool is_iterable_coroutine(PyObject* obj) {
    return PyGen_CheckExact(obj) &&
           (reinterpret_cast<PyGenObject*>(obj)->gi_code->co_flags & CO_ITERABLE_COROUTINE);
}

// The end of a coroutine: its body and everything it holds are released at once.
[[gnu::hot]] void finish(Coroutine* co) {
    co->set_state(State::Finished);
    co->awaiting.reset();
    if (Body* body = std::exchange(co->body, nullptr)) body->~Body();
    co->frame.reset();
}

[[gnu::cold]] void raise_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // Wrapped first, or a tuple value would be unpacked into the exception's arguments.
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
}

// The coroutine's frame (cr_frame), made from what its body shows when first asked for; null
// (an exception set only where making it failed) when there is none to make.
Ref frame_of(Coroutine* co) {
    if (co->frame) return co->frame;
    Ref globals = co->globals;
    if (!globals) return {};
    FrameLocals locals;
    if (co->body) co->body->frame_locals(locals);
    Ref code = Ref::borrow(co->code());
    Ref frame = make_frame(code.get(), globals.get(), locals, nullptr);
    // Making it may have run code (the collector, finalizers) that ended the coroutine or asked too.
    if (frame && !co->frame && co->state() != State::Finished) co->frame = frame;
    return frame;
}

[[gnu::cold]] PySendResult fail(Coroutine* co) {
    // The exception leaves the coroutine's code: an entry for its frame, as for a Python coroutine.
    {
        ErrorTriple pending = ErrorTriple::fetch();
        Ref frame = frame_of(co);
        PyErr_Clear();
        pending.restore();
        add_frame_entry(frame.get());
    }
    finish(co);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // As in any coroutine body, a StopIteration escaping it is reported as a bug.
        Ref stop = take_exception();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        ErrorTriple error = ErrorTriple::fetch();
        error.normalize();
        PyException_SetCause(error.value.get(), Ref(stop).release());
        PyException_SetContext(error.value.get(), stop.release());
        error.restore();
    }
    return PYGEN_ERROR;
}

// iter.send(value) as PyIter_Send does it; a native coroutine, the common case, gets its own call
// site, which always goes to the same place.
PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** out);

[[gnu::hot]] PySendResult send_into(PyObject* iter, PyObject* value, PyObject** result) {
    if (PyCoro_CheckExact(iter)) return PyCoro_Type.tp_as_async->am_send(iter, value, result);
    if (is_own_coroutine(iter)) return coro_am_send(iter, value, result);
    return PyIter_Send(iter, value, result);
}

// The end of a body's last await, whose outcome is the coroutine's.
[[gnu::hot]] PySendResult end_of_tail_await(Coroutine* co, PySendResult status, PyObject* result, PyObject** out) {
    if (status == PYGEN_ERROR) return fail(co);
    finish(co);
    *out = result;
    return PYGEN_RETURN;
}

// Runs the body from where it stands until it yields through an awaited object or ends.
[[gnu::hot]] PySendResult advance(Coroutine* co, PyObject* received, PyObject** out) {
    Ref held;  // keeps `received` alive while the body runs
    for (;;) {
        Step step = co->body->resume(received);
        if (step.kind == Step::Kind::Return) {
            finish(co);
            *out = step.value ? step.value.release() : Ref::borrow(Py_None).release();
            return PYGEN_RETURN;
        }
        if (step.kind == Step::Kind::Raise) [[unlikely]]
            return fail(co);
        if (is_fresh_coroutine(step.value.get())) {
            co->awaiting = std::move(step.value);  // a fresh coroutine is its own iterator
        } else {
            co->awaiting = awaitable_iter(step.value.get());
            step.value.reset();
        }
        if (!co->awaiting) {
            received = nullptr;
            continue;
        }
        co->tail_await = step.kind == Step::Kind::AwaitResult;
        PyObject* result = nullptr;
        PySendResult status = send_into(co->awaiting.get(), Py_None, &result);
        if (status == PYGEN_NEXT) {
            co->set_state(State::Suspended);
            *out = result;
            return PYGEN_NEXT;
        }
        co->awaiting.reset();
        if (co->tail_await) return end_of_tail_await(co, status, result, out);
        held = Ref::steal(result);
        received = status == PYGEN_RETURN ? held.get() : nullptr;
    }
}

// A step the coroutine may not take (no level left): it ends with the RecursionError and no entry
// of its own, as the interpreter ends a frame it cannot enter.
[[gnu::cold]] PySendResult refuse_step(Coroutine* co) {
    finish(co);
    return PYGEN_ERROR;
}

// The coroutine's code from where it stands: what it awaits is sent `value` (or, with `exc`, has
// the pending exception raised at its await), or the body resumes.
[[gnu::hot]] PySendResult run_step(Coroutine* co, PyObject* value, PyObject** out, bool exc) {
    if (co->awaiting && !exc) {
        PyObject* result = nullptr;
        PySendResult status = send_into(co->awaiting.get(), value, &result);
        if (status == PYGEN_NEXT) {
            co->set_state(State::Suspended);
            *out = result;
            return PYGEN_NEXT;
        }
        co->awaiting.reset();
        if (co->tail_await) return end_of_tail_await(co, status, result, out);
        Ref returned = Ref::steal(result);
        return advance(co, status == PYGEN_RETURN ? returned.get() : nullptr, out);
    }
    co->awaiting.reset();
    return advance(co, exc ? nullptr : value, out);
}

// A step taken while a profile or trace function is set: the coroutine's frame is linked while
// it runs and reports the step as a call, and what it yields or returns (or raises) as its return.
[[gnu::noinline, gnu::cold]] PySendResult traced_step(PyThreadState* ts, Coroutine* co, PyObject* value, PyObject** out, bool exc) {
    Ref frame;
    {
        ErrorTriple thrown = ErrorTriple::fetch();  // what a throw raises at the await point
        frame = frame_of(co);
        PyErr_Clear();
        thrown.restore();
    }
    if (!frame) return run_step(co, value, out, exc);
    if (!trace_call(ts, frame.get())) return fail(co);  // a hook raised: the step never runs
    PySendResult status = run_step(co, value, out, exc);
    PyObject* reported = trace_return(ts, frame.get(), status == PYGEN_ERROR ? nullptr : *out);
    *out = reported;
    if (reported || status == PYGEN_ERROR) return status;
    // A hook raised at the end of a step that yielded: the exception leaves the coroutine's code.
    return status == PYGEN_NEXT ? fail(co) : PYGEN_ERROR;
}

[[gnu::noinline, gnu::cold]] PySendResult traced_first_step(PyThreadState* ts, Coroutine* co, PyObject** out) {
    const PySendResult status = traced_step(ts, co, Py_None, out, false);
    leave_level(ts);
    return status;
}

// One step of the coroutine's code (run_step), counted as the interpreter counts a running frame.
[[gnu::hot]] PySendResult step(Coroutine* co, PyObject* value, PyObject** out, bool exc) {
    PyThreadState* ts = thread_state();
    if (!enter_level(ts)) [[unlikely]]
        return refuse_step(co);
    const PySendResult status = tracing(ts) ? traced_step(ts, co, value, out, exc) : run_step(co, value, out, exc);
    leave_level(ts);
    return status;
}

// One resumption: `value` sent in, or (with `exc`) the pending exception raised at the await point.
PySendResult send_ex(Coroutine* co, PyObject* value, PyObject** out, bool exc, bool closing) {
    *out = nullptr;
    switch (co->state()) {
        case State::Created:
            if (value != Py_None && !exc) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            if (exc) {  // thrown in before the first step: it ends there
                co->set_state(State::Running);
                return step(co, nullptr, out, true);
            }
            break;
        case State::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case State::Finished:
            if (!closing) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case State::Suspended:
            break;
    }
    co->set_state(State::Running);  // the caller holds the coroutine while it runs
    return step(co, value, out, exc);
}

PyObject* send_result(PySendResult status, PyObject* out) {
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        Ref value = Ref::steal(out);
        raise_stop_iteration(value.get());
    }
    return nullptr;
}

// A resumption as the Python-level methods report it: the yielded value, or StopIteration.
PyObject* resume(Coroutine* co, PyObject* value, bool exc) {
    PyObject* out = nullptr;
    PySendResult status = send_ex(co, value, &out, exc, false);
    return send_result(status, out);
}

// Closes what a coroutine awaits, as closing the coroutine requires; -1 with an exception set.
int close_iter(PyObject* iter) {
    Ref close = Ref::steal(PyObject_GetAttrString(iter, "close"));
    if (!close) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            PyErr_WriteUnraisable(iter);
        }
        return 0;
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(close.get()));
    return result ? 0 : -1;
}

// The end of a stretch where the coroutine ran code of another object: it goes back to `before`,
// unless that code ended it.
void stop_running(Coroutine* co, State before) {
    if (co->state() == State::Running) co->set_state(before);
}

// Closes and lets go of what a suspended coroutine awaits, running as the interpreter's own
// coroutine does meanwhile (re-entry refused); -1 with an exception set when the close failed.
int close_awaited(Coroutine* co) {
    const State before = co->state();
    co->set_state(State::Running);
    Ref delegate = co->awaiting;
    int err = close_iter(delegate.get());
    co->awaiting.reset();
    delegate.reset();
    stop_running(co, before);
    return err;
}

PyObject* throw_here(Coroutine* co, PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    ErrorTriple error;
    if (PyExceptionClass_Check(type)) {
        error = {Ref::borrow(type), Ref::borrow(value), Ref::borrow(tb)};
        error.normalize();
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        error = {Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type))), Ref::borrow(type),
                 tb ? Ref::borrow(tb) : Ref::steal(PyException_GetTraceback(type))};
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    error.restore();
    return resume(co, Py_None, true);
}

PyObject* throw_into(Coroutine* co, PyObject* type, PyObject* value, PyObject* tb) {
    if (co->awaiting && co->state() == State::Suspended) {
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(co));
        if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
            int err = close_awaited(co);
            if (err < 0) {
                return resume(co, Py_None, true);
            }
            return throw_here(co, type, value, tb);
        }
        Ref delegate = co->awaiting;
        Ref method = Ref::steal(PyObject_GetAttrString(delegate.get(), "throw"));
        if (!method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            co->awaiting.reset();
            return throw_here(co, type, value, tb);
        }
        // The lookup ran code that may have resumed or ended the coroutine: what it is now is
        // what it goes back to.
        const State before = co->state();
        co->set_state(State::Running);
        Ref yielded = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), type, value, tb, nullptr));
        stop_running(co, before);
        if (yielded) return yielded.release();
        co->awaiting.reset();
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            // The awaited object finished: its value is what the await produced.
            Ref stop = take_exception();
            Ref returned = stop ? Ref::steal(PyObject_GetAttrString(stop.get(), "value")) : none();
            if (!returned) return nullptr;
            return resume(co, returned.get(), false);
        }
        return resume(co, Py_None, true);
    }
    return throw_here(co, type, value, tb);
}

// ---- Python-visible methods ----

PyObject* coro_send(PyObject* self, PyObject* value) { return resume(as_coroutine(self), value, false); }

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    return throw_into(as_coroutine(self), args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    auto* co = as_coroutine(self);
    int err = 0;
    if (co->awaiting && co->state() == State::Suspended) err = close_awaited(co);
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* out = nullptr;
    PySendResult status = send_ex(co, Py_None, &out, true, true);
    if (status != PYGEN_ERROR) {
        Ref ignored = Ref::steal(out);
        if (status == PYGEN_NEXT) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        }
        return none().release();
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        return none().release();
    }
    return nullptr;
}

[[gnu::hot]] PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** out) {
    auto* co = as_coroutine(self);
    if (co->state() == State::Created && value == Py_None) [[likely]] {
        // The first step, as `await` takes it: straight into the body.
        *out = nullptr;
        co->set_state(State::Running);
        PyThreadState* ts = thread_state();
        if (!enter_level(ts)) [[unlikely]]
            return refuse_step(co);
        if (tracing(ts)) [[unlikely]]
            return traced_first_step(ts, co, out);
        const PySendResult status = advance(co, Py_None, out);
        leave_level(ts);
        return status;
    }
    return send_ex(co, value, out, false, false);
}

// Refused as `await` refuses a coroutine another await already drives; -1 with the error.
int check_not_awaited(Coroutine* co) {
    if (co->state() == State::Suspended && co->awaiting) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return -1;
    }
    return 0;
}

// The slot `await` uses: the coroutine is its own iterator, as the interpreter's own coroutine
// is, so an awaiting frame holds (and its cr_await shows) the coroutine itself. The interpreter
// accepts what this slot returns only if it is an iterator, hence the type's iternext below.
[[gnu::hot]] PyObject* coro_await(PyObject* self) {
    if (check_not_awaited(as_coroutine(self)) < 0) return nullptr;
    return Ref::borrow(self).release();
}

// Whether the innermost Python frame is running a SEND: an `await` stepping what it awaits.
[[gnu::cold]] bool stepped_by_await() {
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return false;
    const int lasti = PyFrame_GetLasti(frame);
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    Ref bytes = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code.get())));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    return lasti >= 0 && lasti < PyBytes_GET_SIZE(bytes.get()) &&
           static_cast<unsigned char>(PyBytes_AS_STRING(bytes.get())[lasti]) == kSendOpcode;
}

// The iternext slot, which Python code never sees (the type has no __next__). While a trace
// function is set (sys.settrace: debuggers, coverage), an `await` steps the iterator it got
// through this slot instead of am_send, and then it is a step. Anywhere else it is next(coro),
// refused as for any coroutine.
PyObject* coro_iternext(PyObject* self) {
    if (!thread_state()->c_tracefunc || !stepped_by_await()) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    PyObject* out = nullptr;
    PySendResult status = coro_am_send(self, Py_None, &out);
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        Ref value = Ref::steal(out);
        if (value.get() != Py_None) raise_stop_iteration(value.get());
    }
    return nullptr;
}

// coro.__await__(), called from Python code: a separate iterator, as the interpreter's own gives.
PyObject* new_wrapper(Coroutine* co);

PyObject* coro_await_method(PyObject* self, PyObject*) {
    if (check_not_awaited(as_coroutine(self)) < 0) return nullptr;
    return new_wrapper(as_coroutine(self));
}

PyObject* coro_repr(PyObject* self) {
    // Held: a str subclass's __str__ may assign another qualname meanwhile.
    Ref qualname = Ref::borrow(as_coroutine(self)->head.cr_qualname);
    return PyUnicode_FromFormat("<coroutine object %S at %p>", qualname.get(), self);
}

PyObject* get_name(PyObject* self, void*) { return Ref::borrow(as_coroutine(self)->head.cr_name).release(); }
PyObject* get_qualname(PyObject* self, void*) { return Ref::borrow(as_coroutine(self)->head.cr_qualname).release(); }

int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_coroutine(self)->head.cr_name, Ref::borrow(value).release());
    return 0;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_coroutine(self)->head.cr_qualname, Ref::borrow(value).release());
    return 0;
}

PyObject* get_await(PyObject* self, void*) {
    auto* co = as_coroutine(self);
    return Ref(co->awaiting ? co->awaiting : none()).release();
}
PyObject* get_running(PyObject* self, void*) {
    return boolean(as_coroutine(self)->state() == State::Running).release();
}
PyObject* get_suspended(PyObject* self, void*) {
    return boolean(as_coroutine(self)->state() == State::Suspended).release();
}
PyObject* get_code(PyObject* self, void*) { return Ref::borrow(as_coroutine(self)->code()).release(); }
PyObject* get_origin(PyObject* self, void*) {
    PyObject* origin = as_coroutine(self)->head.cr_origin_or_finalizer;
    return Ref::borrow(origin ? origin : Py_None).release();
}

// A frame of the coroutine's code, made when first asked for; None once the coroutine has finished.
PyObject* get_frame(PyObject* self, void*) {
    auto* co = as_coroutine(self);
    if (co->state() == State::Finished || !co->globals) return none().release();
    Ref frame = frame_of(co);
    if (!frame) return PyErr_Occurred() ? nullptr : none().release();
    if (co->state() == State::Finished) return none().release();
    return frame.release();
}

PyObject* coro_sizeof(PyObject* self, PyObject*) {
    return PyLong_FromSsize_t(static_cast<Py_ssize_t>(sizeof(Coroutine)) + as_coroutine(self)->tail);
}

PyMethodDef coroutine_methods[] = {
    {"send", coro_send, METH_O, PyDoc_STR("send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.")},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     PyDoc_STR("throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration.")},
    {"close", coro_close, METH_NOARGS, PyDoc_STR("close() -> raise GeneratorExit inside coroutine.")},
    {"__sizeof__", coro_sizeof, METH_NOARGS, PyDoc_STR("gen.__sizeof__() -> size of gen in memory, in bytes")},
    {"__await__", coro_await_method, METH_NOARGS | METH_COEXIST, PyDoc_STR("Return an iterator to be used in await expression.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, PyDoc_STR("name of the coroutine"), nullptr},
    {"__qualname__", get_qualname, set_qualname, PyDoc_STR("qualified name of the coroutine"), nullptr},
    {"cr_await", get_await, nullptr, PyDoc_STR("object being awaited on, or None"), nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int coro_traverse(PyObject* self, visitproc visitor, void* arg) {
    auto* co = as_coroutine(self);
    for (PyObject* obj : {reinterpret_cast<PyObject*>(co->head.cr_code), co->head.cr_name, co->head.cr_qualname,
                          co->head.cr_origin_or_finalizer})
        if (obj)
            if (int err = visitor(obj, arg)) return err;
    for (const Ref* ref : {&co->awaiting, &co->globals, &co->frame})
        if (int err = visit(*ref, visitor, arg)) return err;
    return co->body ? co->body->traverse(visitor, arg) : 0;
}

int coro_clear(PyObject* self) {
    auto* co = as_coroutine(self);
    finish(co);
    co->globals.reset();
    return 0;
}

// The never-awaited warning as the interpreter gives it: through the warnings module, with the
// coroutine as its source (its origin, tracemalloc's traceback), else directly.
void warn_never_awaited(Coroutine* co) {
    PyObject* self = reinterpret_cast<PyObject*>(co);
    bool warned = false;
    Ref hook;
    if (Ref name = Ref::steal(PyUnicode_FromString("warnings"))) {
        // No import once the interpreter is shutting down: only a module already loaded.
        Ref warnings = Ref::steal(_Py_IsFinalizing() ? PyImport_GetModule(name.get()) : PyImport_Import(name.get()));
        if (warnings) {
            hook = Ref::steal(PyObject_GetAttrString(warnings.get(), "_warn_unawaited_coroutine"));
            if (!hook && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
        }
    }
    if (hook) {
        Ref result = Ref::steal(PyObject_CallOneArg(hook.get(), self));
        warned = result || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned) {
        Ref qualname = Ref::borrow(co->head.cr_qualname);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", qualname.get()) < 0)
            PyErr_WriteUnraisable(self);
    }
}

void coro_finalize(PyObject* self) {
    auto* co = as_coroutine(self);
    if (co->state() == State::Finished) return;
    ErrorTriple pending = ErrorTriple::fetch();
    if (co->state() == State::Created) {
        warn_never_awaited(co);
    } else {
        Ref result = Ref::steal(coro_close(self, nullptr));
        if (!result) PyErr_WriteUnraisable(self);
    }
    pending.restore();
}

// Objects kept for reuse rather than given back to the allocator: most coroutines live for one
// await, and the next one made is most likely alike.
// As the allocator leaves a new object: untracked, not finalized, one reference.
// (Its type is still set: each shelf holds objects of one type, which is not a heap type.)
PyObject* reuse(PyObject* obj) {
    uintptr_t* gc_head = reinterpret_cast<uintptr_t*>(obj) - 2;
    gc_head[0] = gc_head[1] = 0;
    _Py_NewReference(obj);
    return obj;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kReuse = false;  // every object goes back to the allocator, where misuse is caught
#else
constexpr bool kReuse = true;
#endif

// Objects of one type and size.
class Shelf {
public:
    PyObject* take() { return count_ ? items_[--count_] : nullptr; }
    bool keep(PyObject* obj) {
        if (!kReuse || count_ == kDepth) return false;
        items_[count_++] = obj;
        return true;
    }

private:
    static constexpr int kDepth = 16;
    int count_ = 0;
    PyObject* items_[kDepth];
};

// Coroutines, one shelf per size (the size of their body).
class Shelves {
public:
    PyObject* take(Py_ssize_t size) {
        for (Sized& shelf : shelves_)
            if (shelf.size == size)
                if (PyObject* obj = shelf.objects.take()) return reuse(obj);
        return nullptr;
    }

    bool keep(PyObject* obj, Py_ssize_t size) {
        for (Sized& shelf : shelves_) {
            if (shelf.size == -1) shelf.size = size;
            if (shelf.size == size) return shelf.objects.keep(obj);
        }
        return false;
    }

private:
    struct Sized {
        Py_ssize_t size = -1;
        Shelf objects;
    };
    Sized shelves_[4];
};

Shelves shelves;

// Everything the deallocator does, the object already untracked.
[[gnu::hot]] void release(PyObject* self) {
    auto* co = as_coroutine(self);
    if (co->head.cr_weakreflist) PyObject_ClearWeakRefs(self);
    if (co->state() != State::Finished) {  // a finished coroutine's finalizer has nothing to do
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    if (co->body) finish(co);
    Py_CLEAR(co->head.cr_origin_or_finalizer);
    // Kept for reuse, it still holds the code and namespace it was made of, with the code's names.
    auto* code = reinterpret_cast<PyCodeObject*>(co->code());
    if (co->head.cr_name != code->co_name) Py_SETREF(co->head.cr_name, Ref::borrow(code->co_name).release());
    if (co->head.cr_qualname != code->co_qualname)
        Py_SETREF(co->head.cr_qualname, Ref::borrow(code->co_qualname).release());
    if (shelves.keep(self, co->tail)) return;
    co->awaiting.~Ref();
    co->globals.~Ref();
    co->frame.~Ref();
    Py_CLEAR(co->head.cr_name);
    Py_CLEAR(co->head.cr_qualname);
    Py_CLEAR(co->head.cr_code);
    Py_TYPE(self)->tp_free(self);
}

[[gnu::hot]] void coro_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    // A body may hold the last reference to another coroutine, and that one's to the next: the
    // interpreter's trashcan defers the deep end of such a chain instead of recursing into it.
    // (Without a body, what is left to release is held by containers that use it themselves.)
    Py_TRASHCAN_BEGIN_CONDITION(self, as_coroutine(self)->body != nullptr)
    release(self);
    Py_TRASHCAN_END
}

PyAsyncMethods coroutine_async = {coro_await, nullptr, nullptr, coro_am_send};

// ---- coro.__await__(): an iterator whose each step goes to the coroutine ----

struct Wrapper {
    PyObject_HEAD
    PyObject* coroutine;
};

PyObject* wrapped(PyObject* self) { return reinterpret_cast<Wrapper*>(self)->coroutine; }

PyObject* wrapper_iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult status = send_ex(as_coroutine(wrapped(self)), Py_None, &out, false, false);
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        Ref value = Ref::steal(out);
        if (value.get() != Py_None) raise_stop_iteration(value.get());
    }
    return nullptr;
}

PySendResult wrapper_am_send(PyObject* self, PyObject* value, PyObject** out) {
    return coro_am_send(wrapped(self), value, out);
}

PyObject* wrapper_send(PyObject* self, PyObject* value) { return coro_send(wrapped(self), value); }
PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw(wrapped(self), args, nargs);
}
PyObject* wrapper_close(PyObject* self, PyObject*) { return coro_close(wrapped(self), nullptr); }

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, PyDoc_STR("send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.")},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL,
     PyDoc_STR("throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration.")},
    {"close", wrapper_close, METH_NOARGS, PyDoc_STR("close() -> raise GeneratorExit inside coroutine.")},
    {nullptr, nullptr, 0, nullptr},
};

int wrapper_traverse(PyObject* self, visitproc visitor, void* arg) {
    return visitor(wrapped(self), arg);
}

void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Wrapper*>(self)->coroutine);
    PyObject_GC_Del(self);
}

PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, wrapper_am_send};

PyTypeObject WrapperType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

PyObject* new_wrapper(Coroutine* co) {
    auto* wrapper = PyObject_GC_New(Wrapper, &WrapperType);
    if (!wrapper) return nullptr;
    wrapper->coroutine = Ref::borrow(reinterpret_cast<PyObject*>(co)).release();
    PyObject_GC_Track(wrapper);
    return reinterpret_cast<PyObject*>(wrapper);
}

// Where a coroutine being made was called from, as the interpreter records it while
// sys.set_coroutine_origin_tracking_depth is above 0: (file, line, function) per frame, innermost
// first. Null with no exception when there is nothing to record.
[[gnu::cold]] Ref origin_of_call(int depth) {
    Ref frames = Ref::steal(PyList_New(0));
    if (!frames) return {};
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    for (int i = 0; frame && i < depth; ++i) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        auto* c = reinterpret_cast<PyCodeObject*>(code.get());
        Ref info = Ref::steal(Py_BuildValue("OiO", c->co_filename, PyFrame_GetLineNumber(f), c->co_name));
        if (!info || PyList_Append(frames.get(), info.get()) < 0) return {};
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return Ref::steal(PyList_AsTuple(frames.get()));
}

}  // namespace

PyTypeObject CoroutineType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
};

int ready_coroutine_type() {
    if (CoroutineType.tp_flags & Py_TPFLAGS_READY) return 0;
    CoroutineType.tp_name = "coroutine";
    CoroutineType.tp_base = &PyCoro_Type;
    CoroutineType.tp_basicsize = sizeof(Coroutine);
    CoroutineType.tp_itemsize = 1;  // the body's bytes
    CoroutineType.tp_dealloc = coro_dealloc;
    CoroutineType.tp_as_async = &coroutine_async;
    CoroutineType.tp_repr = coro_repr;
    CoroutineType.tp_getattro = PyObject_GenericGetAttr;
    CoroutineType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CoroutineType.tp_iternext = coro_iternext;
    CoroutineType.tp_traverse = coro_traverse;
    CoroutineType.tp_clear = coro_clear;
    CoroutineType.tp_weaklistoffset = offsetof(Coroutine, head.cr_weakreflist);
    CoroutineType.tp_methods = coroutine_methods;
    CoroutineType.tp_getset = coroutine_getset;
    CoroutineType.tp_finalize = coro_finalize;
    CoroutineType.tp_free = PyObject_GC_Del;
    if (PyType_Ready(&CoroutineType) < 0) return -1;
    // The iternext slot is for the interpreter alone: a coroutine has no __next__.
    if (PyDict_DelItemString(CoroutineType.tp_dict, "__next__") < 0) return -1;
    PyType_Modified(&CoroutineType);
    WrapperType.tp_name = "coroutine_wrapper";
    WrapperType.tp_basicsize = sizeof(Wrapper);
    WrapperType.tp_dealloc = wrapper_dealloc;
    WrapperType.tp_as_async = &wrapper_async;
    WrapperType.tp_getattro = PyObject_GenericGetAttr;
    WrapperType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    WrapperType.tp_traverse = wrapper_traverse;
    WrapperType.tp_iter = PyObject_SelfIter;
    WrapperType.tp_iternext = wrapper_iternext;
    WrapperType.tp_methods = wrapper_methods;
    WrapperType.tp_free = PyObject_GC_Del;
    return PyType_Ready(&WrapperType);
}

namespace detail {

[[gnu::hot]] PyObject* new_coroutine(PyObject* code, PyObject* globals, size_t size, void** storage) {
    constexpr size_t align = alignof(std::max_align_t);
    constexpr size_t head = (sizeof(Coroutine) + align - 1) / align * align;
    const auto tail = static_cast<Py_ssize_t>(head - sizeof(Coroutine) + size);
    Ref origin;
    if (const int depth = thread_state()->coroutine_origin_tracking_depth; depth > 0) [[unlikely]] {
        origin = origin_of_call(depth);
        if (!origin) return nullptr;
    }
    auto* code_object = reinterpret_cast<PyCodeObject*>(code);
    auto* co = reinterpret_cast<Coroutine*>(shelves.take(tail));
    if (co) [[likely]] {
        // A kept coroutine still holds what it was last made of, most likely the same.
        if (co->code() != code) {
            Py_SETREF(co->head.cr_code, reinterpret_cast<PyCodeObject*>(Ref::borrow(code).release()));
            Py_SETREF(co->head.cr_name, Ref::borrow(code_object->co_name).release());
            Py_SETREF(co->head.cr_qualname, Ref::borrow(code_object->co_qualname).release());
        }
        if (co->globals.get() != globals) co->globals = Ref::borrow(globals);
    } else {
        co = PyObject_GC_NewVar(Coroutine, &CoroutineType, tail);
        if (!co) return nullptr;
        co->head.cr_code = reinterpret_cast<PyCodeObject*>(Ref::borrow(code).release());
        co->head.cr_weakreflist = nullptr;
        co->head.cr_name = Ref::borrow(code_object->co_name).release();
        co->head.cr_qualname = Ref::borrow(code_object->co_qualname).release();
        co->head.cr_exc_state = {nullptr, nullptr};
        co->head.cr_hooks_inited = 0;
        co->head.cr_closed = 0;
        co->head.cr_running_async = 0;
        co->head.cr_iframe[0] = nullptr;
        co->head.cr_frame_state = static_cast<int8_t>(State::Finished);
        new (&co->awaiting) Ref();
        new (&co->globals) Ref(Ref::borrow(globals));
        new (&co->frame) Ref();
        co->tail = tail;
    }
    co->head.cr_origin_or_finalizer = origin.release();
    co->set_state(State::Created);
    co->body = nullptr;
    co->tail_await = false;
    *storage = reinterpret_cast<char*>(co) + head;
    return reinterpret_cast<PyObject*>(co);
}

[[gnu::hot]] void attach_body(PyObject* coroutine, Body* body) {
    as_coroutine(coroutine)->body = body;
    PyObject_GC_Track(coroutine);
}

}  // namespace detail

Ref awaitable_iter(PyObject* obj) {
    if (PyCoro_CheckExact(obj) || is_own_coroutine(obj)) {
        // A coroutine is its own iterator, unless another await already drives it.
        if (!is_fresh_coroutine(obj)) {
            Ref awaited = Ref::steal(PyObject_GetAttrString(obj, "cr_await"));
            if (!awaited) return {};
            if (awaited.get() != Py_None) {
                PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
                return {};
            }
        }
        return Ref::borrow(obj);
    }
    if (is_iterable_coroutine(obj)) return Ref::borrow(obj);
    PyTypeObject* type = Py_TYPE(obj);
    unaryfunc get_await = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!get_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
        return {};
    }
    Ref iter = Ref::steal(get_await(obj));
    if (!iter) return {};
    if (PyCoro_CheckExact(iter.get()) || is_iterable_coroutine(iter.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return {};
    }
    if (!PyIter_Check(iter.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iter.get())->tp_name);
        return {};
    }
    return iter;
}

}  // namespace rt

namespace rt {

namespace {

class ImmediateBody final : public Body {
public:
    ImmediateBody(Immediate work, PyObject* const* locals, Py_ssize_t count) : work_(work), locals_(locals, count) {}
    Step resume(PyObject* received) override {
        if (!received) return Step::error();
        Ref result = Ref::steal(work_(locals_.data()));
        return result ? Step::done(std::move(result)) : Step::error();
    }
    int traverse(visitproc visitor, void* arg) override { return locals_.traverse(visitor, arg); }
    void frame_locals(FrameLocals& locals) const override { locals = FrameLocals(locals_.data(), locals_.size()); }
    static constexpr Py_ssize_t kMax = 12;

private:
    Immediate work_;
    RefArray<kMax> locals_;
};

}  // namespace

Ref make_immediate_coroutine(PyObject* code, PyObject* globals, Immediate work, PyObject* const* locals, Py_ssize_t count) {
    if (count > ImmediateBody::kMax) {
        PyErr_SetString(PyExc_SystemError, "too many locals for an immediate coroutine");
        return {};
    }
    return make_coroutine<ImmediateBody>(code, globals, work, locals, count);
}

}  // namespace rt
