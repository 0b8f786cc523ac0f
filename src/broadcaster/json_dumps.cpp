// The text send_json_async sends: json.dumps(content, ensure_ascii=False), with `json` read from
// the module namespace at each use. While that call would run the standard library's own code,
// untouched, the same text is made natively (runtime/json_text.hpp); otherwise, and for content
// whose text or refusal only json.dumps can give, json.dumps itself is called.
#include "broadcaster/delivery.hpp"
#include "broadcaster/names.hpp"

#include "runtime/json_text.hpp"
#include "runtime/layout.hpp"
#include "runtime/name.hpp"
#include "runtime/placement.hpp"

#include <cstring>
#include <new>
#include <string>

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
    if (!names && names::ensure_ascii.get()) names = PyTuple_Pack(1, names::ensure_ascii.get());
    return names;
}

// Where the standard library's json/__init__.py and json/encoder.py are: beside os.py.
bool standard_files(Ref& package_file, Ref& encoder_file) {
    static PyObject* files[2] = {};  // process-wide, as module/init.cpp lists
    if (!files[0]) {
        Ref os = Ref::steal(PyImport_ImportModule("os"));
        Ref os_file = os ? Ref::steal(PyObject_GetAttrString(os.get(), "__file__")) : Ref();
        Ref path = os ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref();
        Ref dir = os_file && path ? Ref::steal(PyObject_CallMethod(path.get(), "dirname", "O", os_file.get())) : Ref();
        Ref init = dir ? Ref::steal(PyObject_CallMethod(path.get(), "join", "Oss", dir.get(), "json", "__init__.py")) : Ref();
        Ref encoder = dir ? Ref::steal(PyObject_CallMethod(path.get(), "join", "Oss", dir.get(), "json", "encoder.py")) : Ref();
        if (!init || !encoder || !PyUnicode_CheckExact(init.get()) || !PyUnicode_CheckExact(encoder.get())) return false;
        files[0] = init.release();
        files[1] = encoder.release();
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

PyObject* item(PyObject* dict, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? PyDict_GetItemWithError(dict, key.get()) : nullptr;
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
        return Slots::of(type) == slots_ && name_ == type->tp_name;
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
    std::string name_;

    bool read_from_copy(PyModuleDef* def) {
        Ref spec = Ref::steal(PyModule_New("_json"));  // anything with a `name` does as the spec
        Ref name = Ref::steal(PyUnicode_FromString("_json"));
        if (!spec || !name || PyObject_SetAttrString(spec.get(), "name", name.get()) < 0) return false;
        Ref copy = Ref::steal(PyModule_FromDefAndSpec(def, spec.get()));
        if (!copy || PyModule_ExecDef(copy.get(), def) < 0) return false;
        PyObject* encoder = item(PyModule_GetDict(copy.get()), "make_encoder");
        if (!encoder || !Py_IS_TYPE(encoder, &PyType_Type)) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(encoder);
        // The only allocation of C++'s own on a call's path: running out of memory is MemoryError
        // here, never an exception unwinding into the interpreter.
        try {
            name_ = type->tp_name;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
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
class JsonDumps {
public:
    // Null with an exception set when `json` or its `dumps` cannot be had.
    Ref get(PyObject* globals, PyObject* builtins, bool& standard) {
        if (holds(globals)) [[likely]] {
            standard = standard_;
            return Ref::borrow(dumps_.get());
        }
        return find(globals, builtins, standard);
    }

private:
    Ref globals_, json_, json_ns_, dumps_;
    uint64_t globals_version_ = 0, json_version_ = 0;
    bool standard_ = false;
    // What find_standard() read, empty from where it stopped:
    Ref dumps_code_, dumps_defaults_, dumps_kwdefaults_, encoder_, encoder_ns_, encoder_builtins_, c_encoder_;
    Ref methods_[kMethodCount], method_codes_[kMethodCount];
    uint64_t kwdefaults_version_ = 0, encoder_ns_version_ = 0, builtins_version_ = 0;
    unsigned int encoder_tag_ = 0, c_encoder_tag_ = 0;
    CEncoderSlots c_encoder_slots_;

    // A class's version tag, given to it if it has none yet; 0 when it cannot have one.
    static unsigned int version_tag(PyTypeObject* type, PyObject* name) {
        if (!name || !_PyType_Lookup(type, name)) return 0;
        return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    }

    static bool same_tag(PyObject* type, unsigned int tag) {
        auto* t = reinterpret_cast<PyTypeObject*>(type);
        return t->tp_version_tag == tag && PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG);
    }

    static PyFunctionObject* function(const Ref& ref) { return reinterpret_cast<PyFunctionObject*>(ref.get()); }

    bool holds(PyObject* globals) const {
        if (globals != globals_.get() || rt::dict_version(globals) != globals_version_ ||
            !Py_IS_TYPE(json_.get(), &PyModule_Type) || rt::dict_version(json_ns_.get()) != json_version_)
            return false;
        if (standard_) [[likely]]
            return read_unchanged<kAllRead>();
        return read_so_far_unchanged();
    }

    RT_COLD [[gnu::noinline]] bool read_so_far_unchanged() const { return read_unchanged<kReadSoFar>(); }

    // A standard verdict read everything, so its check skips the tests of what was read.
    static constexpr bool kAllRead = true, kReadSoFar = false;
    template <bool all_read>
    [[gnu::always_inline]] bool read_unchanged() const {
        if (all_read || dumps_code_) {
            PyFunctionObject* dumps = function(dumps_);
            if (dumps->func_code != dumps_code_.get() || dumps->func_defaults != dumps_defaults_.get() ||
                dumps->func_kwdefaults != dumps_kwdefaults_.get() ||
                ((all_read || dumps_kwdefaults_) && rt::dict_version(dumps_kwdefaults_.get()) != kwdefaults_version_))
                return false;
        }
        if ((all_read || encoder_) && (!Py_IS_TYPE(encoder_.get(), &PyType_Type) || !same_tag(encoder_.get(), encoder_tag_)))
            return false;
        for (int i = 0; i < kMethodCount; ++i)
            if ((all_read || methods_[i]) && function(methods_[i])->func_code != method_codes_[i].get()) return false;
        if ((all_read || encoder_ns_) && (rt::dict_version(encoder_ns_.get()) != encoder_ns_version_ ||
                                          rt::dict_version(encoder_builtins_.get()) != builtins_version_))
            return false;
        return (!all_read && !c_encoder_) || same_tag(c_encoder_.get(), c_encoder_tag_);
    }

    RT_COLD Ref find(PyObject* globals, PyObject* builtins, bool& standard) {
        standard = false;
        globals_ = Ref();
        const uint64_t globals_version = rt::dict_version(globals);
        Ref json = rt::load_global(globals, builtins, names::json.get());
        if (!json) return {};
        Ref json_ns = Ref::borrow(PyModule_CheckExact(json.get()) ? PyModule_GetDict(json.get()) : nullptr);
        const uint64_t json_version = json_ns ? rt::dict_version(json_ns.get()) : 0;
        Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), names::dumps.get()));
        if (!dumps) return {};
        if (json_ns && PyDict_CheckExact(json_ns.get()) && PyDict_GetItemWithError(globals, names::json.get()) == json.get() &&
            PyDict_GetItemWithError(json_ns.get(), names::dumps.get()) == dumps.get()) {
            json_ = json;
            json_ns_ = json_ns;
            dumps_ = dumps;
            globals_version_ = globals_version;
            json_version_ = json_version;
            forget_read();
            standard_ = find_standard();
            globals_ = Ref::borrow(globals);
            // Found from what it was found from, unchanged by the lookups themselves.
            if (!holds(globals)) globals_ = Ref();
            standard = globals_ && standard_;
        }
        PyErr_Clear();
        return dumps;
    }

    void forget_read() {
        dumps_code_ = dumps_defaults_ = dumps_kwdefaults_ = encoder_ = encoder_ns_ = encoder_builtins_ = c_encoder_ = Ref();
        for (int i = 0; i < kMethodCount; ++i) methods_[i] = method_codes_[i] = Ref();
    }

    // Whether dumps_ is the standard library's json.dumps, with what it runs untouched; records
    // what read_unchanged() compares, each before what it covers is read.
    bool find_standard() {
        Ref package_file, encoder_file;  // found first: the first time, finding them runs Python code
        if (!standard_files(package_file, encoder_file) || !Py_IS_TYPE(dumps_.get(), &PyFunction_Type)) return false;
        PyFunctionObject* dumps = function(dumps_);
        Ref kwdefaults = Ref::borrow(dumps->func_kwdefaults);  // held: a key's __eq__ can run code below
        dumps_defaults_ = Ref::borrow(dumps->func_defaults);
        dumps_kwdefaults_ = kwdefaults;
        kwdefaults_version_ = kwdefaults ? rt::dict_version(kwdefaults.get()) : 0;
        dumps_code_ = Ref::borrow(dumps->func_code);
        if (!standard_function(dumps_.get(), "dumps", package_file.get())) return false;
        if (dumps->func_globals != json_ns_.get() || dumps->func_defaults || !kwdefaults || !PyDict_CheckExact(kwdefaults.get()))
            return false;
        if (!standard_defaults(kwdefaults.get())) return false;

        // JSONEncoder, as dumps reads it, and what of it dumps runs.
        PyObject* encoder = PyDict_GetItemWithError(json_ns_.get(), names::json_encoder.get());
        if (!encoder || !Py_IS_TYPE(encoder, &PyType_Type)) return false;
        auto* encoder_type = reinterpret_cast<PyTypeObject*>(encoder);
        encoder_tag_ = version_tag(encoder_type, names::encode.get());
        if (!encoder_tag_) return false;
        encoder_ = Ref::borrow(encoder);
        if (encoder_type->tp_base != &PyBaseObject_Type || !encoder_type->tp_mro || PyTuple_GET_SIZE(encoder_type->tp_mro) != 2)
            return false;
        PyObject* class_dict = encoder_type->tp_dict;
        constexpr Py_ssize_t kClassNames = sizeof(kEncoderClassNames) / sizeof(kEncoderClassNames[0]);
        if (!class_dict || PyDict_GET_SIZE(class_dict) != kClassNames) return false;
        for (const char* name : kEncoderClassNames)
            if (!item(class_dict, name)) return false;
        if (!is_str(PyDict_GetItemWithError(class_dict, names::item_separator.get()), ", ") ||
            !is_str(PyDict_GetItemWithError(class_dict, names::key_separator.get()), ": "))
            return false;
        for (int i = 0; i < kMethodCount; ++i) {
            PyObject* method = kEncoderMethods[i]->get() ? PyDict_GetItemWithError(class_dict, kEncoderMethods[i]->get()) : nullptr;
            if (!method || !Py_IS_TYPE(method, &PyFunction_Type)) return false;
            methods_[i] = Ref::borrow(method);
            method_codes_[i] = Ref::borrow(function(methods_[i])->func_code);
            if (!standard_function(method, kEncoderMethodQualnames[i], encoder_file.get())) return false;
        }

        // json.encoder's namespace and builtins, as those methods read them.
        PyFunctionObject* first = function(methods_[0]);
        for (const Ref& method : methods_)
            if (function(method)->func_globals != first->func_globals || function(method)->func_builtins != first->func_builtins)
                return false;
        if (!PyDict_CheckExact(first->func_globals) || !PyDict_CheckExact(first->func_builtins)) return false;
        encoder_ns_version_ = rt::dict_version(first->func_globals);
        builtins_version_ = rt::dict_version(first->func_builtins);
        encoder_ns_ = Ref::borrow(first->func_globals);
        encoder_builtins_ = Ref::borrow(first->func_builtins);
        return standard_encoder_globals(encoder_ns_, encoder_builtins_);
    }

    // dumps's keyword defaults, exactly as the standard library gives them.
    static bool standard_defaults(PyObject* kwdefaults) {
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
    // Both dicts and the class are held: making _json's copy can run a collection, and so code.
    bool standard_encoder_globals(Ref ns_held, Ref builtins_held) {
        PyObject* ns = ns_held.get();
        PyObject* builtins = builtins_held.get();
        PyModuleDef* c_json = c_json_definition(item(ns, "encode_basestring"));
        Ref make_encoder = Ref::borrow(item(ns, "c_make_encoder"));
        if (!c_json || !make_encoder || !Py_IS_TYPE(make_encoder.get(), &PyType_Type)) return false;
        c_encoder_tag_ = version_tag(reinterpret_cast<PyTypeObject*>(make_encoder.get()), names::dunder_new.get());
        if (!c_encoder_tag_) return false;
        c_encoder_ = make_encoder;
        if (!c_encoder_slots_.match(make_encoder.get(), c_json)) return false;
        PyObject* infinity = item(ns, "INFINITY");
        if (!infinity || !PyFloat_CheckExact(infinity)) return false;
        for (const char* name : kEncoderGlobals)
            if (item(ns, name) || PyErr_Occurred()) return false;
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
};

JsonDumps& json_dumps = *new JsonDumps;  // process-wide, as module/init.cpp lists

}  // namespace

Ref json_text(rt::Function* fn, PyObject* content) {
    bool standard = false;
    Ref dumps = json_dumps.get(fn->globals.get(), fn->builtins.get(), standard);
    if (!dumps) return {};
    if (standard) [[likely]]
        if (Ref text = rt::standard_json_text(content)) return text;
    PyObject* keywords = ensure_ascii_keyword();
    if (!keywords) return {};
    PyObject* args[] = {content, Py_False};
    return rt::call(dumps.get(), args, 1, keywords);
}

}  // namespace broadcaster
