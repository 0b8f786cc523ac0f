#include "runtime/frames.hpp"

#include "runtime/handling.hpp"

#include <frameobject.h>
#include <pthread.h>

#include <algorithm>

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

// The exception event, to the trace function only, with (type, value, traceback).
void report_exception(PyThreadState* ts, PyObject* frame) {
    if (!ts->c_tracefunc) return;
    ErrorTriple error = ErrorTriple::fetch();
    if (!error.value) error.value = none();
    error.normalize();
    Ref arg = Ref::steal(PyTuple_Pack(3, error.type.get(), error.value.get(), error.tb ? error.tb.get() : Py_None));
    if (!arg) {
        error.restore();
        return;
    }
    if (call_hook(ts, ts->c_tracefunc, ts->c_traceobj, frame, PyTrace_EXCEPTION, arg.get()) == 0) error.restore();
}

void unlink(PyThreadState* ts, PyObject* frame) {
    struct _PyInterpreterFrame* data = interpreter_frame(frame);
    if (ts->cframe->current_frame == data) ts->cframe->current_frame = frame_previous(data);
    frame_previous(data) = nullptr;
    frame_owner(data) = kOwnedByFrameObject;
}

}  // namespace

bool trace_call(PyThreadState* ts, PyObject* frame) {
    struct _PyInterpreterFrame* data = interpreter_frame(frame);
    frame_previous(data) = ts->cframe->current_frame;
    ts->cframe->current_frame = data;
    frame_owner(data) = kOwnedByThread;  // running: frame.clear() refuses it, as it refuses a Python frame's
    if (report_to_both(ts, frame, PyTrace_CALL, Py_None) == 0) return true;
    unlink(ts, frame);
    return false;
}

PyObject* trace_return(PyThreadState* ts, PyObject* frame, PyObject* result) {
    Ref held = Ref::steal(result);
    if (!held) report_exception(ts, frame);
    if (report_to_both(ts, frame, PyTrace_RETURN, held.get()) < 0) held.reset();
    unlink(ts, frame);
    return held.release();
}

}  // namespace rt
