// Traceback entries for code that runs as if it were Python source (a module body, a class body, a
// function or coroutine of the module).
#pragma once

#include "runtime/frames.hpp"
#include "runtime/placement.hpp"

namespace rt {

// Puts an entry "File <filename>, line <line>, in <name>" in front of the pending exception's
// traceback. The pending exception is kept whatever happens.
void add_traceback_entry(PyObject* filename, const char* name, int line, PyObject* globals);

// The entry the interpreter adds when an exception leaves a function: a frame of `code` (its
// file, name and first line) in `globals` holding `locals`, called from the running thread's
// innermost frame, put in front of the pending exception's traceback. For error paths only; the
// pending exception is kept whatever happens.
RT_COLD void add_code_traceback_entry(PyObject* code, PyObject* globals, const FrameLocals& locals);

}  // namespace rt
