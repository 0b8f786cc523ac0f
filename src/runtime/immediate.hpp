// Coroutines whose body does all its work at its first step, with no await: a method declared
// `async def` whose code never suspends.
#pragma once

#include "runtime/ref.hpp"

namespace rt {

// The work: receives the coroutine's variables (the bound arguments, which its frame keeps alive
// until then) and returns the result (a new reference), or null with the error.
using Immediate = PyObject* (*)(PyObject* const* locals);

// A new coroutine of the function `func`, whose frame holds the first `count` of `locals`, and
// whose first step runs `work` on them.
Ref make_immediate_coroutine(PyObject* func, Immediate work, PyObject* const* locals, Py_ssize_t count);

// The work of a body that only returns None.
PyObject* return_none(PyObject* const* locals);

}  // namespace rt
