/* Fails the build when the interpreter keeps what runtime/layout.hpp reads anywhere else than
   runtime/layout_offsets.h says. C, because only C can read the interpreter's internal headers. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_frame.h>
#include <internal/pycore_object.h>
#include <internal/pycore_gc.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_runtime.h>

#include <stddef.h>

#include "runtime/layout_offsets.h"

_Static_assert(offsetof(_PyRuntimeState, gilstate.tstate_current) == RT_TSTATE_CURRENT_OFFSET,
               "gilstate.tstate_current has moved");
_Static_assert(offsetof(PyInterpreterState, eval_frame) == RT_INTERP_EVAL_FRAME_OFFSET,
               "PyInterpreterState.eval_frame has moved");
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
_Static_assert(offsetof(PyGC_Head, _gc_next) == 0 && offsetof(PyGC_Head, _gc_prev) == sizeof(uintptr_t),
               "PyGC_Head's links have moved");
_Static_assert(_PyGC_PREV_MASK == ~(uintptr_t)3 && _PyGC_PREV_MASK_FINALIZED == 1, "PyGC_Head's flags have changed");
_Static_assert(offsetof(PyInterpreterState, gc.generation0) == RT_INTERP_GC_GENERATION0_OFFSET,
               "the youngest generation's list has moved");
_Static_assert(FRAME_CREATED == RT_FRAME_CREATED, "FRAME_CREATED has changed");
_Static_assert(offsetof(PyDictKeysObject, dk_refcnt) == RT_DICT_KEYS_REFCNT_OFFSET, "dk_refcnt has moved");
_Static_assert(offsetof(PyDictKeysObject, dk_log2_size) == RT_DICT_KEYS_LOG2_SIZE_OFFSET, "dk_log2_size has moved");
_Static_assert(offsetof(PyDictKeysObject, dk_log2_index_bytes) == RT_DICT_KEYS_LOG2_INDEX_BYTES_OFFSET,
               "dk_log2_index_bytes has moved");
_Static_assert(offsetof(PyDictKeysObject, dk_kind) == RT_DICT_KEYS_KIND_OFFSET, "dk_kind has moved");
_Static_assert(offsetof(PyDictKeysObject, dk_version) == RT_DICT_KEYS_VERSION_OFFSET, "dk_version has moved");
_Static_assert(offsetof(PyDictKeysObject, dk_usable) == RT_DICT_KEYS_USABLE_OFFSET, "dk_usable has moved");
_Static_assert(offsetof(PyDictKeysObject, dk_nentries) == RT_DICT_KEYS_NENTRIES_OFFSET, "dk_nentries has moved");
_Static_assert(offsetof(PyDictKeysObject, dk_indices) == RT_DICT_KEYS_INDICES_OFFSET, "dk_indices has moved");
_Static_assert(sizeof(PyDictKeyEntry) == RT_DICT_ENTRY_SIZE && offsetof(PyDictKeyEntry, me_hash) == 0 &&
                   offsetof(PyDictKeyEntry, me_key) == 8 && offsetof(PyDictKeyEntry, me_value) == 16,
               "PyDictKeyEntry has changed");
_Static_assert(sizeof(PyDictUnicodeEntry) == RT_DICT_STRING_ENTRY_SIZE && offsetof(PyDictUnicodeEntry, me_key) == 0 &&
                   offsetof(PyDictUnicodeEntry, me_value) == 8,
               "PyDictUnicodeEntry has changed");
_Static_assert(DICT_KEYS_GENERAL == RT_DICT_KEYS_GENERAL && DICT_KEYS_UNICODE == RT_DICT_KEYS_UNICODE &&
                   DICT_KEYS_SPLIT == RT_DICT_KEYS_SPLIT,
               "the dict key kinds have changed");
_Static_assert(MANAGED_DICT_OFFSET == RT_MANAGED_DICT_WORD * (int)sizeof(PyObject*), "the managed dict has moved");
/* The values pointer is the word before the managed dict (_PyObject_ValuesPointer). */
_Static_assert(RT_MANAGED_VALUES_WORD == RT_MANAGED_DICT_WORD - 1, "the managed values have moved");
