// What the module's functions and coroutines are to the interpreter's tools while they run: a
// level of the recursion limit each, a frame that tracebacks, debuggers and profilers can read
// like the interpreter's own, and call, return and exception events while a profile or trace
// function is set.
//
// The frames are made only where something asks for them (an exception leaving the function, a
// tool reading cr_frame, a profiler or tracer being set), so the hot paths pay a counter and a
// flag test.
#pragma once

#include "runtime/layout.hpp"
#include "runtime/placement.hpp"
#include "runtime/ref.hpp"

#include <cstdint>

namespace rt {

// ---- levels ----

// The lowest address the running thread's C stack may reach before native frames refuse to go
// deeper (0: not measured yet). A per-thread word the hot paths read without a call.
inline thread_local uintptr_t stack_floor [[gnu::tls_model("initial-exec")]] = 0;

RT_COLD uintptr_t measure_stack_floor();

// Where the running thread's stack stands now; read from the register, since taking a frame's
// address would make every caller set up a frame pointer.
inline uintptr_t stack_position() {
#if defined(__x86_64__)
    uintptr_t sp;
    asm("mov %%rsp, %0" : "=r"(sp));
    return sp;
#elif defined(__aarch64__)
    uintptr_t sp;
    asm("mov %0, sp" : "=r"(sp));
    return sp;
#else
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
}

inline bool stack_nearly_full() {
    uintptr_t floor = stack_floor;
    if (floor == 0) [[unlikely]]
        floor = measure_stack_floor();
    return stack_position() < floor;
}

// The refusal of a level: the interpreter's own check at the limit, with its message and
// headroom, and RecursionError where the C stack would run out first (native frames are larger
// than the interpreter's). True when the level is taken after all.
RT_COLD bool enter_level_at_limit(PyThreadState* ts);

// Takes a level for a native frame, as the interpreter does for each frame it runs; false, with
// RecursionError set and nothing taken, when the call must not start.
inline bool enter_level(PyThreadState* ts) {
    if (ts->recursion_remaining-- <= 0 || stack_nearly_full()) [[unlikely]] {
        ++ts->recursion_remaining;
        return enter_level_at_limit(ts);
    }
    return true;
}

// Takes a level for a call that runs none of the host's code and goes no deeper (one that only
// makes a coroutine): counted like any other, with no need to look at the C stack.
inline bool count_level(PyThreadState* ts) {
    if (ts->recursion_remaining-- <= 0) [[unlikely]] {
        ++ts->recursion_remaining;
        return enter_level_at_limit(ts);
    }
    return true;
}

inline void leave_level(PyThreadState* ts) { ++ts->recursion_remaining; }

// ---- frames ----

// What a native function's frame holds, as the interpreter's frame for its code would: values
// in the order of the code's variable names (parameters first; unset ones stay null), and the
// closure whose cells its free variables name.
class FrameLocals {
public:
    static constexpr Py_ssize_t kMax = 16;

    FrameLocals() = default;
    // The first `count` variables, as a bound body receives them (borrowed; any may be null).
    FrameLocals(PyObject* const* values, Py_ssize_t count, PyObject* closure = nullptr);

    void set(Py_ssize_t index, Ref value) {
        if (index >= 0 && index < kMax) values_[index] = std::move(value);
    }
    void set_closure(PyObject* closure) { closure_ = Ref::borrow(closure); }

    PyObject* value(Py_ssize_t index) const { return index < kMax ? values_[index].get() : nullptr; }
    PyObject* closure() const { return closure_.get(); }

private:
    Ref values_[kMax];
    Ref closure_;
};

// The locals of a `(*args, **kwargs)` call as it came: the tuple and dict in their slots.
FrameLocals call_locals(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject* closure);

// A frame of `code` in `globals` holding `locals` (parameters in their slots, a cell for each
// free variable), which tools read as the interpreter's own; `back` (may be null) is its f_back.
// Null with an exception set on failure.
Ref make_frame(PyObject* code, PyObject* globals, const FrameLocals& locals, PyObject* back);

// The running thread's innermost frame (borrowed; may be null).
inline PyObject* current_frame() { return reinterpret_cast<PyObject*>(PyEval_GetFrame()); }

// Puts an entry for `frame` in front of the pending exception's traceback, as the interpreter
// does when an exception leaves a frame; the pending exception is kept whatever happens.
void add_frame_entry(PyObject* frame);

// ---- profile and trace functions ----

// Whether a profile or trace function is set on the running thread.
inline bool tracing(PyThreadState* ts) { return ts->cframe->use_tracing; }

// The start of a run of `frame` under a profile or trace function: the frame is linked where the
// interpreter keeps the running thread's frames (what it calls is then called from it), and the
// call event is reported. False, with the hook's exception set and the frame unlinked, when a
// hook raised: the run must not start.
bool trace_call(PyThreadState* ts, PyObject* frame);

// The end of that run with `result` (a new reference, or null with the exception pending): the
// exception event to the trace function (for null), then the return event, and the frame is
// unlinked. Gives `result`, or null with the hook's exception when a hook raised.
PyObject* trace_return(PyThreadState* ts, PyObject* frame, PyObject* result);

}  // namespace rt
