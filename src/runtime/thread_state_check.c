/* Fails the build when the interpreter's runtime state does not keep the running thread's state
   where runtime/thread_state.h says. C, because only C can read the interpreter's internal headers. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_runtime.h>

#include <stddef.h>

#include "runtime/thread_state.h"

_Static_assert(offsetof(_PyRuntimeState, gilstate.tstate_current) == RT_TSTATE_CURRENT_OFFSET,
               "runtime/thread_state.h: gilstate.tstate_current has moved");
