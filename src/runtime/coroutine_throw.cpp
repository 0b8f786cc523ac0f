// What throw() and close() do to a coroutine, as the interpreter does them to its own: an
// exception thrown in is forwarded to what the coroutine awaits (or raised at its await point),
// and closing closes what it awaits, then raises GeneratorExit inside it.
#include "runtime/coroutine_object.hpp"

#include "runtime/handling.hpp"

namespace rt::coroutine {

namespace {

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
    return resume(co, Py_None, Resumption::raise);
}

PyObject* throw_into(Coroutine* co, PyObject* type, PyObject* value, PyObject* tb) {
    if (co->awaiting && co->state() == State::Suspended) {
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(co));
        if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
            int err = close_awaited(co);
            if (err < 0) {
                return resume(co, Py_None, Resumption::raise);
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
            return resume(co, returned.get(), Resumption::send);
        }
        return resume(co, Py_None, Resumption::raise);
    }
    return throw_here(co, type, value, tb);
}

// A throw from outside, into a coroutine whose frame may be lent (coroutine_lent.cpp).
PyObject* throw_lent(Coroutine* co, PyObject* type, PyObject* value, PyObject* tb) {
    if (!settled(co)) return nullptr;
    PyObject* result = throw_into(co, type, value, tb);
    relend(co);
    return result;
}

}  // namespace

PyObject* coro_send(PyObject* self, PyObject* value) { return resume(as_coroutine(self), value, Resumption::send); }

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    return throw_lent(as_coroutine(self), args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    auto* co = as_coroutine(self);
    if (!settled(co)) return nullptr;
    int err = 0;
    if (co->awaiting && co->state() == State::Suspended) err = close_awaited(co);
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* out = nullptr;
    PySendResult status = send_ex(co, Py_None, &out, Resumption::raise, Closing::yes);
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

}  // namespace rt::coroutine
