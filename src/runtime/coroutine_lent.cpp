// The coroutine's frame as the interpreter's own coroutine machinery sees it. A frame object
// reaches that machinery: frame.clear() on a coroutine's frame finalizes the coroutine as the
// interpreter finalizes its own (never-awaited warning, or close), reading the head's frame state
// and the frame. While a frame object exists and the coroutine is unstarted or suspended, the
// frame is lent: the head says so, the frame holds its function and code as the interpreter's
// own frames do, it stands where the code resumes from an await (the same step's line), and a
// suspended coroutine's stack holds a closer, which the interpreter takes for what it awaits.
//
// Closing then goes through the closer, into the coroutine's own close (what it awaits is
// closed, GeneratorExit raised in its body), after which the frame is an empty one of its code:
// the interpreter raises GeneratorExit in it, which it has no handler for, and ends it. Other
// base-type methods a host may reach meanwhile run no more of the frame's code than the yield
// that ends it (make_code) or end the frame as the interpreter ends its own; the coroutine takes
// the frame back before any use of its own and finds out which.
#include "runtime/coroutine_object.hpp"

#include "runtime/handling.hpp"
#include "runtime/layout.hpp"

namespace rt::coroutine {

namespace {

constexpr auto kExecutingState = static_cast<int8_t>(State::Running);
constexpr auto kClearedState = static_cast<int8_t>(State::Finished);

// What the interpreter finds on a lent suspended frame's stack: closing it closes the coroutine
// (a weak reference: the coroutine's frame holds the closer).
struct Closer {
    PyObject_HEAD
    PyObject* coroutine;  // weak reference
};

PyTypeObject CloserType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "coroutine_closer",
    .tp_basicsize = sizeof(Closer),
};

int nlocalsplus(InterpreterFrame* frame) { return reinterpret_cast<PyCodeObject*>(frame->code)->co_nlocalsplus; }

// Whether the frame is on the running thread's stack: the interpreter runs it now.
bool on_stack(InterpreterFrame* frame) {
    for (InterpreterFrame* f = innermost_frame(thread_state()); f; f = f->previous)
        if (f == frame) return true;
    return false;
}

// The frame holds its function and code for the interpreter, as its own frames do.
void hold_specials(InterpreterFrame* frame) {
    Py_INCREF(frame->func);
    Py_INCREF(frame->code);
}

// Back to borrowing them: the coroutine holds both.
void release_specials(InterpreterFrame* frame) {
    Py_DECREF(frame->func);
    Py_DECREF(frame->code);
}

// After the coroutine has closed, an empty frame of its code is what the interpreter ends.
void lend_spent_frame(Coroutine* co) {
    InterpreterFrame* frame = co->frame();
    open_frame(frame, co->func.get(), kOwnedByCoroutine);
    hold_specials(frame);
    co->lent = Lent::spent;
}

// The close of a coroutine whose lent frame the interpreter closes: the coroutine's own close,
// then the frame left for the interpreter to end.
PyObject* close_for_interpreter(Coroutine* co) {
    const int8_t head_state = co->head.cr_frame_state;
    co->head.cr_frame_state = static_cast<int8_t>(co->state());  // as lent, for take_back
    take_back(co);
    Ref result = Ref::steal(coro_close(reinterpret_cast<PyObject*>(co), nullptr));
    // The interpreter ends the coroutine whatever its close did.
    if (co->lent != Lent::no) take_back(co);
    if (co->state() != State::Finished) {
        ErrorTriple pending = ErrorTriple::fetch();
        finish(co);
        pending.restore();
    }
    if (co->func) {
        lend_spent_frame(co);
        co->head.cr_frame_state = head_state;
    }
    return result.release();
}

PyObject* closer_close(PyObject* self, PyObject*) {
    Ref target = Ref::borrow(PyWeakref_GetObject(reinterpret_cast<Closer*>(self)->coroutine));
    if (target.get() == Py_None) return none().release();
    auto* co = as_coroutine(target.get());
    if (co->lent == Lent::armed && co->head.cr_frame_state == kExecutingState && !on_stack(co->frame()))
        return close_for_interpreter(co);
    return coro_close(target.get(), nullptr);
}

void closer_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<Closer*>(self)->coroutine);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef closer_methods[] = {
    {"close", closer_close, METH_NOARGS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

Ref new_closer(Coroutine* co) {
    Ref weak = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(co), nullptr));
    if (!weak) return {};
    Closer* closer = PyObject_New(Closer, &CloserType);
    if (!closer) return {};
    closer->coroutine = weak.release();
    return Ref::steal(reinterpret_cast<PyObject*>(closer));
}

}  // namespace

int ready_closer_type() {
    CloserType.tp_dealloc = closer_dealloc;
    CloserType.tp_flags = Py_TPFLAGS_DEFAULT;
    CloserType.tp_methods = closer_methods;
    return PyType_Ready(&CloserType);
}

void lend_frame(Coroutine* co) {
    InterpreterFrame* frame = co->frame();
    if (co->state() == State::Suspended) {
        // Room for the closer and for a value the interpreter sends in (make_code keeps it).
        Ref closer = new_closer(co);
        if (!closer) {
            PyErr_Clear();
            return;
        }
        frame->slots()[frame->stacktop++] = closer.release();
    }
    co->step_instr = frame->prev_instr;
    frame->prev_instr = step_before_resume(frame);
    hold_specials(frame);
    co->head.cr_frame_state = static_cast<int8_t>(co->state());
    co->lent = Lent::armed;
}

bool take_back(Coroutine* co) {
    const int8_t head_state = co->head.cr_frame_state;
    if (head_state == kExecutingState) {
        PyErr_SetString(PyExc_ValueError, kExecuting);
        return false;
    }
    InterpreterFrame* frame = co->frame();
    const Lent lent = std::exchange(co->lent, Lent::no);
    if (lent == Lent::spent) {
        // The interpreter did not end it after all: released here.
        if (head_state != kClearedState) {
            close_frame(frame);
            release_specials(frame);
            co->head.cr_frame_state = kClearedState;
        }
        return true;
    }
    if (head_state == kClearedState) {
        // The interpreter ended the frame (a base-type throw or close) and released what it held:
        // the coroutine ends with it.
        co->frame_open = false;
        if (co->state() != State::Finished) finish(co);
        return true;
    }
    // As lent, or after a base-type send, which only ran to the final yield.
    if (frame->stacktop > nlocalsplus(frame)) {
        Ref closer = Ref::steal(frame->slots()[--frame->stacktop]);
    }
    frame->prev_instr = co->step_instr;
    frame->is_entry = false;
    frame->previous = nullptr;
    release_specials(frame);
    co->set_state(co->state());
    return true;
}

}  // namespace rt::coroutine
