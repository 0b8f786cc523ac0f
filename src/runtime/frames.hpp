// What the module's functions and coroutines are to the interpreter's tools while they run: a
// level of the recursion limit each, a frame that tracebacks, debuggers and profilers can read
// like the interpreter's own, and call, return and exception events while a profile or trace
// function is set.
//
// A run's interpreter frame is filled and linked on every run (a few stores and the references
// it takes); its frame object is made only where something asks for one (a stack walk, an
// exception leaving the function, cr_frame, a profiler or tracer).
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

// ---- the module's frames on the running thread's stack ----
//
// While a function or coroutine step of the module runs, an interpreter frame of its code is
// linked where the interpreter keeps the running thread's frames, as the interpreter links its
// own: every tool that walks from the current frame (stack walks, warnings, logging, tracemalloc,
// debuggers, profilers) finds it in Python's order. A call's frame lives on the C stack; a
// coroutine's in the coroutine object, where the interpreter keeps its own coroutines' frames.
// Its variables are strong references in its slots, which the body binds as it goes, and its
// instruction stands on the step that runs (each step has a line in the code's line table).
// A frame object is made for it only when a tool asks; if the tool still holds that object when
// the frame ends, the object takes the frame over, as the interpreter hands over its own.

// Room for a frame of any of the module's codes (make_code refuses codes with more variables),
// with room for `kFrameStackRoom` values on its stack.
inline constexpr int kFrameSlots = 16;
inline constexpr int kFrameStackRoom = 2;
struct FrameRoom {
    InterpreterFrame frame;
    PyObject* more[kFrameSlots - 1];
};

namespace detail {
RT_COLD void bind_free_variables(InterpreterFrame* frame, PyFunctionObject* fn);
RT_COLD void end_seen_frame(InterpreterFrame* frame, int borrowed);
}  // namespace detail

// References: a frame borrows its function and code, which whoever runs it holds for as long
// as the frame lives (a call's caller, the coroutine), and a call's frame (kOwnedByThread) the
// first `borrowed` of its variables, the parameters its caller keeps alive until the frame ends;
// the other variables it owns. Whatever the frame borrows becomes its own
// before anything could release it from the frame: before a profile or trace function sees the
// frame, and when a frame object outlives it.

// Fills `frame` for a run of `func` (the module's function or one of the interpreter's): its
// variables unbound but for the cells of its free variables, standing at its first line, owned
// by `owner` (kOwnedByThread for a call, kOwnedByCoroutine for a coroutine's frame). Not linked.
inline void open_frame(InterpreterFrame* frame, PyObject* func, char owner) {
    auto* fn = reinterpret_cast<PyFunctionObject*>(func);
    auto* code = reinterpret_cast<PyCodeObject*>(fn->func_code);
    frame->func = func;
    frame->globals = fn->func_globals;
    frame->builtins = fn->func_builtins;
    frame->locals = nullptr;
    frame->code = reinterpret_cast<PyObject*>(code);
    frame->frame_obj = nullptr;
    frame->previous = nullptr;
    frame->prev_instr = _PyCode_CODE(code);
    const int count = code->co_nlocalsplus;
    frame->stacktop = count;
    frame->is_entry = false;
    frame->owner = owner;
    const int free = code->co_nfreevars;
    PyObject** slots = frame->slots();
    for (int i = 0; i < count - free; ++i) slots[i] = nullptr;
    if (free) {
        PyObject* closure = fn->func_closure;
        if (closure && PyTuple_GET_SIZE(closure) == free) [[likely]] {
            for (int i = 0; i < free; ++i) slots[count - free + i] = Py_NewRef(PyTuple_GET_ITEM(closure, i));
        } else {
            detail::bind_free_variables(frame, fn);
        }
    }
}

// The frame becomes the running thread's innermost, called from the one that was.
inline void link_frame(PyThreadState* ts, InterpreterFrame* frame) {
    frame->previous = innermost_frame(ts);
    innermost_frame(ts) = frame;
}

// The frame it was called from is the innermost again. The frame keeps its link down until it
// ends (a frame object that takes it over finds its f_back there).
inline void unlink_frame(PyThreadState* ts, InterpreterFrame* frame) { innermost_frame(ts) = frame->previous; }

// For tp_traverse: visits what an open frame holds (its locals dict, its frame object, its
// variables).
inline int traverse_frame(InterpreterFrame* frame, visitproc visitor, void* arg) {
    for (PyObject* obj : {frame->locals, frame->frame_obj})
        if (obj)
            if (int err = visitor(obj, arg)) return err;
    for (int i = 0; i < frame->stacktop; ++i)
        if (PyObject* obj = frame->slots()[i])
            if (int err = visitor(obj, arg)) return err;
    return 0;
}

// The end of an unlinked frame whose first `borrowed` variables are borrowed: what it holds is
// released, or handed to the frame object a tool still holds. (Without a frame object, nothing
// has made its f_locals either.)
inline void close_frame(InterpreterFrame* frame, int borrowed = 0) {
    if (frame->frame_obj) [[unlikely]] {
        detail::end_seen_frame(frame, borrowed);
        return;
    }
    PyObject** slots = frame->slots();
    for (int i = borrowed; i < frame->stacktop; ++i) Py_XDECREF(slots[i]);
}

// The first `borrowed` variables of a call's frame become its own (see above).
inline void own_borrowed(InterpreterFrame* frame, int& borrowed) {
    for (int i = 0; i < borrowed; ++i) Py_XINCREF(frame->slots()[i]);
    borrowed = 0;
}

// The frame of the module's function whose body runs now: the running thread's innermost. Only
// for a body, which its caller runs in its own frame.
inline InterpreterFrame* running_frame() { return innermost_frame(thread_state()); }

// The frame stands at step `step` of its code (0: the first line; each step of a body is an
// instruction of its own, at the step's line).
inline void at_step(InterpreterFrame* frame, int step) {
    frame->prev_instr = _PyCode_CODE(reinterpret_cast<PyCodeObject*>(frame->code)) + step;
}

// Where a frame standing at a step stands in the second run of the code's steps, after which the
// code resumes from an await (make_code lays them out); the step is the one it stands at.
inline _Py_CODEUNIT* step_before_resume(InterpreterFrame* frame) {
    auto* code = reinterpret_cast<PyCodeObject*>(frame->code);
    _Py_CODEUNIT* first = _PyCode_CODE(code);
    const Py_ssize_t steps = (Py_SIZE(code) - 1) / 3;  // the entry's and the body's
    Py_ssize_t step = frame->prev_instr - first;
    if (step < 0 || step >= steps) step = 0;
    return first + steps + 2 * step;
}

// The variable at `index` (of the code's variable names) is bound to `value` (may be null: unbound).
inline void bind_local(InterpreterFrame* frame, Py_ssize_t index, PyObject* value) {
    PyObject* old = frame->slots()[index];
    frame->slots()[index] = Py_XNewRef(value);
    Py_XDECREF(old);
}

// The frame's frame object, made when first asked for (borrowed; null when it could not be made).
// The pending exception is kept.
RT_COLD PyObject* frame_object_of(PyThreadState* ts, InterpreterFrame* frame);

// An exception leaves the frame's code: an entry for the frame in front of its traceback.
RT_COLD void add_frame_entry(PyThreadState* ts, InterpreterFrame* frame);

// ---- profile and trace functions ----

// Whether a profile or trace function is set on the running thread.
inline bool tracing(PyThreadState* ts) { return ts->cframe->use_tracing; }

// The call event of a run of `frame` (linked, the innermost) to the trace and profile functions;
// false with the hook's exception set when a hook raised: the run must not go on.
RT_COLD bool report_call(PyThreadState* ts, InterpreterFrame* frame);

// The exception event of the pending exception in `frame` (linked, the innermost), to the trace
// function; false with the hook's exception set when it raised, true with the exception still
// pending otherwise.
RT_COLD bool report_exception_event(PyThreadState* ts, InterpreterFrame* frame);

// The end of that run with `result` (a new reference, or null with the exception pending): the
// exception event to the trace function (for null), then the return event. Gives `result`, or
// null with the hook's exception when a hook raised.
RT_COLD PyObject* report_return(PyThreadState* ts, InterpreterFrame* frame, PyObject* result);

}  // namespace rt
