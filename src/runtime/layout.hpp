// The interpreter's own layouts that the hot paths read directly: the running thread's state, dict
// entries by insertion position, and where an instance keeps its attributes; the frame fields
// the module's own frames set; an object's collector header, as a kept coroutine is made anew;
// a coroutine's frame state; and a class method's function. Whatever cannot be read this way is
// left to the interpreter's lookups.
//
// The layouts below are those of the one interpreter version this module is built for.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "the layouts read here are those of CPython 3.11"
#endif

#include "runtime/layout_offsets.h"

// The interpreter's runtime state, of which only thread_state() below reads a word.
extern "C" {
PyAPI_DATA(char) _PyRuntime[];
}

namespace rt {

// The running thread's state, read where the interpreter keeps it: what _PyThreadState_UncheckedGet
// returns, without the call.
inline PyThreadState* thread_state() {
    return *reinterpret_cast<PyThreadState* const*>(_PyRuntime + RT_TSTATE_CURRENT_OFFSET);
}

// Whether the running interpreter evaluates frames with its own evaluator, which no debugger or
// JIT has replaced (PEP 523).
inline bool default_frame_evaluator(PyThreadState* ts) {
    return *reinterpret_cast<void* const*>(reinterpret_cast<char*>(ts->interp) + RT_INTERP_EVAL_FRAME_OFFSET) == nullptr;
}

// ---- objects ----

// An object kept for reuse, made as the allocator leaves a new one: untracked by the cycle
// collector, not finalized, one reference. Its type stays as it was.
inline PyObject* renew_object(PyObject* obj) {
    uintptr_t* words = reinterpret_cast<uintptr_t*>(obj) - RT_GC_HEAD_WORDS;
    for (int i = 0; i < RT_GC_HEAD_WORDS; ++i) words[i] = 0;
    _Py_NewReference(obj);
    return obj;
}

// PyObject_GC_Track and PyObject_GC_UnTrack of an object known to be untracked (tracked), as
// the interpreter's own objects do it inline: linked at the end of the youngest generation's
// list, and unlinked keeping only the finalized flag.
struct GcHead {
    uintptr_t next;
    uintptr_t prev;  // and two flags in its low bits
};
static_assert(sizeof(GcHead) == RT_GC_HEAD_WORDS * sizeof(uintptr_t));
inline GcHead* gc_head(PyObject* obj) { return reinterpret_cast<GcHead*>(obj) - 1; }
inline void gc_track_untracked(PyThreadState* ts, PyObject* obj) {
    GcHead* head = gc_head(obj);
    GcHead* youngest = *reinterpret_cast<GcHead**>(reinterpret_cast<char*>(ts->interp) + RT_INTERP_GC_GENERATION0_OFFSET);
    auto* last = reinterpret_cast<GcHead*>(youngest->prev & ~uintptr_t{3});
    last->next = reinterpret_cast<uintptr_t>(head);
    head->prev = (head->prev & uintptr_t{3}) | reinterpret_cast<uintptr_t>(last);
    head->next = reinterpret_cast<uintptr_t>(youngest);
    youngest->prev = reinterpret_cast<uintptr_t>(head);
}
inline void gc_untrack(PyObject* obj) {
    GcHead* head = gc_head(obj);
    if (!head->next) return;
    auto* prev = reinterpret_cast<GcHead*>(head->prev & ~uintptr_t{3});
    auto* next = reinterpret_cast<GcHead*>(head->next);
    prev->next = head->next;
    next->prev = (next->prev & uintptr_t{3}) | reinterpret_cast<uintptr_t>(prev);
    head->next = 0;
    head->prev &= 1;
}

// Whether one of the interpreter's own coroutines has not started yet.
inline bool coroutine_not_started(PyObject* coro) {
    return reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == RT_FRAME_CREATED;
}

// The layout of a classmethod object (funcobject.c keeps it private, so no header can check it:
// classmethod_layout_holds() compares it with what the type says of its objects).
struct ClassMethodObject {
    PyObject_HEAD
    PyObject* callable;
    PyObject* dict;
};

// The callable a classmethod object wraps (borrowed; may be null).
inline PyObject* classmethod_callable(PyObject* classmethod) {
    return reinterpret_cast<ClassMethodObject*>(classmethod)->callable;
}

// Whether classmethod objects are laid out as ClassMethodObject says; checked once at import.
inline bool classmethod_layout_holds() {
    return PyClassMethod_Type.tp_basicsize == static_cast<Py_ssize_t>(sizeof(ClassMethodObject)) &&
           PyClassMethod_Type.tp_dictoffset == static_cast<Py_ssize_t>(offsetof(ClassMethodObject, dict));
}

// ---- frames ----

// The words of a frame object, and of the interpreter frame it owns, that the module's own
// frames set: what PyFrame_New leaves unset (the link to the frame below, the way back from the
// interpreter frame to its object) and what the interpreter sets when it takes a frame over.
inline char* field_at(void* base, size_t offset) { return static_cast<char*>(base) + offset; }

// An interpreter frame, as the running thread's frame stack links them: the code it runs, the
// function and namespaces, its frame object once a tool asked for one, the frame below it, the
// instruction it stands at, and its variables (the code's locals, cells and free variables).
struct InterpreterFrame {
    PyObject* func;         // strong where the interpreter owns the frame; see frames.hpp
    PyObject* globals;      // borrowed
    PyObject* builtins;     // borrowed
    PyObject* locals;       // the dict f_locals made, strong, or null
    PyObject* code;
    PyObject* frame_obj;    // strong, or null
    InterpreterFrame* previous;
    _Py_CODEUNIT* prev_instr;
    int stacktop;           // how many of the variables below are in use
    bool is_entry;
    char owner;
    PyObject* localsplus[1];

    // The variables, read past the declared bound (the frame's room goes on).
    PyObject** slots() {
        return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(this) + RT_IFRAME_LOCALSPLUS_OFFSET);
    }
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(InterpreterFrame, func) == RT_IFRAME_FUNC_OFFSET);
static_assert(offsetof(InterpreterFrame, globals) == RT_IFRAME_GLOBALS_OFFSET);
static_assert(offsetof(InterpreterFrame, builtins) == RT_IFRAME_BUILTINS_OFFSET);
static_assert(offsetof(InterpreterFrame, locals) == RT_IFRAME_LOCALS_OFFSET);
static_assert(offsetof(InterpreterFrame, code) == RT_IFRAME_CODE_OFFSET);
static_assert(offsetof(InterpreterFrame, frame_obj) == RT_IFRAME_FRAME_OBJ_OFFSET);
static_assert(offsetof(InterpreterFrame, previous) == RT_IFRAME_PREVIOUS_OFFSET);
static_assert(offsetof(InterpreterFrame, prev_instr) == RT_IFRAME_PREV_INSTR_OFFSET);
static_assert(offsetof(InterpreterFrame, stacktop) == RT_IFRAME_STACKTOP_OFFSET);
static_assert(offsetof(InterpreterFrame, is_entry) == RT_IFRAME_IS_ENTRY_OFFSET);
static_assert(offsetof(InterpreterFrame, owner) == RT_IFRAME_OWNER_OFFSET);
static_assert(offsetof(InterpreterFrame, localsplus) == RT_IFRAME_LOCALSPLUS_OFFSET);
// A coroutine's interpreter frame is the last field of its head.
static_assert(offsetof(PyCoroObject, cr_iframe) + sizeof(PyObject*) == sizeof(PyCoroObject));
#pragma GCC diagnostic pop

inline InterpreterFrame* as_frame(struct _PyInterpreterFrame* frame) { return reinterpret_cast<InterpreterFrame*>(frame); }

// The innermost frame of the running thread, and the place that holds it.
inline InterpreterFrame*& innermost_frame(PyThreadState* ts) {
    return reinterpret_cast<InterpreterFrame*&>(ts->cframe->current_frame);
}

// The interpreter frame a frame object owns or shows: what the running thread's frame stack links.
inline struct _PyInterpreterFrame* interpreter_frame(PyObject* frame) {
    return *reinterpret_cast<struct _PyInterpreterFrame**>(field_at(frame, RT_FRAME_DATA_OFFSET));
}
inline InterpreterFrame*& shown_frame(PyObject* frame) {
    return *reinterpret_cast<InterpreterFrame**>(field_at(frame, RT_FRAME_DATA_OFFSET));
}
// Where a frame object keeps a frame it owns.
inline InterpreterFrame* own_frame_data(PyObject* frame) {
    return reinterpret_cast<InterpreterFrame*>(field_at(frame, RT_FRAME_OWN_DATA_OFFSET));
}
// A frame object's f_back: a strong reference, or null when the frame below is found through
// the interpreter frame's link instead.
inline PyObject*& frame_back(PyObject* frame) {
    return *reinterpret_cast<PyObject**>(field_at(frame, RT_FRAME_BACK_OFFSET));
}
// An interpreter frame's link to the frame below it on the running thread's stack (null when
// it is not on a stack).
inline struct _PyInterpreterFrame*& frame_previous(struct _PyInterpreterFrame* frame) {
    return reinterpret_cast<struct _PyInterpreterFrame*&>(as_frame(frame)->previous);
}
// An interpreter frame's variables: its code's local, cell and free variables, in that order.
inline PyObject** frame_variables(struct _PyInterpreterFrame* frame) { return as_frame(frame)->slots(); }
// Who owns an interpreter frame's data: the thread running it, a coroutine, or its frame
// object (which frame.clear() then clears rather than refusing it as executing).
inline char& frame_owner(struct _PyInterpreterFrame* frame) { return as_frame(frame)->owner; }
inline constexpr char kOwnedByThread = RT_FRAME_OWNED_BY_THREAD;
inline constexpr char kOwnedByCoroutine = RT_FRAME_OWNED_BY_GENERATOR;
inline constexpr char kOwnedByFrameObject = RT_FRAME_OWNED_BY_FRAME_OBJECT;
// An interpreter frame's frame object (borrowed where the object owns the frame).
inline PyObject*& frame_object(struct _PyInterpreterFrame* frame) { return as_frame(frame)->frame_obj; }

namespace dict_layout {

struct Keys {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;  // 1: string keys only, in a table of its own
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[];
};

struct StringEntry {
    PyObject* key;
    PyObject* value;
};

struct Entry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};

constexpr uint8_t kStringKeys = RT_DICT_KEYS_UNICODE;
constexpr uint8_t kSharedKeys = RT_DICT_KEYS_SPLIT;  // string keys shared by the instances of a class
static_assert(RT_DICT_KEYS_GENERAL == 0);  // tested as `dk_kind != 0` for "str keys only"

static_assert(offsetof(Keys, dk_refcnt) == RT_DICT_KEYS_REFCNT_OFFSET);
static_assert(offsetof(Keys, dk_log2_size) == RT_DICT_KEYS_LOG2_SIZE_OFFSET);
static_assert(offsetof(Keys, dk_log2_index_bytes) == RT_DICT_KEYS_LOG2_INDEX_BYTES_OFFSET);
static_assert(offsetof(Keys, dk_kind) == RT_DICT_KEYS_KIND_OFFSET);
static_assert(offsetof(Keys, dk_version) == RT_DICT_KEYS_VERSION_OFFSET);
static_assert(offsetof(Keys, dk_usable) == RT_DICT_KEYS_USABLE_OFFSET);
static_assert(offsetof(Keys, dk_nentries) == RT_DICT_KEYS_NENTRIES_OFFSET);
static_assert(offsetof(Keys, dk_indices) == RT_DICT_KEYS_INDICES_OFFSET);
static_assert(sizeof(Entry) == RT_DICT_ENTRY_SIZE && offsetof(Entry, hash) == 0 && offsetof(Entry, key) == 8 &&
              offsetof(Entry, value) == 16);
static_assert(sizeof(StringEntry) == RT_DICT_STRING_ENTRY_SIZE && offsetof(StringEntry, key) == 0 &&
              offsetof(StringEntry, value) == 8);

// A key table's entries, which follow its index table (StringEntry or Entry, by its kind).
inline char* entries(const Keys* keys) {
    return const_cast<char*>(keys->dk_indices) + (size_t{1} << keys->dk_log2_index_bytes);
}

}  // namespace dict_layout

// A dict's version: it changes with every change made to the dict.
inline uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

// Whether every key of a dict is an exact str (a string-keyed or shared table): looking a str
// up in it then compares strings only and can run no code.
inline bool has_string_keys_only(PyObject* dict) {
    return reinterpret_cast<const dict_layout::Keys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys)->dk_kind != 0;
}

namespace dict_layout {

// The entry at insertion position `index` of a string-keyed combined table, when its key is `key`
// itself and it holds a value; null otherwise.
inline StringEntry* entry_at(PyObject* dict, Py_ssize_t index, PyObject* key) {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    if (mp->ma_values) return nullptr;
    auto* keys = reinterpret_cast<Keys*>(mp->ma_keys);
    if (keys->dk_kind != kStringKeys || index >= keys->dk_nentries) return nullptr;
    StringEntry* entry = &reinterpret_cast<StringEntry*>(entries(keys))[index];
    return entry->key == key && entry->value ? entry : nullptr;
}

}  // namespace dict_layout

// The value at insertion position `index` of an exact dict when the key there is `key` itself;
// null (with no exception) when it is not, and the caller has to look the key up.
inline PyObject* entry_value(PyObject* dict, Py_ssize_t index, PyObject* key) {
    dict_layout::StringEntry* entry = dict_layout::entry_at(dict, index, key);
    return entry ? entry->value : nullptr;
}

// The same for a dict with keys of any type.
inline PyObject* any_entry_value(PyObject* dict, Py_ssize_t index, PyObject* key) {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    if (mp->ma_values) return nullptr;
    auto* keys = reinterpret_cast<dict_layout::Keys*>(mp->ma_keys);
    if (index >= keys->dk_nentries) return nullptr;
    if (keys->dk_kind == dict_layout::kStringKeys) return entry_value(dict, index, key);
    if (keys->dk_kind != 0) return nullptr;
    const dict_layout::Entry& entry = reinterpret_cast<const dict_layout::Entry*>(dict_layout::entries(keys))[index];
    return entry.key == key ? entry.value : nullptr;
}

// The values of a dict's entry table in entry order (null for an empty or deleted entry), for a
// loop that wants to look ahead. `first` is null for a table this cannot read.
struct EntryValues {
    const char* first = nullptr;
    size_t stride = 0;
    Py_ssize_t count = 0;
    PyObject* operator[](Py_ssize_t i) const { return *reinterpret_cast<PyObject* const*>(first + static_cast<size_t>(i) * stride); }
};

inline EntryValues entry_values(PyObject* dict) {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    if (mp->ma_values) return {};
    auto* keys = reinterpret_cast<const dict_layout::Keys*>(mp->ma_keys);
    const char* table = dict_layout::entries(keys);
    if (keys->dk_kind == dict_layout::kStringKeys)
        return {table + offsetof(dict_layout::StringEntry, value), sizeof(dict_layout::StringEntry), keys->dk_nentries};
    if (keys->dk_kind == 0) return {table + offsetof(dict_layout::Entry, value), sizeof(dict_layout::Entry), keys->dk_nentries};
    return {};
}

// Starts fetching what a loop over a dict's entries reads at entry `i + far` (the value) and at
// `i + near` (a dict value's key table), so that both are in the cache by their turn. The
// distances are the caller's: the more work it does per entry, the fewer entries ahead cover
// the time a fetch takes, and the sooner a fetch made too early is evicted before its turn.
template <Py_ssize_t far, Py_ssize_t near>
inline void prefetch_ahead(const EntryValues& values, Py_ssize_t i) {
    static_assert(near < far);
    if (i + far < values.count)
        if (PyObject* value = values[i + far]) __builtin_prefetch(value);
    if (i + near < values.count)
        if (PyObject* value = values[i + near]; value && PyDict_CheckExact(value))
            __builtin_prefetch(reinterpret_cast<PyDictObject*>(value)->ma_keys);
}

// Calls f(key, value) for each item of an exact dict, in the dict's order, read from its entry
// table: 1 when all were visited, 0 when f gave false, -1 (nothing visited) for a table this
// cannot read, where the caller uses PyDict_Next. The dict must not change meanwhile.
template <typename F>
inline int each_item(PyObject* dict, F&& f) {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    if (mp->ma_values) return -1;
    auto* keys = reinterpret_cast<const dict_layout::Keys*>(mp->ma_keys);
    const char* table = dict_layout::entries(keys);
    const Py_ssize_t count = keys->dk_nentries;
    if (keys->dk_kind == dict_layout::kStringKeys) {
        const auto* entries = reinterpret_cast<const dict_layout::StringEntry*>(table);
        for (Py_ssize_t i = 0; i < count; ++i)
            if (entries[i].value && !f(entries[i].key, entries[i].value)) return 0;
        return 1;
    }
    if (keys->dk_kind != 0) return -1;
    const auto* entries = reinterpret_cast<const dict_layout::Entry*>(table);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (entries[i].value && !f(entries[i].key, entries[i].value)) return 0;
    return 1;
}

// Whether `key` (with `hash`, its hash) is in a dict, found the way the dict's own lookup probes,
// comparing by identity only: 1 found, 0 absent, -1 not known here (a key of the same hash that
// is another object, whose comparison would run code, or a table this cannot read).
inline int holds_identical_key(PyObject* dict, PyObject* key, Py_hash_t hash) {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    if (mp->ma_values) return -1;
    auto* keys = reinterpret_cast<const dict_layout::Keys*>(mp->ma_keys);
    if (keys->dk_kind != 0) return -1;  // string keys: their own lookup
    const uint8_t log2_size = keys->dk_log2_size;
    const size_t mask = (size_t{1} << log2_size) - 1;
    const auto* entries = reinterpret_cast<const dict_layout::Entry*>(dict_layout::entries(keys));
    size_t perturb = static_cast<size_t>(hash);
    size_t i = static_cast<size_t>(hash) & mask;
    for (;;) {
        Py_ssize_t ix;
        if (log2_size < 8) ix = reinterpret_cast<const int8_t*>(keys->dk_indices)[i];
        else if (log2_size < 16) ix = reinterpret_cast<const int16_t*>(keys->dk_indices)[i];
        else if (log2_size >= 32) ix = reinterpret_cast<const int64_t*>(keys->dk_indices)[i];
        else ix = reinterpret_cast<const int32_t*>(keys->dk_indices)[i];
        if (ix == -1) return 0;  // an empty slot ends the probe
        if (ix >= 0) {
            const dict_layout::Entry& entry = entries[ix];
            if (entry.key == key) return 1;
            if (entry.hash == hash) return -1;
        }
        perturb >>= 5;
        i = mask & (i * 5 + perturb + 1);
    }
}

// dict[key] = value for an exact dict nobody else holds, whose entry at `index` is `key`'s: the
// value is swapped in place. Gives the old value (a reference the caller now owns), or null
// when the entry is not there and the caller has to store the value the usual way.
inline Ref exchange_entry_value(PyObject* dict, Py_ssize_t index, PyObject* key, PyObject* value) {
    dict_layout::StringEntry* entry = dict_layout::entry_at(dict, index, key);
    if (!entry) return {};
    Ref old = Ref::steal(entry->value);
    entry->value = Ref::borrow(value).release();
    // As a store would: a dict holding a container is watched by the cycle collector.
    if (!PyObject_GC_IsTracked(dict) && PyObject_IS_GC(value)) PyObject_GC_Track(dict);
    return old;
}

// Where an instance of a class with a managed dict keeps its own attributes: either in a values
// array under the names the class's instances share, or in a dict of its own (or nowhere yet).
struct InstanceAttrs {
    bool in_values;     // under the shared names
    PyObject* dict;     // otherwise: its dict, or null
};

inline bool has_managed_attrs(PyTypeObject* type) { return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT); }

// For an object whose type has a managed dict: the two words before the object's header.
inline InstanceAttrs instance_attrs(PyObject* obj) {
    auto* words = reinterpret_cast<void**>(obj);
    return {words[RT_MANAGED_VALUES_WORD] != nullptr, static_cast<PyObject*>(words[RT_MANAGED_DICT_WORD])};
}

// The names the instances of a heap type share, and how many there are (they only grow).
inline const void* shared_names(PyTypeObject* type) {
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
}
inline Py_ssize_t shared_name_count(const void* names) {
    return static_cast<const dict_layout::Keys*>(names)->dk_nentries;
}

// Whether `name` is one of the shared names: an instance may then hold an attribute by that name.
inline bool shares_name(const void* names, PyObject* name) {
    auto* keys = static_cast<const dict_layout::Keys*>(names);
    if (keys->dk_kind != dict_layout::kSharedKeys && keys->dk_kind != dict_layout::kStringKeys) return true;
    auto* entries = reinterpret_cast<const dict_layout::StringEntry*>(dict_layout::entries(keys));
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        PyObject* key = entries[i].key;
        if (key == name) return true;
        if (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0) return true;
    }
    return false;
}

}  // namespace rt
