// The module's coroutine object, as the files that make up its type share it: the object's
// layout (coroutine_type.cpp), the driver that steps it (coroutine_driver.cpp), what throw and
// close do to it (coroutine_throw.cpp) and the iterator its __await__ gives (coroutine_wrapper.cpp).
//
// Invariants: `state_` is the coroutine's real state; the head's frame state says "executing"
// while it runs and "cleared" otherwise, unless its frame is lent (coroutine_lent.cpp); a body exists from the coroutine's making to its end (finish), and `awaiting` only
// while it is suspended on, or stepping, what it awaits.
#pragma once

#include "runtime/coroutine.hpp"
#include "runtime/placement.hpp"

namespace rt::coroutine {

// The interpreter's frame states for a coroutine, which its head holds.
enum class State : int8_t { Created = -2, Suspended = -1, Running = 0, Finished = 4 };

// Whether the coroutine's frame is lent to the interpreter's own coroutine machinery, which a
// frame object reaches (frame.clear()): no; armed, as the interpreter keeps a suspended or
// unstarted coroutine's frame; or spent, an empty frame of its code left for the interpreter to
// end after the coroutine has closed.
enum class Lent : uint8_t { no, armed, spent };

struct Coroutine {
    // The interpreter's coroutine head, filled as for its own coroutines (code, weak references,
    // names, origin), and the coroutine's interpreter frame where the interpreter keeps its own
    // (the head's last field, continued by `frame_room`): its frame object then leads back to
    // the coroutine (PyFrame_GetGenerator). Its frame state says "executing" while a step runs
    // and "cleared" otherwise: the base type's own methods, which a host can still reach
    // (types.CoroutineType.send(coro, None)), then refuse as for a running or finished
    // coroutine instead of running the frame, unless the frame is lent (see Lent). The
    // coroutine's real state is `state_`.
    PyCoroObject head;
    PyObject* frame_room[(sizeof(FrameRoom) - sizeof(PyObject*)) / sizeof(PyObject*)];
    State state_;
    bool frame_open;             // the frame holds its function, code and variables
    bool frame_linked;           // the frame is on the running thread's stack (a step runs)
    Body* body;                  // lives in this object's tail; gone once the coroutine has finished
    Ref awaiting;                // the iterator it is suspended on
    Ref globals;                 // of the function that made it, for its frame
    Ref func;                    // that function, which its frame borrows (kept for reuse)
    Py_ssize_t tail;             // the bytes of the tail, where the body lives
    bool tail_await;             // what it awaits ends the body, its outcome the coroutine's
    Lent lent;                   // see Lent
    _Py_CODEUNIT* step_instr;    // where the frame stands while it is lent

    State state() const { return state_; }
    void set_state(State state) {
        state_ = state;
        head.cr_frame_state = static_cast<int8_t>(state == State::Running ? State::Running : State::Finished);
    }
    PyObject* code() const { return reinterpret_cast<PyObject*>(head.cr_code); }
    InterpreterFrame* frame() { return reinterpret_cast<InterpreterFrame*>(head.cr_iframe); }
};

inline Coroutine* as_coroutine(PyObject* obj) { return reinterpret_cast<Coroutine*>(obj); }

inline bool is_own_coroutine(PyObject* obj) { return Py_IS_TYPE(obj, &CoroutineType); }

// What a resumption brings into the coroutine: a value sent, or the pending exception raised
// at the await point.
enum class Resumption : bool { send, raise };
// Whether the resumption is close(): a finished coroutine then ends quietly.
enum class Closing : bool { no, yes };

// The messages and docstrings more than one of the files raise or show, each written once.
inline constexpr char kAwaitedAlready[] = "coroutine is being awaited already";
inline constexpr char kExecuting[] = "coroutine already executing";
inline constexpr char kSendDoc[] =
    "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.";
inline constexpr char kThrowDoc[] =
    "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration.";
inline constexpr char kCloseDoc[] = "close() -> raise GeneratorExit inside coroutine.";

// ---- the driver (coroutine_driver.cpp) ----

// The end of a coroutine: its body and everything it holds are released at once.
RT_HOT void finish(Coroutine* co);
// The end of the coroutine's frame, once it is off the thread's stack: what it holds is released
// or handed to its frame object.
void end_frame(Coroutine* co);
// StopIteration carrying `value`, as a coroutine's return raises it.
RT_COLD void raise_stop_iteration(PyObject* value);
// The coroutine's frame (cr_frame), made from what its body shows when first asked for; null
// (an exception set only where making it failed) when there is none to make.
Ref frame_of(Coroutine* co);
// One resumption (see Resumption); `*out` is what it yields or returns.
PySendResult send_ex(Coroutine* co, PyObject* value, PyObject** out, Resumption how, Closing closing);
// A resumption as the Python-level methods report it: the yielded value, or StopIteration.
PyObject* resume(Coroutine* co, PyObject* value, Resumption how);
// A step's outcome as an iterator's __next__ reports it: the yielded value, or null with
// StopIteration set for a value other than None, with nothing set for None, or with the error.
PyObject* next_result(PySendResult status, PyObject* out);
// The am_send slot: what `await` and asyncio step the coroutine with.
RT_HOT PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** out);
// Whether a coroutine, the interpreter's or ours, has not started yet.
bool is_fresh_coroutine(PyObject* obj);

// ---- the frame lent to the interpreter (coroutine_lent.cpp) ----

// Lends the frame of an unstarted or suspended coroutine whose frame object exists, so that
// frame.clear() closes it as the interpreter closes its own. Nothing changes where it cannot.
RT_COLD void lend_frame(Coroutine* co);
// Takes the frame back before the coroutine is used again, and what the interpreter did to it
// meanwhile into account; false with ValueError set while the interpreter runs it.
RT_COLD bool take_back(Coroutine* co);
// Ready for use: the frame is not lent, or has been taken back.
inline bool settled(Coroutine* co) { return co->lent == Lent::no || take_back(co); }
// What the coroutine's state and awaited object read, which a lent frame leaves as they are
// unless the interpreter ended it: the frame stays lent otherwise.
inline void settle_state(Coroutine* co) {
    if (co->lent == Lent::no) [[likely]]
        return;
    const auto head_state = static_cast<State>(co->head.cr_frame_state);
    if (head_state != State::Running && (co->lent == Lent::spent || head_state == State::Finished)) take_back(co);
}
// Lends the frame again where a frame object wants it and the coroutine is still suspended.
inline void relend(Coroutine* co) {
    if (co->lent == Lent::no && co->frame_open && co->frame()->frame_obj &&
        (co->state() == State::Suspended || co->state() == State::Created)) [[unlikely]]
        lend_frame(co);
}
// Whether the interpreter's machinery has ended the frame while it was lent.
inline bool lent_frame_ended(const Coroutine* co) {
    return co->lent == Lent::armed && co->head.cr_frame_state == static_cast<int8_t>(State::Finished);
}
int ready_closer_type();

// ---- throw and close (coroutine_throw.cpp) ----

PyObject* coro_send(PyObject* self, PyObject* value);
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* coro_close(PyObject* self, PyObject*);

// ---- coro.__await__() (coroutine_wrapper.cpp) ----

// A new iterator whose each step goes to the coroutine.
PyObject* new_wrapper(Coroutine* co);
int ready_wrapper_type();

}  // namespace rt::coroutine
