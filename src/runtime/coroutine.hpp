// A coroutine type that every host (asyncio, `await` in async def, hand-driven send/throw/close,
// introspection) takes for a native coroutine: a subtype of the interpreter's own, with a
// consistent head and every slot, method and attribute of its own.
//
// The work of one coroutine lives in a Body: a small state machine that runs until it needs to
// await something, says so with Step::wait_for, and is resumed with what the awaited object produced.
// The driver here does everything `await` does (delegation, throw/close forwarding, the standard
// errors), so bodies only describe their own logic.
#pragma once

#include "runtime/frames.hpp"
#include "runtime/ref.hpp"

#include <cstddef>
#include <new>
#include <utility>

namespace rt {

// What a body asks of its driver when it stops.
struct Step {
    enum class Kind : unsigned char { Await, AwaitResult, Return, Raise };
    Kind kind;
    Ref value;

    // Suspend until `awaitable` (taken as `await` takes it) completes.
    static Step wait_for(Ref awaitable) { return {Kind::Await, std::move(awaitable)}; }
    // Finish with what `awaitable` gives: `return await awaitable`.
    static Step return_awaited(Ref awaitable) { return {Kind::AwaitResult, std::move(awaitable)}; }
    // Finish with `value` as the coroutine's result.
    static Step done(Ref value) { return {Kind::Return, std::move(value)}; }
    // Finish with the pending exception.
    static Step error() { return {Kind::Raise, Ref()}; }
};

class Body {
public:
    virtual ~Body() = default;
    // Runs from the start or from the await it stopped at, to its next await or its end.
    // `received` is what the awaited object produced (None at the start); null when an exception
    // is pending, which is then raised at the await point.
    virtual Step resume(PyObject* received) = 0;
    // Every reference the body owns, for the cycle collector.
    virtual int traverse(visitproc visitor, void* arg) = 0;
    // Binds in the coroutine's frame what a tool about to read it should find there and the body
    // does not keep in it as it goes (made only when asked for).
    virtual void fill_frame(InterpreterFrame*) const {}
    // A frame of the body's own between the coroutine's and what it awaits, linked while that
    // runs (a call the body ran in place, whose await it stands for); null when there is none.
    InterpreterFrame* between = nullptr;
};

extern PyTypeObject CoroutineType;

int ready_coroutine_type();

namespace detail {
// A new, untracked coroutine of the function `func` (named after its code's co_name and
// co_qualname), whose frame holds the first `count` of `locals` (borrowed), with room for a body
// of `size` bytes at `*storage`.
PyObject* new_coroutine(PyObject* func, PyObject* const* locals, Py_ssize_t count, size_t size, void** storage);
// Hands the body built in that room to its coroutine, which is then complete.
void attach_body(PyObject* coroutine, Body* body);
}  // namespace detail

// A new coroutine of the function `func`, whose frame holds the first `count` of `locals` (the
// call's bound parameters), running a body of type B built from `args`; the body lives inside
// the coroutine object itself. While the body runs, its frame is the running thread's innermost
// (running_frame()).
template <class B, class... Args>
[[gnu::always_inline]] inline Ref make_coroutine(PyObject* func, PyObject* const* locals, Py_ssize_t count, Args&&... args) {
    void* storage = nullptr;
    PyObject* coroutine = detail::new_coroutine(func, locals, count, sizeof(B), &storage);
    if (!coroutine) return {};
    detail::attach_body(coroutine, new (storage) B(std::forward<Args>(args)...));
    return Ref::steal(coroutine);
}

// The iterator that `await obj` drives, with the interpreter's checks and messages.
Ref awaitable_iter(PyObject* obj);

}  // namespace rt
