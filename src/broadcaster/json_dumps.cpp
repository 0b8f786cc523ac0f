// The text send_json_async sends: json.dumps(content, ensure_ascii=False), with `json` read from
// the module namespace at each use. While that call would run the standard library's own code,
// untouched, the same text is made natively (runtime/json_text.hpp); otherwise, and for content
// whose text or refusal only json.dumps can give, json.dumps itself is called.
#include "broadcaster/delivery.hpp"
#include "broadcaster/names.hpp"

#include "runtime/frames.hpp"
#include "runtime/json_text.hpp"
#include "runtime/layout.hpp"
#include "runtime/name.hpp"
#include "runtime/placement.hpp"

#include <cstring>
#include <memory>
#include <new>

namespace broadcaster {

using rt::Ref;

namespace {


// The parts of JSONEncoder that dumps runs when it makes an encoder and encodes with it.
const rt::Name* const kEncoderMethods[] = {&names::dunder_init, &names::encode, &names::iterencode};
constexpr int kMethodCount = 3;
const char* const kEncoderMethodQualnames[] = {"JSONEncoder.__init__", "JSONEncoder.encode", "JSONEncoder.iterencode"};
// Every name in the standard JSONEncoder's class dict.
const char* const kEncoderClassNames[] = {"__module__",     "__doc__",       "item_separator", "key_separator", "__init__",
                                          "default",        "encode",        "iterencode",     "__dict__",      "__weakref__"};
// The builtins json.encoder's methods read, which its namespace must not shadow.
const char* const kEncoderGlobals[] = {"isinstance", "str", "list", "tuple", "float"};

PyObject* ensure_ascii_keyword() {
    static PyObject* names = nullptr;  // process-wide, as module/init.cpp lists
    if (!names && names::ensure_ascii.get()) {
        // Making the tuple can run a collection, and so a nested call that makes one too.
        Ref made = Ref::steal(PyTuple_Pack(1, names::ensure_ascii.get()));
        if (!names) names = made.release();
    }
    return names;
}

// `key`'s value in a dict whose keys are all exact strs, where looking it up compares strings
// only and so runs no code; null, with no exception, for any other dict or an absent key.
PyObject* string_keyed_item(PyObject* dict, PyObject* key) {
    if (!dict || !key || !PyDict_CheckExact(dict) || !rt::has_string_keys_only(dict)) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, key);
    PyErr_Clear();
    return value;
}

// Where the standard library's json/__init__.py and json/encoder.py are: beside os.py, as
// os.path.dirname and os.path.join would say, worked out here so that no Python code runs.
bool standard_files(Ref& package_file, Ref& encoder_file) {
    static PyObject* files[2] = {};  // process-wide, as module/init.cpp lists
    if (!files[0]) {
        Ref os_name = Ref::steal(PyUnicode_InternFromString("os"));
        Ref file_name = Ref::steal(PyUnicode_InternFromString("__file__"));
        PyObject* os = string_keyed_item(PyImport_GetModuleDict(), os_name.get());
        PyObject* os_file = os && PyModule_CheckExact(os) ? string_keyed_item(PyModule_GetDict(os), file_name.get()) : nullptr;
        if (!os_file || !PyUnicode_CheckExact(os_file)) return false;
        Ref path = Ref::borrow(os_file);  // held: the strings made below can run a collection
        const Py_ssize_t length = PyUnicode_GET_LENGTH(path.get());
        Py_ssize_t end = PyUnicode_FindChar(path.get(), '/', 0, length, -1) + 1;  // the head, its slashes included
        if (end <= 0) return false;
        Py_ssize_t stripped = end;
        while (stripped > 0 && PyUnicode_READ_CHAR(path.get(), stripped - 1) == '/') --stripped;
        if (stripped > 0) end = stripped;  // dirname keeps a head that is all slashes
        Ref head = Ref::steal(PyUnicode_Substring(path.get(), 0, end));
        const char* sep = stripped > 0 ? "/" : "";
        Ref init = head ? Ref::steal(PyUnicode_FromFormat("%U%sjson/__init__.py", head.get(), sep)) : Ref();
        Ref encoder = head ? Ref::steal(PyUnicode_FromFormat("%U%sjson/encoder.py", head.get(), sep)) : Ref();
        if (!init || !encoder) return false;
        if (!files[0]) {  // unless a nested call, run by a collection above, found them first
            files[0] = init.release();
            files[1] = encoder.release();
        }
    }
    package_file = Ref::borrow(files[0]);
    encoder_file = Ref::borrow(files[1]);
    return true;
}

// A function defined in the standard library's file `file` under the qualified name `qualname`.
bool standard_function(PyObject* function, const char* qualname, PyObject* file) {
    if (!Py_IS_TYPE(function, &PyFunction_Type)) return false;
    auto* fn = reinterpret_cast<PyFunctionObject*>(function);
    auto* code = reinterpret_cast<PyCodeObject*>(fn->func_code);
    return !fn->func_closure && PyUnicode_CheckExact(code->co_qualname) &&
           PyUnicode_CompareWithASCIIString(code->co_qualname, qualname) == 0 && PyUnicode_CheckExact(code->co_filename) &&
           PyUnicode_Compare(code->co_filename, file) == 0;
}

bool is_str(PyObject* value, const char* text) {
    return value && PyUnicode_CheckExact(value) && PyUnicode_CompareWithASCIIString(value, text) == 0;
}

// The same by name, for a dict whose keys were checked to be all exact strs.
PyObject* item(PyObject* dict, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return string_keyed_item(dict, key.get());
}

// _json's module definition, when `function` is its own encode_basestring: an entry of that
// definition's method table bound to a module made from it, which Python code cannot make.
PyModuleDef* c_json_definition(PyObject* function) {
    if (!function || !PyCFunction_CheckExact(function)) return nullptr;
    auto* c_function = reinterpret_cast<PyCFunctionObject*>(function);
    PyObject* module = c_function->m_self;
    PyModuleDef* def = module && PyModule_Check(module) ? PyModule_GetDef(module) : nullptr;
    if (!def || !def->m_name || std::strcmp(def->m_name, "_json") != 0 || !def->m_methods) return nullptr;
    for (PyMethodDef* entry = def->m_methods; entry->ml_name; ++entry)
        if (entry == c_function->m_ml) return std::strcmp(entry->ml_name, "encode_basestring") == 0 ? def : nullptr;
    return nullptr;
}

// The slots of _json's encoder class that making an encoder, calling it and freeing it go
// through, as _json sets them: read from a fresh copy of _json made here from its definition and
// dropped at once. A class statement, or setting __new__, __init__, __call__ or __del__ on the
// class, changes one of them.
class CEncoderSlots {
public:
    // Whether `candidate` is _json's encoder class with those slots untouched; false with an
    // exception set when the copy could not be made.
    bool match(PyObject* candidate, PyModuleDef* def) {
        if (def != def_ && !read_from_copy(def)) return false;
        if (!Py_IS_TYPE(candidate, &PyType_Type)) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(candidate);
        return Slots::of(type) == slots_ && std::strcmp(name_, type->tp_name) == 0;
    }

private:
    struct Slots {
        newfunc make;
        initproc init;
        ternaryfunc call;
        vectorcallfunc vectorcall;
        destructor dealloc, finalize;
        PyTypeObject* base;
        Py_ssize_t size;

        static Slots of(PyTypeObject* t) {
            return {t->tp_new, t->tp_init, t->tp_call, t->tp_vectorcall, t->tp_dealloc, t->tp_finalize, t->tp_base, t->tp_basicsize};
        }
        bool operator==(const Slots&) const = default;
    };
    // Read once per definition, which lives as long as its shared library, never unloaded.
    PyModuleDef* def_ = nullptr;
    Slots slots_{};
    char name_[64] = {};  // the class's name, which a class statement also changes

    bool read_from_copy(PyModuleDef* def) {
        Ref spec = Ref::steal(PyModule_New("_json"));  // anything with a `name` does as the spec
        Ref name = Ref::steal(PyUnicode_FromString("_json"));
        if (!spec || !name || PyObject_SetAttrString(spec.get(), "name", name.get()) < 0) return false;
        Ref copy = Ref::steal(PyModule_FromDefAndSpec(def, spec.get()));
        if (!copy || PyModule_ExecDef(copy.get(), def) < 0) return false;
        PyObject* encoder = item(PyModule_GetDict(copy.get()), "make_encoder");
        if (!encoder || !Py_IS_TYPE(encoder, &PyType_Type)) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(encoder);
        if (std::strlen(type->tp_name) >= sizeof(name_)) return false;
        std::strcpy(name_, type->tp_name);
        slots_ = Slots::of(type);
        def_ = def;
        return true;
    }
};

// `json.dumps` as the module namespace gives it, and whether calling it would run the standard
// library's code, untouched.
//
// What was found is used again while nothing it was found from has changed; a verdict either
// way rests only on what find_standard() read, each watch recorded before the read it covers.
// Which host changes are seen, and how:
// - rebinding the module's `json`, json.dumps or json.JSONEncoder: the versions of the module
//   namespace and of the json module's namespace; `json.__class__` set: the json module's type;
// - json.dumps's __code__, __defaults__ or __kwdefaults__ replaced, or that dict edited: those
//   three pointers and the dict's version;
// - anything set on or deleted from JSONEncoder (separators, methods, default, __getattribute__
//   and the like) or its bases: its version tag; its metaclass: its type; the __code__ of
//   __init__, encode and iterencode replaced: those pointers;
// - every name encode and iterencode read from json.encoder's namespace at each call
//   (c_make_encoder, encode_basestring, INFINITY, and isinstance, str, list, tuple, float shadowed
//   there) and from the builtins (isinstance, str, list, tuple, float, whose __repr__ is read):
//   the versions of both dicts; each value is checked to be what the standard library put there,
//   the C parts by _json's module definition rather than by sys.modules['_json'], which
//   iterencode never reads (_make_iterencode and encode_basestring_ascii are read only on paths
//   not taken with the C encoder and ensure_ascii=False);
// - anything set on the C encoder's class (its __call__, __new__, __init__, __del__, ...): its
//   version tag, and its slots compared with those of a copy no host can reach.
// Everything compared by identity is held, so no address can come back as another object.
//
// A search reads names from dicts only where every key is an exact str, so that no lookup runs
// a host's __eq__ (a dict with any other key leaves json.dumps to be called, as Python would,
// and a namespace with one is not trusted to stay as it was). Code can still run during a search
// (a collection, whose callbacks may switch threads; _json's copy being made), and that code may
// rebind json.dumps and send: a search therefore fills a record of its own, and the record in use
// is replaced whole, only once the new one is complete and still holds. A nested or concurrent
// search meanwhile finds the names as they are then, and calls what they give.
struct Found {
    Ref globals, json, json_ns, dumps;
    uint64_t globals_version = 0, json_version = 0;
    bool standard = false;
    // What find_standard() read, empty from where it stopped:
    Ref dumps_code, dumps_defaults, dumps_kwdefaults, encoder, encoder_ns, encoder_builtins, c_encoder;
    Ref methods[kMethodCount], method_codes[kMethodCount];
    uint64_t kwdefaults_version = 0, encoder_ns_version = 0, builtins_version = 0;
    unsigned int encoder_tag = 0, c_encoder_tag = 0;

    // Runs no code.
    bool holds(PyObject* in_globals) const {
        if (in_globals != globals.get() || rt::dict_version(in_globals) != globals_version ||
            !Py_IS_TYPE(json.get(), &PyModule_Type) || rt::dict_version(json_ns.get()) != json_version)
            return false;
        if (standard) [[likely]]
            return read_unchanged<kAllRead>();
        return read_so_far_unchanged();
    }

    // Whether dumps is the standard library's json.dumps, with what it runs untouched; records
    // what read_unchanged() compares, each before what it covers is read.
    bool find_standard(CEncoderSlots& c_encoder_slots);

private:
    // A standard verdict read everything, so its check skips the tests of what was read.
    static constexpr bool kAllRead = true, kReadSoFar = false;

    static PyFunctionObject* function(const Ref& ref) { return reinterpret_cast<PyFunctionObject*>(ref.get()); }

    static bool same_tag(PyObject* type, unsigned int tag) {
        auto* t = reinterpret_cast<PyTypeObject*>(type);
        return t->tp_version_tag == tag && PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG);
    }

    RT_COLD [[gnu::noinline]] bool read_so_far_unchanged() const { return read_unchanged<kReadSoFar>(); }

    template <bool all_read>
    [[gnu::always_inline]] bool read_unchanged() const {
        if (all_read || dumps_code) {
            PyFunctionObject* fn = function(dumps);
            if (fn->func_code != dumps_code.get() || fn->func_defaults != dumps_defaults.get() ||
                fn->func_kwdefaults != dumps_kwdefaults.get() ||
                ((all_read || dumps_kwdefaults) && rt::dict_version(dumps_kwdefaults.get()) != kwdefaults_version))
                return false;
        }
        if ((all_read || encoder) && (!Py_IS_TYPE(encoder.get(), &PyType_Type) || !same_tag(encoder.get(), encoder_tag)))
            return false;
        for (int i = 0; i < kMethodCount; ++i)
            if ((all_read || methods[i]) && function(methods[i])->func_code != method_codes[i].get()) return false;
        if ((all_read || encoder_ns) && (rt::dict_version(encoder_ns.get()) != encoder_ns_version ||
                                         rt::dict_version(encoder_builtins.get()) != builtins_version))
            return false;
        return (!all_read && !c_encoder) || same_tag(c_encoder.get(), c_encoder_tag);
    }

    // A class's version tag, given to it if it has none yet; 0 when it cannot have one. Only for
    // a class whose own dict and bases' dicts have str keys alone: the lookup then runs no code.
    static unsigned int version_tag(PyTypeObject* type, PyObject* name) {
        if (!name || !_PyType_Lookup(type, name)) return 0;
        return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    }

    // A class derived from object alone whose dict has str keys alone.
    static bool plain_class(PyObject* candidate) {
        if (!Py_IS_TYPE(candidate, &PyType_Type)) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(candidate);
        return type->tp_base == &PyBaseObject_Type && type->tp_mro && PyTuple_GET_SIZE(type->tp_mro) == 2 &&
               type->tp_dict && PyDict_CheckExact(type->tp_dict) && rt::has_string_keys_only(type->tp_dict);
    }

    static bool standard_defaults(PyObject* kwdefaults);
    bool standard_encoder_globals(CEncoderSlots& c_encoder_slots);
};

bool Found::find_standard(CEncoderSlots& c_encoder_slots) {
    Ref package_file, encoder_file;  // found first: the first time, making them can run a collection
    if (!standard_files(package_file, encoder_file) || !Py_IS_TYPE(dumps.get(), &PyFunction_Type)) return false;
    PyFunctionObject* fn = function(dumps);
    dumps_defaults = Ref::borrow(fn->func_defaults);
    dumps_kwdefaults = Ref::borrow(fn->func_kwdefaults);
    kwdefaults_version = dumps_kwdefaults ? rt::dict_version(dumps_kwdefaults.get()) : 0;
    dumps_code = Ref::borrow(fn->func_code);
    if (!standard_function(dumps.get(), "dumps", package_file.get())) return false;
    if (fn->func_globals != json_ns.get() || fn->func_defaults || !dumps_kwdefaults ||
        !PyDict_CheckExact(dumps_kwdefaults.get()) || !rt::has_string_keys_only(dumps_kwdefaults.get()))
        return false;
    if (!standard_defaults(dumps_kwdefaults.get())) return false;

    // JSONEncoder, as dumps reads it, and what of it dumps runs.
    PyObject* found_encoder = string_keyed_item(json_ns.get(), names::json_encoder.get());
    if (!found_encoder || !plain_class(found_encoder)) return false;
    auto* encoder_type = reinterpret_cast<PyTypeObject*>(found_encoder);
    encoder_tag = version_tag(encoder_type, names::encode.get());
    if (!encoder_tag) return false;
    encoder = Ref::borrow(found_encoder);
    PyObject* class_dict = encoder_type->tp_dict;
    constexpr Py_ssize_t kClassNames = sizeof(kEncoderClassNames) / sizeof(kEncoderClassNames[0]);
    if (PyDict_GET_SIZE(class_dict) != kClassNames) return false;
    for (const char* name : kEncoderClassNames)
        if (!item(class_dict, name)) return false;
    if (!is_str(string_keyed_item(class_dict, names::item_separator.get()), ", ") ||
        !is_str(string_keyed_item(class_dict, names::key_separator.get()), ": "))
        return false;
    for (int i = 0; i < kMethodCount; ++i) {
        PyObject* method = string_keyed_item(class_dict, kEncoderMethods[i]->get());
        if (!method || !Py_IS_TYPE(method, &PyFunction_Type)) return false;
        methods[i] = Ref::borrow(method);
        method_codes[i] = Ref::borrow(function(methods[i])->func_code);
        if (!standard_function(method, kEncoderMethodQualnames[i], encoder_file.get())) return false;
    }

    // json.encoder's namespace and builtins, as those methods read them.
    PyFunctionObject* first = function(methods[0]);
    for (const Ref& method : methods)
        if (function(method)->func_globals != first->func_globals || function(method)->func_builtins != first->func_builtins)
            return false;
    if (!PyDict_CheckExact(first->func_globals) || !PyDict_CheckExact(first->func_builtins)) return false;
    encoder_ns_version = rt::dict_version(first->func_globals);
    builtins_version = rt::dict_version(first->func_builtins);
    encoder_ns = Ref::borrow(first->func_globals);
    encoder_builtins = Ref::borrow(first->func_builtins);
    if (!rt::has_string_keys_only(encoder_ns.get()) || !rt::has_string_keys_only(encoder_builtins.get())) return false;
    return standard_encoder_globals(c_encoder_slots);
}

// dumps's keyword defaults, exactly as the standard library gives them.
bool Found::standard_defaults(PyObject* kwdefaults) {
    const std::pair<const char*, PyObject*> expected[] = {
        {"skipkeys", Py_False}, {"ensure_ascii", Py_True}, {"check_circular", Py_True},
        {"allow_nan", Py_True}, {"cls", Py_None},          {"indent", Py_None},
        {"separators", Py_None}, {"default", Py_None},     {"sort_keys", Py_False},
    };
    if (PyDict_GET_SIZE(kwdefaults) != static_cast<Py_ssize_t>(sizeof(expected) / sizeof(expected[0]))) return false;
    for (const auto& [name, value] : expected)
        if (item(kwdefaults, name) != value) return false;
    return true;
}

// What encode and iterencode read from json.encoder's namespace and the builtins: _json's own
// C encoder and string escaper, an exact float INFINITY (iterencode only negates it, which
// then runs no code; the C encoder writes infinities itself), and the builtins themselves.
// Both dicts and the class are held (by this record): making _json's copy can run a
// collection, and so code.
bool Found::standard_encoder_globals(CEncoderSlots& c_encoder_slots) {
    PyObject* ns = encoder_ns.get();
    PyObject* builtins = encoder_builtins.get();
    PyModuleDef* c_json = c_json_definition(item(ns, "encode_basestring"));
    Ref make_encoder = Ref::borrow(item(ns, "c_make_encoder"));
    if (!c_json || !make_encoder || !plain_class(make_encoder.get())) return false;
    c_encoder_tag = version_tag(reinterpret_cast<PyTypeObject*>(make_encoder.get()), names::dunder_new.get());
    if (!c_encoder_tag) return false;
    c_encoder = make_encoder;
    if (!c_encoder_slots.match(make_encoder.get(), c_json)) return false;
    PyObject* infinity = item(ns, "INFINITY");
    if (!infinity || !PyFloat_CheckExact(infinity)) return false;
    for (const char* name : kEncoderGlobals)
        if (item(ns, name)) return false;
    if (item(builtins, "str") != reinterpret_cast<PyObject*>(&PyUnicode_Type) ||
        item(builtins, "list") != reinterpret_cast<PyObject*>(&PyList_Type) ||
        item(builtins, "tuple") != reinterpret_cast<PyObject*>(&PyTuple_Type) ||
        item(builtins, "float") != reinterpret_cast<PyObject*>(&PyFloat_Type))
        return false;
    PyObject* isinstance = item(builtins, "isinstance");
    if (!isinstance || !PyCFunction_CheckExact(isinstance)) return false;
    auto* builtin = reinterpret_cast<PyCFunctionObject*>(isinstance);
    PyObject* owner = builtin->m_self;
    if (std::strcmp(builtin->m_ml->ml_name, "isinstance") != 0 || !owner || !PyModule_CheckExact(owner)) return false;
    const char* owner_name = PyModule_GetName(owner);
    return owner_name && std::strcmp(owner_name, "builtins") == 0;
}

class JsonDumps {
public:
    // Null with an exception set when `json` or its `dumps` cannot be had.
    Ref get(PyObject* globals, PyObject* builtins, bool& standard) {
        if (const Found* found = found_.get(); found && found->holds(globals)) [[likely]] {
            standard = found->standard;
            return Ref::borrow(found->dumps.get());
        }
        return find(globals, builtins, standard);
    }

private:
    std::unique_ptr<Found> found_;
    CEncoderSlots c_encoder_slots_;

    RT_COLD Ref find(PyObject* globals, PyObject* builtins, bool& standard) {
        standard = false;
        // The record in use goes at once: it no longer holds, and what replaces it is not known yet.
        std::unique_ptr<Found> stale = std::move(found_);
        const uint64_t globals_version = rt::dict_version(globals);
        Ref json = rt::load_global(globals, builtins, names::json.get());
        if (!json) return {};
        Ref json_ns = Ref::borrow(PyModule_CheckExact(json.get()) ? PyModule_GetDict(json.get()) : nullptr);
        const uint64_t json_version = json_ns ? rt::dict_version(json_ns.get()) : 0;
        Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), names::dumps.get()));
        if (!dumps) return {};
        // Only names that were found where they are looked up, in namespaces that compare keys as
        // strings, are kept for the next call.
        if (!json_ns || string_keyed_item(globals, names::json.get()) != json.get() ||
            string_keyed_item(json_ns.get(), names::dumps.get()) != dumps.get())
            return dumps;
        std::unique_ptr<Found> fresh(new (std::nothrow) Found);
        if (!fresh) return dumps;  // not kept: dumps is called
        fresh->globals = Ref::borrow(globals);
        fresh->globals_version = globals_version;
        fresh->json = json;
        fresh->json_ns = json_ns;
        fresh->json_version = json_version;
        fresh->dumps = dumps;
        fresh->standard = fresh->find_standard(c_encoder_slots_);
        PyErr_Clear();
        // Kept when nothing it was found from changed while it was being found (a collection, or
        // another thread, may have run code meanwhile); the swap itself runs no code.
        if (fresh->holds(globals)) {
            standard = fresh->standard;
            found_.swap(fresh);
        }
        return dumps;  // `stale` and `fresh` go here, after found_ is whole: their release may run code
    }
};

JsonDumps& json_dumps = *new JsonDumps;  // process-wide, as module/init.cpp lists

}  // namespace

Ref json_text(rt::Function* fn, PyObject* content) {
    bool standard = false;
    Ref dumps = json_dumps.get(fn->globals.get(), fn->builtins.get(), standard);
    if (!dumps) return {};
    // A profile or trace function sees json.dumps called, as it would from Python code.
    if (standard && !rt::tracing(PyThreadState_Get())) [[likely]]
        if (Ref text = rt::standard_json_text(content)) return text;
    PyObject* keywords = ensure_ascii_keyword();
    if (!keywords) return {};
    PyObject* args[] = {content, Py_False};
    return rt::call(dumps.get(), args, 1, keywords);
}

}  // namespace broadcaster
