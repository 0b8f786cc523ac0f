// The call of one of the interpreter's functions with arguments that its parameters take as they
// come: the interpreter's own frame evaluation entered directly, as its call path enters it, on a
// frame made here on the C stack. What the general path adds (argument binding in general, a
// frame on the thread's frame stack) is most of what a short function's call costs.
#include "runtime/function.hpp"

#include "runtime/frames.hpp"

namespace rt {

namespace {

// Room for the frames made here: variables and evaluation stack together.
constexpr int kRoomSlots = 40;

struct CallRoom {
    InterpreterFrame frame;
    PyObject* more[kRoomSlots - 1];
};

// What the frame still holds once the evaluation has returned, released as the interpreter
// releases a frame it ran; a frame object a tool still holds takes the frame over.
RT_COLD [[gnu::noinline]] void end_seen_call(InterpreterFrame* frame) {
    auto* code = reinterpret_cast<PyCodeObject*>(frame->code);
    // A frame that ended before its code's first traceable instruction shows that instruction.
    _Py_CODEUNIT* first = _PyCode_CODE(code) + code->_co_firsttraceable;
    if (frame->prev_instr < first) frame->prev_instr = first;
    PyObject* func = frame->func;
    detail::end_seen_frame(frame, 0);  // takes references of its own to the function and code
    Py_DECREF(func);
    Py_DECREF(code);
}

}  // namespace

namespace detail {

namespace {

// The call's arguments in the frame's parameter slots, with the defaults of those it leaves out
// (new references; the other variables unbound): false, with nothing set or held, where the
// general binding must decide (a keyword that is not one of the parameters' own name objects, a
// parameter given twice or left without a value).
bool place_arguments(PyFunctionObject* fn, PyCodeObject* code, PyObject** slots, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    const int argcount = code->co_argcount;
    int i = 0;
    for (; i < nargs; ++i) slots[i] = args[i];
    for (; i < code->co_nlocalsplus; ++i) slots[i] = nullptr;
    if (kwnames) [[unlikely]] {
        PyObject* names = code->co_localsplusnames;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            int at = code->co_posonlyargcount;
            while (at < argcount && PyTuple_GET_ITEM(names, at) != keyword) ++at;
            if (at == argcount || slots[at]) return false;
            slots[at] = args[nargs + k];
        }
    }
    PyObject* defaults = fn->func_defaults;
    const Py_ssize_t first_default = argcount - (defaults ? PyTuple_GET_SIZE(defaults) : 0);
    for (Py_ssize_t j = nargs; j < argcount; ++j) {
        if (slots[j]) continue;
        if (j < first_default) return false;
        slots[j] = PyTuple_GET_ITEM(defaults, j - first_default);
    }
    for (int j = 0; j < argcount; ++j) Py_INCREF(slots[j]);
    return true;
}

}  // namespace

PyObject* call_function(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<PyFunctionObject*>(func);
    auto* code = reinterpret_cast<PyCodeObject*>(fn->func_code);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Only parameters that the call's arguments and the defaults fill exactly, and a frame that
    // fits the room; anything else goes the general way, which also raises what it should.
    if ((code->co_flags & (CO_VARARGS | CO_VARKEYWORDS)) || code->co_kwonlyargcount || nargs > code->co_argcount ||
        code->co_nlocalsplus + code->co_stacksize > kRoomSlots) [[unlikely]]
        return _PyFunction_Vectorcall(func, args, nargsf, kwnames);
    PyThreadState* ts = thread_state();
    // A profile or trace function sees the call as the interpreter reports it, and a frame
    // evaluator installed in its place runs every frame.
    if (tracing(ts) || !default_frame_evaluator(ts)) [[unlikely]]
        return _PyFunction_Vectorcall(func, args, nargsf, kwnames);

    CallRoom room;
    InterpreterFrame* frame = &room.frame;
    PyObject** slots = frame->slots();
    if (!place_arguments(fn, code, slots, args, nargs, kwnames)) [[unlikely]]
        return _PyFunction_Vectorcall(func, args, nargsf, kwnames);
    frame->func = Py_NewRef(func);
    frame->globals = fn->func_globals;
    frame->builtins = fn->func_builtins;
    frame->locals = nullptr;
    frame->code = Py_NewRef(reinterpret_cast<PyObject*>(code));
    frame->frame_obj = nullptr;
    frame->previous = nullptr;
    frame->prev_instr = _PyCode_CODE(code) - 1;  // the evaluation starts at the next one
    frame->stacktop = code->co_nlocalsplus;
    frame->is_entry = false;
    frame->owner = kOwnedByThread;

    PyObject* result = _PyEval_EvalFrameDefault(ts, reinterpret_cast<struct _PyInterpreterFrame*>(frame), 0);

    if (frame->frame_obj) [[unlikely]] {
        end_seen_call(frame);
        return result;
    }
    // What the frame still holds: its variables, unless a coroutine or generator made by its
    // code took them over.
    for (int i = 0; i < frame->stacktop; ++i) Py_XDECREF(slots[i]);
    Py_XDECREF(frame->locals);
    Py_DECREF(frame->func);
    Py_DECREF(frame->code);
    return result;
}

}  // namespace detail

}  // namespace rt
