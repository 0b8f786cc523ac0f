#include "runtime/frames.hpp"

#include "runtime/handling.hpp"

#include <frameobject.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace rt {

// ---- levels ----

namespace {

// Room kept below the last native frame allowed, an eighth of the stack up to this: what runs
// between two of them (the interpreter's frames, a host's hook, raising and reporting the
// RecursionError) must fit in it.
constexpr size_t kMaxStackRoom = size_t{1} << 20;

}  // namespace

uintptr_t measure_stack_floor() {
    uintptr_t floor = 1;  // a stack that cannot be measured is never taken for full
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0 && size > 0) {
            const size_t room = std::min(size / 8, kMaxStackRoom);
            floor = reinterpret_cast<uintptr_t>(low) + room;
        }
        pthread_attr_destroy(&attr);
    }
    stack_floor = floor;
    return floor;
}

bool enter_level_at_limit(PyThreadState*) {
    if (stack_nearly_full()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
    return Py_EnterRecursiveCall("") == 0;
}

// ---- frames ----

FrameLocals::FrameLocals(PyObject* const* values, Py_ssize_t count, PyObject* closure) : closure_(Ref::borrow(closure)) {
    for (Py_ssize_t i = 0; i < count && i < kMax; ++i) values_[i] = Ref::borrow(values[i]);
}

FrameLocals call_locals(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject* closure) {
    // Asked for on error paths too: the exception leaving the call stays pending, whatever
    // building the tuple and dict meets (it then shows them incomplete).
    ErrorTriple leaving = ErrorTriple::fetch();
    FrameLocals locals(nullptr, 0, closure);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    Ref dict = Ref::steal(PyDict_New());
    if (tuple && dict) {
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) PyErr_Clear();
        locals.set(0, std::move(tuple));
        locals.set(1, std::move(dict));
    }
    PyErr_Clear();
    leaving.restore();
    return locals;
}

Ref make_frame(PyObject* code, PyObject* globals, const FrameLocals& locals, PyObject* back) {
    if (!code || !PyCode_Check(code) || !globals || !PyDict_Check(globals)) {
        PyErr_SetString(PyExc_SystemError, "a frame needs a code object and a namespace");
        return {};
    }
    auto* co = reinterpret_cast<PyCodeObject*>(code);
    // Variables the body never set stay unbound; a `*args` or `**kwargs` the call left empty is
    // the empty tuple or dict the interpreter would have made.
    const Py_ssize_t nlocals = std::min<Py_ssize_t>(co->co_nlocals, FrameLocals::kMax);
    const Py_ssize_t params = co->co_argcount + co->co_kwonlyargcount;
    const Py_ssize_t varargs_at = co->co_flags & CO_VARARGS ? params : -1;
    const Py_ssize_t varkw_at = co->co_flags & CO_VARKEYWORDS ? params + (varargs_at >= 0 ? 1 : 0) : -1;
    Ref values[FrameLocals::kMax];
    for (Py_ssize_t i = 0; i < nlocals; ++i) {
        values[i] = Ref::borrow(locals.value(i));
        if (values[i] || (i != varargs_at && i != varkw_at)) continue;
        values[i] = Ref::steal(i == varargs_at ? PyTuple_New(0) : PyDict_New());
        if (!values[i]) return {};
    }
    // Free variables are read through their cells, as the closure holds them; one the closure does
    // not provide gets an empty cell, which reads as unbound.
    PyObject* closure = locals.closure();
    const Py_ssize_t given = closure && PyTuple_Check(closure) ? PyTuple_GET_SIZE(closure) : 0;
    Ref cells = Ref::steal(PyTuple_New(co->co_nfreevars));
    if (!cells) return {};
    for (Py_ssize_t i = 0; i < co->co_nfreevars; ++i) {
        PyObject* cell = i < given ? PyTuple_GET_ITEM(closure, i) : nullptr;
        Ref held = cell && PyCell_Check(cell) ? Ref::borrow(cell) : Ref::steal(PyCell_New(nullptr));
        if (!held) return {};
        PyTuple_SET_ITEM(cells.get(), i, held.release());
    }
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), co, globals, nullptr)));
    if (!frame) return {};
    // What PyFrame_New leaves unset: the frame is on no thread's stack, it is its own object, and
    // its variables are in their slots, where every reader of its locals looks.
    struct _PyInterpreterFrame* data = interpreter_frame(frame.get());
    frame_previous(data) = nullptr;
    frame_object(data) = frame.get();
    PyObject** slots = frame_variables(data);
    for (Py_ssize_t i = 0; i < nlocals; ++i) slots[i] = values[i].release();
    const Py_ssize_t first_free = co->co_nlocalsplus - co->co_nfreevars;
    for (Py_ssize_t i = 0; i < co->co_nfreevars; ++i)
        slots[first_free + i] = Ref::borrow(PyTuple_GET_ITEM(cells.get(), i)).release();
    if (back) frame_back(frame.get()) = Ref::borrow(back).release();
    return frame;
}

void add_frame_entry(PyObject* frame) {
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

// ---- the module's frames on the running thread's stack ----

namespace detail {

void bind_free_variables(InterpreterFrame* frame, PyFunctionObject* fn) {
    auto* code = reinterpret_cast<PyCodeObject*>(fn->func_code);
    PyObject* closure = fn->func_closure;
    const Py_ssize_t given = closure && PyTuple_Check(closure) ? PyTuple_GET_SIZE(closure) : 0;
    const int first = code->co_nlocalsplus - code->co_nfreevars;
    for (int i = 0; i < code->co_nfreevars; ++i) {
        // Readers of the frame's locals take every free variable for a cell: one the closure
        // does not provide is an empty cell, which reads as unbound.
        PyObject* cell = i < given ? PyTuple_GET_ITEM(closure, i) : nullptr;
        if (cell && PyCell_Check(cell)) {
            frame->slots()[first + i] = Py_NewRef(cell);
            continue;
        }
        ErrorTriple pending = ErrorTriple::fetch();
        PyObject* empty = PyCell_New(nullptr);
        if (!empty) {
            // No cell to be had: the frame shows no variables at all rather than a broken one.
            PyErr_Clear();
            for (int j = first; j < first + i; ++j) Py_CLEAR(frame->slots()[j]);
            frame->stacktop = 0;
            pending.restore();
            return;
        }
        pending.restore();
        frame->slots()[first + i] = empty;
    }
}

void end_seen_frame(InterpreterFrame* frame, int borrowed) {
    PyThreadState* ts = thread_state();
    // Everything the frame holds becomes its own first: the object may take it over.
    own_borrowed(frame, borrowed);
    Py_INCREF(frame->func);
    Py_INCREF(frame->code);
    PyObject* object = std::exchange(frame->frame_obj, nullptr);
    if (Py_REFCNT(object) > 1) {
        // The object gets the frame's data and references, as its own: specials and variables.
        InterpreterFrame* own = own_frame_data(object);
        const size_t size = offsetof(InterpreterFrame, localsplus) + sizeof(PyObject*) * static_cast<size_t>(frame->stacktop);
        std::memcpy(static_cast<void*>(own), frame, size);
        shown_frame(object) = own;
        own->owner = kOwnedByFrameObject;
        own->previous = nullptr;
        // Its f_back is the frame it was called from, as it stands now.
        if (frame->previous && !frame_back(object))
            if (PyObject* back = frame_object_of(ts, frame->previous)) frame_back(object) = Py_NewRef(back);
        if (!PyObject_GC_IsTracked(object)) PyObject_GC_Track(object);
        Py_DECREF(object);
        return;
    }
    Py_DECREF(object);
    for (int i = 0; i < frame->stacktop; ++i) Py_XDECREF(frame->slots()[i]);
    Py_XDECREF(frame->locals);
    Py_DECREF(frame->func);
    Py_DECREF(frame->code);
}

}  // namespace detail

PyObject* frame_object_of(PyThreadState* ts, InterpreterFrame* frame) {
    if (frame->frame_obj) return frame->frame_obj;
    // The interpreter makes the object of its innermost frame: ours is that one for the time.
    ErrorTriple pending = ErrorTriple::fetch();
    InterpreterFrame* innermost = innermost_frame(ts);
    innermost_frame(ts) = frame;
    PyObject* object = reinterpret_cast<PyObject*>(PyEval_GetFrame());
    innermost_frame(ts) = innermost;
    PyErr_Clear();
    pending.restore();
    return object == frame->frame_obj ? object : nullptr;
}

void add_frame_entry(PyThreadState* ts, InterpreterFrame* frame) {
    if (PyObject* object = frame_object_of(ts, frame)) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(object));
}

// ---- profile and trace functions ----

namespace {

// One call of a hook as the interpreter makes it: never from inside a hook, with the event
// recorded and tracing off meanwhile.
int call_hook(PyThreadState* ts, Py_tracefunc func, PyObject* obj, PyObject* frame, int what, PyObject* arg) {
    if (ts->tracing) return 0;
    Ref held = Ref::borrow(obj);  // the hook may unset itself while it runs
    const int old_what = ts->tracing_what;
    ts->tracing_what = what;
    PyThreadState_EnterTracing(ts);
    const int err = func(held.get(), reinterpret_cast<PyFrameObject*>(frame), what, arg);
    PyThreadState_LeaveTracing(ts);
    ts->tracing_what = old_what;
    return err;
}

// The pending exception survives a hook that succeeds; one that raises replaces it.
int report(PyThreadState* ts, Py_tracefunc func, PyObject* obj, PyObject* frame, int what, PyObject* arg) {
    ErrorTriple pending = ErrorTriple::fetch();
    if (call_hook(ts, func, obj, frame, what, arg) != 0) return -1;
    pending.restore();
    return 0;
}

// To the trace function, then the profile function, as the interpreter reports calls and returns.
int report_to_both(PyThreadState* ts, PyObject* frame, int what, PyObject* arg) {
    if (ts->c_tracefunc && report(ts, ts->c_tracefunc, ts->c_traceobj, frame, what, arg) < 0) return -1;
    if (ts->c_profilefunc && report(ts, ts->c_profilefunc, ts->c_profileobj, frame, what, arg) < 0) return -1;
    return 0;
}

// The exception event, to the trace function only, with (type, value, traceback); false with
// the hook's exception when it raised.
bool report_exception(PyThreadState* ts, PyObject* frame) {
    if (!ts->c_tracefunc) return true;
    ErrorTriple error = ErrorTriple::fetch();
    if (!error.value) error.value = none();
    error.normalize();
    Ref arg = Ref::steal(PyTuple_Pack(3, error.type.get(), error.value.get(), error.tb ? error.tb.get() : Py_None));
    if (!arg) {
        error.restore();
        return true;
    }
    if (call_hook(ts, ts->c_tracefunc, ts->c_traceobj, frame, PyTrace_EXCEPTION, arg.get()) != 0) return false;
    error.restore();
    return true;
}

}  // namespace

bool report_call(PyThreadState* ts, InterpreterFrame* frame) {
    // Held: a hook may take the frame over (frame.clear() on it, a tool keeping it).
    Ref object = Ref::borrow(frame_object_of(ts, frame));
    if (!object) return true;
    return report_to_both(ts, object.get(), PyTrace_CALL, Py_None) == 0;
}

bool report_exception_event(PyThreadState* ts, InterpreterFrame* frame) {
    Ref object = Ref::borrow(frame_object_of(ts, frame));
    return !object || report_exception(ts, object.get());
}

PyObject* report_return(PyThreadState* ts, InterpreterFrame* frame, PyObject* result) {
    Ref held = Ref::steal(result);
    Ref object = Ref::borrow(frame_object_of(ts, frame));
    if (!object) return held.release();
    if (!held) report_exception(ts, object.get());
    if (report_to_both(ts, object.get(), PyTrace_RETURN, held.get()) < 0) held.reset();
    return held.release();
}

}  // namespace rt
