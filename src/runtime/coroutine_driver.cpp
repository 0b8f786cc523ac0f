// The driver: runs a coroutine's body from where it stands, awaiting what the body asks for as
// `await` does (delegation, the standard errors), and ends the coroutine when the body does.
// Each step takes a level of the recursion limit and is reported to a profile or trace function.
#include "runtime/coroutine_object.hpp"

#include "runtime/handling.hpp"
#include "runtime/layout.hpp"
#include "runtime/traceback.hpp"

namespace rt::coroutine {

bool is_fresh_coroutine(PyObject* obj) {
    // Ours keep their state apart from the head.
    if (is_own_coroutine(obj)) return as_coroutine(obj)->state() == State::Created;
    return PyCoro_CheckExact(obj) && coroutine_not_started(obj);
}

namespace {

bool is_iterable_coroutine(PyObject* obj) {
    return PyGen_CheckExact(obj) &&
           (reinterpret_cast<PyGenObject*>(obj)->gi_code->co_flags & CO_ITERABLE_COROUTINE);
}

}  // namespace

void end_frame(Coroutine* co) {
    if (!co->frame_open) return;
    co->frame_open = false;
    InterpreterFrame* frame = co->frame();
    // A tool that keeps the frame object after the end finds there what the body had bound.
    if (frame->frame_obj && co->body) co->body->fill_frame(frame);
    frame->previous = nullptr;
    close_frame(frame);
}

void finish(Coroutine* co) {
    co->set_state(State::Finished);
    co->awaiting.reset();
    // A frame object a tool holds keeps what the body had bound, whenever the frame ends.
    if (co->frame_open && co->frame()->frame_obj && co->body) [[unlikely]]
        co->body->fill_frame(co->frame());
    // The frame outlives the body while the step that ended it runs; the step ends it then.
    if (!co->frame_linked) end_frame(co);
    if (Body* body = std::exchange(co->body, nullptr)) body->~Body();
}

void raise_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // Wrapped first, or a tuple value would be unpacked into the exception's arguments.
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
}

Ref frame_of(Coroutine* co) {
    if (!co->frame_open || co->state() == State::Finished) return {};
    InterpreterFrame* frame = co->frame();
    if (co->body) co->body->fill_frame(frame);
    Ref object = Ref::borrow(frame_object_of(thread_state(), frame));
    relend(co);  // frame.clear() on it closes the coroutine
    return object;
}

namespace {

RT_COLD PySendResult fail(Coroutine* co) {
    // The exception leaves the coroutine's code: an entry for its frame, as for a Python coroutine.
    if (co->frame_open) {
        if (co->body) co->body->fill_frame(co->frame());
        add_frame_entry(thread_state(), co->frame());
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
RT_HOT PySendResult send_into(PyObject* iter, PyObject* value, PyObject** result) {
    if (PyCoro_CheckExact(iter)) return PyCoro_Type.tp_as_async->am_send(iter, value, result);
    if (is_own_coroutine(iter)) return coro_am_send(iter, value, result);
    return PyIter_Send(iter, value, result);
}

// An await ends while a trace function is set: the StopIteration that ends it, reported in the
// awaiting frame as the interpreter reports it (debuggers stop there after `return` in what it
// awaited). A trace function that raises fails the await.
RT_COLD [[gnu::noinline]] PySendResult report_await_end(PyThreadState* ts, Coroutine* co, InterpreterFrame* between,
                                                        PyObject** result) {
    raise_stop_iteration(*result);
    if (!report_exception_event(ts, between ? between : co->frame())) {
        Py_CLEAR(*result);
        return PYGEN_ERROR;
    }
    PyErr_Clear();
    return PYGEN_RETURN;
}

// What the coroutine awaits is sent `value`, with the body's frame for it between the two.
RT_HOT PySendResult send_awaited(Coroutine* co, PyObject* value, PyObject** result) {
    InterpreterFrame* between = co->body->between;
    PySendResult status;
    if (!between) [[likely]] {
        status = send_into(co->awaiting.get(), value, result);
    } else {
        // The body's frame runs a step of its own meanwhile: a level of the recursion limit.
        PyThreadState* ts = thread_state();
        if (!enter_level(ts)) [[unlikely]] {
            *result = nullptr;
            return PYGEN_ERROR;
        }
        link_frame(ts, between);
        status = send_into(co->awaiting.get(), value, result);
        unlink_frame(ts, between);
        leave_level(ts);
    }
    if (status == PYGEN_RETURN)
        if (PyThreadState* ts = thread_state(); ts->c_tracefunc) [[unlikely]]
            return report_await_end(ts, co, between, result);
    return status;
}

// The end of a body's last await, whose outcome is the coroutine's.
RT_HOT PySendResult end_of_tail_await(Coroutine* co, PySendResult status, PyObject* result, PyObject** out) {
    if (status == PYGEN_ERROR) return fail(co);
    finish(co);
    *out = result;
    return PYGEN_RETURN;
}

// Runs the body from where it stands until it yields through an awaited object or ends.
RT_HOT PySendResult advance(Coroutine* co, PyObject* received, PyObject** out) {
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
        PySendResult status = send_awaited(co, Py_None, &result);
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
RT_COLD PySendResult refuse_step(Coroutine* co) {
    finish(co);
    return PYGEN_ERROR;
}

// The coroutine's code from where it stands: what it awaits is sent `value` (or, with `exc`, has
// the pending exception raised at its await), or the body resumes.
RT_HOT PySendResult run_step(Coroutine* co, PyObject* value, PyObject** out, Resumption how) {
    if (co->awaiting && how == Resumption::send) {
        PyObject* result = nullptr;
        PySendResult status = send_awaited(co, value, &result);
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
    return advance(co, how == Resumption::raise ? nullptr : value, out);
}

// A step taken while a profile or trace function is set: it reports the step as a call, and
// what it yields or returns (or raises) as its return.
RT_COLD [[gnu::noinline]] PySendResult traced_step(PyThreadState* ts, Coroutine* co, PyObject* value, PyObject** out,
                                                   Resumption how) {
    InterpreterFrame* frame = co->frame();
    if (co->body) co->body->fill_frame(frame);
    if (!report_call(ts, frame)) return fail(co);  // a hook raised: the step never runs
    PySendResult status = run_step(co, value, out, how);
    PyObject* reported = report_return(ts, frame, status == PYGEN_ERROR ? nullptr : *out);
    *out = reported;
    if (reported || status == PYGEN_ERROR) return status;
    // A hook raised at the end of a step that yielded: the exception leaves the coroutine's code.
    return status == PYGEN_NEXT ? fail(co) : PYGEN_ERROR;
}

// A step runs in the coroutine's frame, linked meanwhile where the interpreter keeps the running
// thread's frames; a step that ended the coroutine ends the frame once it is off the stack.
RT_HOT inline void enter_frame(PyThreadState* ts, Coroutine* co) {
    link_frame(ts, co->frame());
    co->frame_linked = true;
}

RT_HOT inline void leave_frame(PyThreadState* ts, Coroutine* co) {
    unlink_frame(ts, co->frame());
    co->frame()->previous = nullptr;
    co->frame_linked = false;
    if (co->state() == State::Finished) [[unlikely]]
        end_frame(co);
    else if (co->frame()->frame_obj) [[unlikely]]
        relend(co);  // a tool holds its frame object: frame.clear() closes the coroutine
}

RT_COLD [[gnu::noinline]] PySendResult traced_first_step(PyThreadState* ts, Coroutine* co, PyObject** out) {
    enter_frame(ts, co);
    const PySendResult status = traced_step(ts, co, Py_None, out, Resumption::send);
    leave_frame(ts, co);
    leave_level(ts);
    return status;
}

// One step of the coroutine's code (run_step), counted as the interpreter counts a running frame.
RT_HOT PySendResult step(Coroutine* co, PyObject* value, PyObject** out, Resumption how) {
    PyThreadState* ts = thread_state();
    if (!enter_level(ts)) [[unlikely]]
        return refuse_step(co);
    enter_frame(ts, co);
    const PySendResult status = tracing(ts) ? traced_step(ts, co, value, out, how) : run_step(co, value, out, how);
    leave_frame(ts, co);
    leave_level(ts);
    return status;
}

}  // namespace

PySendResult send_ex(Coroutine* co, PyObject* value, PyObject** out, Resumption how, Closing closing) {
    *out = nullptr;
    if (!settled(co)) [[unlikely]]
        return PYGEN_ERROR;
    switch (co->state()) {
        case State::Created:
            if (value != Py_None && how == Resumption::send) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            if (how == Resumption::raise) {  // thrown in before the first step: it ends there
                co->set_state(State::Running);
                return step(co, nullptr, out, Resumption::raise);
            }
            break;
        case State::Running:
            PyErr_SetString(PyExc_ValueError, kExecuting);
            return PYGEN_ERROR;
        case State::Finished:
            if (closing == Closing::no) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case State::Suspended:
            break;
    }
    co->set_state(State::Running);  // the caller holds the coroutine while it runs
    return step(co, value, out, how);
}

PyObject* resume(Coroutine* co, PyObject* value, Resumption how) {
    PyObject* out = nullptr;
    const PySendResult status = send_ex(co, value, &out, how, Closing::no);
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        Ref returned = Ref::steal(out);
        raise_stop_iteration(returned.get());
    }
    return nullptr;
}

PyObject* next_result(PySendResult status, PyObject* out) {
    if (status == PYGEN_NEXT) return out;
    if (status == PYGEN_RETURN) {
        Ref value = Ref::steal(out);
        if (value.get() != Py_None) raise_stop_iteration(value.get());
    }
    return nullptr;
}

PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** out) {
    auto* co = as_coroutine(self);
    if (co->state() == State::Created && value == Py_None && co->lent == Lent::no) [[likely]] {
        // The first step, as `await` takes it: straight into the body.
        *out = nullptr;
        co->set_state(State::Running);
        PyThreadState* ts = thread_state();
        if (!enter_level(ts)) [[unlikely]]
            return refuse_step(co);
        if (tracing(ts)) [[unlikely]]
            return traced_first_step(ts, co, out);
        enter_frame(ts, co);
        const PySendResult status = advance(co, Py_None, out);
        leave_frame(ts, co);
        leave_level(ts);
        return status;
    }
    return send_ex(co, value, out, Resumption::send, Closing::no);
}


}  // namespace rt::coroutine

namespace rt {

using coroutine::is_fresh_coroutine;
using coroutine::is_iterable_coroutine;
using coroutine::is_own_coroutine;

Ref awaitable_iter(PyObject* obj) {
    if (PyCoro_CheckExact(obj) || is_own_coroutine(obj)) {
        // A coroutine is its own iterator, unless another await already drives it.
        if (!is_fresh_coroutine(obj)) {
            Ref awaited = Ref::steal(PyObject_GetAttrString(obj, "cr_await"));
            if (!awaited) return {};
            if (awaited.get() != Py_None) {
                PyErr_SetString(PyExc_RuntimeError, coroutine::kAwaitedAlready);
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
