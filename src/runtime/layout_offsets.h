/* Where the interpreter keeps what runtime/layout.hpp reads, for the one interpreter version this
   module is built for: the running thread's state in _PyRuntime, the cycle collector's header,
   a coroutine's frame state, and the fields of a frame object and of the interpreter frame it
   owns that the module's own frames set. Read by C++ code and
   checked against the interpreter's own headers (layout_check.c). */
#ifndef RT_LAYOUT_OFFSETS_H
#define RT_LAYOUT_OFFSETS_H

#define RT_TSTATE_CURRENT_OFFSET 576
/* The frame evaluator an interpreter runs frames with (null: the interpreter's own) */
#define RT_INTERP_EVAL_FRAME_OFFSET 1424

/* The cycle collector's header in front of each tracked object: two words */
#define RT_GC_HEAD_WORDS 2
/* The head of the youngest generation's list, in the interpreter's state */
#define RT_INTERP_GC_GENERATION0_OFFSET 744
/* A coroutine's frame state before its first step (enum _framestate) */
#define RT_FRAME_CREATED (-2)

/* struct _frame (a frame object) */
#define RT_FRAME_BACK_OFFSET 16
#define RT_FRAME_DATA_OFFSET 24
/* where a frame object keeps the frame it owns */
#define RT_FRAME_OWN_DATA_OFFSET 48
/* _PyInterpreterFrame */
#define RT_IFRAME_FUNC_OFFSET 0
#define RT_IFRAME_GLOBALS_OFFSET 8
#define RT_IFRAME_BUILTINS_OFFSET 16
#define RT_IFRAME_LOCALS_OFFSET 24
#define RT_IFRAME_CODE_OFFSET 32
#define RT_IFRAME_FRAME_OBJ_OFFSET 40
#define RT_IFRAME_PREVIOUS_OFFSET 48
#define RT_IFRAME_PREV_INSTR_OFFSET 56
#define RT_IFRAME_STACKTOP_OFFSET 64
#define RT_IFRAME_IS_ENTRY_OFFSET 68
#define RT_IFRAME_OWNER_OFFSET 69
#define RT_IFRAME_LOCALSPLUS_OFFSET 72
/* _PyInterpreterFrame.owner: who owns the frame's data */
#define RT_FRAME_OWNED_BY_THREAD 0
#define RT_FRAME_OWNED_BY_GENERATOR 1
#define RT_FRAME_OWNED_BY_FRAME_OBJECT 2

/* struct _dictkeysobject (a dict's key table), and the entries that follow its index table */
#define RT_DICT_KEYS_REFCNT_OFFSET 0
#define RT_DICT_KEYS_LOG2_SIZE_OFFSET 8
#define RT_DICT_KEYS_LOG2_INDEX_BYTES_OFFSET 9
#define RT_DICT_KEYS_KIND_OFFSET 10
#define RT_DICT_KEYS_VERSION_OFFSET 12
#define RT_DICT_KEYS_USABLE_OFFSET 16
#define RT_DICT_KEYS_NENTRIES_OFFSET 24
#define RT_DICT_KEYS_INDICES_OFFSET 32
#define RT_DICT_ENTRY_SIZE 24         /* PyDictKeyEntry: hash, key, value */
#define RT_DICT_STRING_ENTRY_SIZE 16  /* PyDictUnicodeEntry: key, value */
/* dk_kind: any keys, str keys only, str keys shared by a class's instances */
#define RT_DICT_KEYS_GENERAL 0
#define RT_DICT_KEYS_UNICODE 1
#define RT_DICT_KEYS_SPLIT 2
/* An object with a managed dict: the words before its header holding its values and its dict */
#define RT_MANAGED_VALUES_WORD (-4)
#define RT_MANAGED_DICT_WORD (-3)

#endif
