/* Fails the build when the interpreter keeps what runtime/layout.hpp reads anywhere else than
   runtime/layout_offsets.h says. C, because only C can read the interpreter's internal headers. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_frame.h>
#include <internal/pycore_gc.h>
#include <internal/pycore_runtime.h>

#include <stddef.h>

#include "runtime/layout_offsets.h"

_Static_assert(offsetof(_PyRuntimeState, gilstate.tstate_current) == RT_TSTATE_CURRENT_OFFSET,
               "gilstate.tstate_current has moved");
_Static_assert(offsetof(struct _frame, f_back) == RT_FRAME_BACK_OFFSET, "PyFrameObject.f_back has moved");
_Static_assert(offsetof(struct _frame, f_frame) == RT_FRAME_DATA_OFFSET, "PyFrameObject.f_frame has moved");
_Static_assert(offsetof(struct _frame, _f_frame_data) == RT_FRAME_OWN_DATA_OFFSET, "PyFrameObject._f_frame_data has moved");
_Static_assert(offsetof(_PyInterpreterFrame, f_func) == RT_IFRAME_FUNC_OFFSET, "_PyInterpreterFrame.f_func has moved");
_Static_assert(offsetof(_PyInterpreterFrame, f_globals) == RT_IFRAME_GLOBALS_OFFSET, "_PyInterpreterFrame.f_globals has moved");
_Static_assert(offsetof(_PyInterpreterFrame, f_builtins) == RT_IFRAME_BUILTINS_OFFSET,
               "_PyInterpreterFrame.f_builtins has moved");
_Static_assert(offsetof(_PyInterpreterFrame, f_locals) == RT_IFRAME_LOCALS_OFFSET, "_PyInterpreterFrame.f_locals has moved");
_Static_assert(offsetof(_PyInterpreterFrame, f_code) == RT_IFRAME_CODE_OFFSET, "_PyInterpreterFrame.f_code has moved");
_Static_assert(offsetof(_PyInterpreterFrame, prev_instr) == RT_IFRAME_PREV_INSTR_OFFSET,
               "_PyInterpreterFrame.prev_instr has moved");
_Static_assert(offsetof(_PyInterpreterFrame, stacktop) == RT_IFRAME_STACKTOP_OFFSET, "_PyInterpreterFrame.stacktop has moved");
_Static_assert(offsetof(_PyInterpreterFrame, is_entry) == RT_IFRAME_IS_ENTRY_OFFSET, "_PyInterpreterFrame.is_entry has moved");
_Static_assert(offsetof(_PyInterpreterFrame, frame_obj) == RT_IFRAME_FRAME_OBJ_OFFSET,
               "_PyInterpreterFrame.frame_obj has moved");
_Static_assert(offsetof(_PyInterpreterFrame, previous) == RT_IFRAME_PREVIOUS_OFFSET,
               "_PyInterpreterFrame.previous has moved");
_Static_assert(offsetof(_PyInterpreterFrame, owner) == RT_IFRAME_OWNER_OFFSET, "_PyInterpreterFrame.owner has moved");
_Static_assert(FRAME_OWNED_BY_THREAD == RT_FRAME_OWNED_BY_THREAD && FRAME_OWNED_BY_GENERATOR == RT_FRAME_OWNED_BY_GENERATOR && FRAME_OWNED_BY_FRAME_OBJECT == RT_FRAME_OWNED_BY_FRAME_OBJECT,
               "the frame owners have changed");
_Static_assert(offsetof(_PyInterpreterFrame, localsplus) == RT_IFRAME_LOCALSPLUS_OFFSET,
               "_PyInterpreterFrame.localsplus has moved");
_Static_assert(sizeof(PyGC_Head) == RT_GC_HEAD_WORDS * sizeof(uintptr_t), "PyGC_Head has changed size");
_Static_assert(FRAME_CREATED == RT_FRAME_CREATED, "FRAME_CREATED has changed");
