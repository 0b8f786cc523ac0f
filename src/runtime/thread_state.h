/* Where the interpreter keeps the running thread's state: the offset of gilstate.tstate_current in
   _PyRuntime, for the one interpreter version this module is built for. Read by C++ code
   (runtime/layout.hpp) and checked against the interpreter's own headers (thread_state_check.c). */
#ifndef RT_THREAD_STATE_H
#define RT_THREAD_STATE_H

#define RT_TSTATE_CURRENT_OFFSET 576

#endif
