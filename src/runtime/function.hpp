// A callable type that introspection treats as a Python function: a subtype of the interpreter's
// function type whose objects carry a complete function head, and whose calls go to native code
// through their own vectorcall (the interpreter inlines only exact functions, so it always runs).
//
// Its attributes (__name__, __qualname__, __module__, __doc__, __defaults__, __kwdefaults__,
// __annotations__, __dict__, __globals__, __builtins__, __closure__ and a read-only __code__) behave as
// on Python functions, it binds as a descriptor like them, and a call binds its arguments with the
// interpreter's rules and messages before the native body runs.
#pragma once

#include "runtime/frames.hpp"
#include "runtime/layout.hpp"
#include "runtime/placement.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

#include <initializer_list>
#include <span>

namespace rt {

struct Function;

// A body that receives its arguments bound as a Python frame would hold them: one borrowed
// reference per parameter, in the order of the code's variable names (a `*args` tuple where the
// signature has one; for `**kwargs`, the dict of the extra keywords, or null when there were none).
using BoundBody = PyObject* (*)(Function* fn, PyObject* const* locals);

// A bound body with how many variables its call binds: the `count` of the enum beside the body
// through which it reads them, which the surface table checks against the parameters it gives.
struct Bound {
    BoundBody body = nullptr;
    Py_ssize_t binds = 0;
};

// A body that receives the call as it came (only for `(*args, **kwargs)` signatures, where no
// binding can fail). It is the function's vectorcall itself, and does its work through
// run_frame below.
using RawBody = vectorcallfunc;

// What a function's code object says about it.
struct CodeShape {
    const char* name;
    const char* qualname;
    int first_line;
    std::span<const char* const> varnames;  // parameters first, then other locals
    int argcount = 0;                       // positional parameters, positional-only included
    int posonly = 0;
    bool varargs = false;
    bool varkw = false;
    bool coroutine = false;
    bool nested = false;
    std::span<const char* const> freevars = {};
    std::span<const char* const> cellvars = {};
    std::span<const int> lines = {};        // the line of each step of the body, in order
};

// Everything a new function is made of; references are borrowed.
struct FunctionParts {
    PyObject* code;          // from make_code
    PyObject* globals;       // the module namespace
    PyObject* qualname;      // may be null: the code's qualified name
    PyObject* doc;           // may be null: None
    PyObject* defaults;      // may be null: no defaults
    PyObject* annotations;   // may be null: an empty dict on first read
    PyObject* closure;       // may be null: a tuple of cells
    BoundBody bound = nullptr;
    RawBody raw = nullptr;
};

struct Function {
    PyObject_HEAD
    // The interpreter's function head (PyFunctionObject), field for field: the base type's own
    // descriptors, reachable through the base type, read and write these, each handle owning one
    // reference as the interpreter's pointer does.
    Ref globals;
    Ref builtins;
    Ref name;
    Ref qualname;
    Ref code;
    Ref defaults;
    Ref kwdefaults;
    Ref closure;
    Ref doc;
    Ref dict;
    PyObject* weakreflist;
    Ref module;
    Ref annotations;
    vectorcallfunc vectorcall;
    uint32_t version;        // always 0: the interpreter never specialises a call on it
    // What the native call needs, fixed when the function is made.
    Ref varnames;            // tuple of the code's variable names, for binding
    Py_ssize_t argcount;
    Py_ssize_t posonly;
    bool varargs;
    bool varkw;
    BoundBody bound;
};

extern PyTypeObject FunctionType;

int ready_function_type();

// A code object describing a function; co_filename is `filename`.
Ref make_code(PyObject* filename, const CodeShape& shape);

Ref make_function(const FunctionParts& parts);

inline bool is_function(PyObject* obj) { return Py_TYPE(obj) == &FunctionType; }

// A call of a native function, as run_frame below runs it: `Call::work(fn, args...)` does the
// work and `Call::locals(fn, args...)` gives what its frame holds, asked for only when a frame is
// made. Both are static, and the arguments travel as they are, so the hot path builds nothing.
// A Call whose `kMakesCoroutine` is true only makes a coroutine: none of the host's code runs in
// it and there is no call to report (the coroutine reports its own steps).
namespace detail {

// The parameters a bound body can receive, with a `*args` and a `**kwargs`.
inline constexpr Py_ssize_t kMaxBoundSlots = 32;

// The vectorcall of a function with a bound body: the call's arguments bound as the interpreter
// binds them (binding.cpp), then the body run in its frame.
PyObject* bind_and_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// A call run while a profile or trace function is set: the call and return (and exception)
// events of its frame, linked meanwhile.
template <class Call, class... Args>
RT_COLD [[gnu::noinline]] PyObject* run_traced_frame(PyThreadState* ts, InterpreterFrame* frame, int& borrowed,
                                                    Function* fn, Args... args) {
    own_borrowed(frame, borrowed);
    Call::fill(frame, fn, args...);
    if (!report_call(ts, frame)) {
        add_frame_entry(ts, frame);  // the hook's exception leaves the frame it refused to start
        return nullptr;
    }
    PyObject* result = Call::work(fn, args...);
    if (!result) add_frame_entry(ts, frame);
    return report_return(ts, frame, result);
}

// The end of a call's frame that a tool may have seen: what it shows is completed first.
template <class Call, class... Args>
RT_COLD [[gnu::noinline]] void fill_seen_frame(InterpreterFrame* frame, int& borrowed, Function* fn, Args... args) {
    own_borrowed(frame, borrowed);
    Call::fill(frame, fn, args...);
}

// A coroutine function's call only makes the coroutine, which runs its own frame at each step:
// a level, and for an exception an entry of the function's code.
template <class Call, class... Args>
[[gnu::always_inline]] inline PyObject* make_held_coroutine(PyThreadState* ts, Function* fn, Args... args) {
    if (!count_level(ts)) [[unlikely]]
        return nullptr;
    PyObject* result = Call::work(fn, args...);
    if (!result) [[unlikely]] {
        if constexpr (requires { Call::locals(fn, args...); })
            add_code_traceback_entry(fn->code.get(), fn->globals.get(), Call::locals(fn, args...));
        else
            add_code_traceback_entry(fn->code.get(), fn->globals.get(), FrameLocals());
    }
    leave_level(ts);
    return result;
}

// run_frame below, for a caller that already holds the function.
template <class Call, class... Args>
[[gnu::always_inline]] inline PyObject* run_held_frame(Function* fn, Args... args) {
    PyThreadState* ts = thread_state();
    if constexpr (Call::kMakesCoroutine) {
        return make_held_coroutine<Call>(ts, fn, args...);
    } else {
        if constexpr (!requires { Call::kNeverCoroutine; })
            if (reinterpret_cast<PyCodeObject*>(fn->code.get())->co_flags & CO_COROUTINE) [[unlikely]]
                return make_held_coroutine<Call>(ts, fn, args...);
        if (!enter_level(ts)) [[unlikely]]
            return nullptr;
        FrameRoom room;
        InterpreterFrame* frame = &room.frame;
        open_frame(frame, reinterpret_cast<PyObject*>(fn), kOwnedByThread);
        int borrowed = Call::bind(frame, fn, args...);
        link_frame(ts, frame);
        PyObject* result;
        if (tracing(ts)) [[unlikely]] {
            result = run_traced_frame<Call>(ts, frame, borrowed, fn, args...);
        } else {
            result = Call::work(fn, args...);
            if (!result) [[unlikely]] add_frame_entry(ts, frame);
        }
        unlink_frame(ts, frame);
        if (frame->frame_obj) [[unlikely]] fill_seen_frame<Call>(frame, borrowed, fn, args...);
        close_frame(frame, borrowed);
        leave_level(ts);
        return result;
    }
}

}  // namespace detail

// Runs a call of the function `self` (see Call above) as the interpreter runs a Python function's
// frame: a level of the recursion limit (a call refused at the limit never starts), the function
// held until it returns, whoever held it for the call (the work reads it after running host
// code), reported to a profile or trace function, and an entry for the function given to an
// exception leaving it.
template <class Call, class... Args>
[[gnu::always_inline]] inline PyObject* run_frame(PyObject* self, Args... args) {
    Ref running = Ref::borrow(self);
    return detail::run_held_frame<Call>(reinterpret_cast<Function*>(self), args...);
}

// The frame of the module's own function for a call that another body runs in place rather
// than through the function, again and again: opened once, then linked for each run with that
// run's variables. A run that a tool saw hands the frame over to the frame object, and the next
// run opens it anew.
class KeptFrame {
public:
    // Ready for a run of `func`, standing at `step`; the caller binds the variables and links it.
    InterpreterFrame* start(PyObject* func, int step) {
        if (!func_ || func_.get() != func) [[unlikely]]
            reopen(func);
        at_step(&room_.frame, step);
        return &room_.frame;
    }
    // The end of a run, unlinked, whose first `borrowed` variables were borrowed: the others are
    // released.
    void finish_run(int borrowed) {
        InterpreterFrame* frame = &room_.frame;
        if (frame->frame_obj) [[unlikely]] {
            close_frame(frame, borrowed);
            func_.reset();
            return;
        }
        PyObject** slots = frame->slots();
        for (int i = borrowed; i < frame->stacktop; ++i) Py_CLEAR(slots[i]);
    }
    int traverse(visitproc visitor, void* arg) const { return visit(func_, visitor, arg); }

private:
    RT_COLD void reopen(PyObject* func) {
        func_ = Ref::borrow(func);  // the frame borrows it
        open_frame(&room_.frame, func, kOwnedByThread);
    }

    Ref func_;  // the function of the open frame; null while it is not open
    FrameRoom room_;
};

namespace detail {
// A Python function's call, as its own vectorcall makes it (function_call.cpp).
PyObject* call_function(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames);
}  // namespace detail

// callable(*args) as a vectorcall. A Python function is entered straight through the
// interpreter's frame evaluation, which already guarantees what the general call path checks of
// its result.
inline Ref call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyFunction_Check(callable)) return Ref::steal(detail::call_function(callable, args, nargsf, kwnames));
    return Ref::steal(PyObject_Vectorcall(callable, args, nargsf, kwnames));
}

// The object held in cell `index` of a function's closure (borrowed).
inline PyObject* closure_cell(Function* fn, Py_ssize_t index) {
    return PyCell_GET(PyTuple_GET_ITEM(fn->closure.get(), index));
}

}  // namespace rt
