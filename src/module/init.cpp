// The module's entry point: creates `broadcast` and runs its body once, top to bottom, as the
// interpreter would run broadcast.py.
//
// Process-wide state. The module is made once per process (single-phase init: a re-import copies
// the first namespace and never calls the entry point again), so what the module's code keeps
// between calls lives as long as the process, and must stay valid for a second try after a failed
// import. All of it, and where it lives:
// - the three types (runtime/coroutine_type.cpp, coroutine_wrapper.cpp, function.cpp): static,
//   readied once;
// - the interned names, one set per room (runtime/function.cpp, engine/engine.cpp,
//   access/names.hpp, broadcaster/names.hpp and params.hpp, the hooks' in broadcaster/hooks.cpp),
//   and the keyword tuples built from them (engine.cpp's display keywords, json_dumps.cpp's
//   ensure_ascii): made on first use, never freed;
// - the module's own Broadcaster methods (broadcaster/hooks.cpp) and the code objects of the
//   decorators' wrappers (access/decorators.cpp): set while the module body runs, again on a
//   retried import; held so that an identity test can never meet a recycled address;
// - the shape of a subscription's parameters (broadcaster/registry.cpp): a dict copied for each;
// - what json.dumps was found to be, and where the standard json files are
//   (broadcaster/json_dumps.cpp): a cache, checked at each use against every change a host can
//   make;
// - the coroutine free list (runtime/coroutine_type.cpp) and the JSON text's scratch buffer
//   (runtime/json_text.cpp): memory kept for reuse;
// - the C stack floor (runtime/frames.hpp): one per thread, measured on first use.
#include "access/access.hpp"
#include "broadcaster/hooks.hpp"
#include "module/surface.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/function.hpp"
#include "runtime/handling.hpp"
#include "runtime/name.hpp"
#include "runtime/traceback.hpp"

#include <dlfcn.h>

#include <exception>
#include <new>

using rt::Ref;

extern "C" PyMODINIT_FUNC PyInit_broadcast(void);

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "broadcast", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module's __file__: "broadcast.py" in the directory of the extension module's own file.
Ref source_path() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&PyInit_broadcast), &info) || !info.dli_fname) {
        PyErr_SetString(PyExc_ImportError, "cannot locate the broadcast extension module");
        return {};
    }
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref os_path = os ? Ref::steal(PyObject_GetAttrString(os.get(), "path")) : Ref();
    Ref so_path = Ref::steal(PyUnicode_DecodeFSDefault(info.dli_fname));
    if (!os_path || !so_path) return {};
    Ref directory = Ref::steal(PyObject_CallMethod(os_path.get(), "dirname", "O", so_path.get()));
    if (!directory) return {};
    if (info.dli_fname[0] != '/') {
        Ref cwd = Ref::steal(PyObject_CallMethod(os.get(), "getcwd", nullptr));
        if (!cwd) return {};
        directory = Ref::steal(PyObject_CallMethod(os_path.get(), "join", "OO", cwd.get(), directory.get()));
        if (!directory) return {};
    }
    Ref separator = Ref::steal(PyObject_GetAttrString(os.get(), "sep"));
    if (!separator) return {};
    return Ref::steal(PyUnicode_FromFormat("%U%Ubroadcast.py", directory.get(), separator.get()));
}

// ---- restoring __file__ once the import system has finished with the module ----
//
// The loader overwrites __file__ with the extension's path after the entry point returns. A
// one-shot module __getattr__ puts it back: the import system looks up `__path__` once it has
// installed its own spec, and the hook then restores __file__ (also in the copy kept for
// re-imports), removes itself and answers as a missing attribute does.

PyObject* restore_file_hook(PyObject* state, PyObject* attr) {
    PyObject* module = PyTuple_GET_ITEM(state, 0);
    PyObject* own_spec = PyTuple_GET_ITEM(state, 1);
    PyObject* file = PyTuple_GET_ITEM(state, 2);
    PyObject* ns = PyModule_GetDict(module);
    PyObject* spec = PyDict_GetItemString(ns, "__spec__");
    Ref keep_state = Ref::borrow(state);
    if (spec && spec != Py_None && spec != own_spec) {
        if (PyDict_SetItemString(ns, "__file__", file) < 0) return nullptr;
        if (PyDict_DelItemString(ns, "__getattr__") < 0) PyErr_Clear();
        PyObject* copy = module_def.m_base.m_copy;
        if (copy && PyDict_Check(copy)) {
            if (PyDict_SetItemString(copy, "__file__", file) < 0) return nullptr;
            if (PyDict_DelItemString(copy, "__getattr__") < 0) PyErr_Clear();
        }
    }
    Ref name = Ref::borrow(PyDict_GetItemString(ns, "__name__"));
    PyErr_Format(PyExc_AttributeError, "module '%S' has no attribute '%S'",
                 name ? name.get() : Py_None, attr);
    return nullptr;
}

PyMethodDef restore_file_def = {"__getattr__", restore_file_hook, METH_O, nullptr};

// ---- one run of the module body ----

class ModuleBody {
public:
    explicit ModuleBody(PyObject* module) : module_(Ref::borrow(module)), ns_(PyModule_GetDict(module)) {}

    // The module body, statement by statement: the module's attributes, the imports, the decorators,
    // AuthClient, Broadcaster, then the hook that restores __file__. False with the exception set
    // (and the traceback entries of the statement that failed added) on failure.
    bool run() {
        if (!set_attributes()) return failed();
        if (!import_names()) return failed();
        line_ = 0;
        if (!define_decorators()) return failed();
        line_ = surface::kAuthClientLine;
        if (!define_auth_client()) return failed();
        line_ = surface::kBroadcasterLine;
        if (!define_broadcaster()) return failed();
        return install_file_hook();
    }

    PyObject* file() const { return file_.get(); }

private:
    Ref module_;
    PyObject* ns_;
    Ref file_;
    Ref builtins_;
    Ref own_spec_;
    int line_ = 0;          // module-body line of the statement running
    int class_line_ = 0;    // class-body line, when inside the body of Broadcaster

    bool bind(const char* name, PyObject* value) { return value && PyDict_SetItemString(ns_, name, value) == 0; }

    bool failed() {
        if (file_ && line_) {
            if (class_line_) rt::add_traceback_entry(file_.get(), "Broadcaster", class_line_, ns_);
            rt::add_traceback_entry(file_.get(), "<module broadcast>", line_, ns_);
        }
        return false;
    }

    // The attributes the interpreter sets before a module body runs: package, builtins, docstring,
    // file, spec, cached.
    bool set_attributes() {
        Ref name = Ref::steal(PyModule_GetNameObject(module_.get()));
        if (!name) return false;
        Py_ssize_t dot = PyUnicode_FindChar(name.get(), '.', 0, PyUnicode_GET_LENGTH(name.get()), -1);
        if (dot == -2) return false;
        if (dot >= 0 && !bind("__package__", Ref::steal(PyUnicode_Substring(name.get(), 0, dot)).get())) return false;
        PyObject* builtins = PyDict_GetItemString(ns_, "__builtins__");
        if (!builtins) {
            Ref module = Ref::steal(PyImport_ImportModule("builtins"));
            if (!module || !bind("__builtins__", PyModule_GetDict(module.get()))) return false;
            builtins = PyDict_GetItemString(ns_, "__builtins__");
        }
        builtins_ = Ref::borrow(PyModule_Check(builtins) ? PyModule_GetDict(builtins) : builtins);
        if (!bind("__doc__", Py_None)) return false;
        file_ = source_path();
        if (!file_ || !bind("__file__", file_.get())) return false;

        line_ = 1;
        // Held: setting its attributes runs the spec's own code.
        Ref spec = Ref::borrow(PyDict_GetItemString(ns_, "__spec__"));
        if (!spec || spec.get() == Py_None) {
            // During the entry point there is no spec yet: install one for the body to see.
            Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
            if (!machinery) return false;
            own_spec_ = Ref::steal(PyObject_CallMethod(machinery.get(), "ModuleSpec", "OO", name.get(), Py_None));
            if (!own_spec_ || !bind("__spec__", own_spec_.get())) return false;
            if (PyObject_SetAttrString(own_spec_.get(), "_initializing", Py_True) < 0) return false;
            spec = own_spec_;
        }
        if (PyObject_SetAttrString(spec.get(), "origin", file_.get()) < 0) return false;
        if (PyObject_SetAttrString(spec.get(), "has_location", Py_True) < 0) return false;
        return bind("__cached__", Py_None);
    }

    // ---- the imports at the top of the module ----

    Ref import(const char* module_name, std::initializer_list<const char*> fromlist) {
        Ref import_func = rt::load_global(builtins_.get(), nullptr, Ref::steal(PyUnicode_FromString("__import__")).get());
        if (!import_func) return {};
        Ref from = fromlist.size() ? Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fromlist.size()))) : rt::none();
        if (!from) return {};
        Py_ssize_t i = 0;
        for (const char* item : fromlist) {
            PyObject* s = PyUnicode_FromString(item);
            if (!s) return {};
            PyTuple_SET_ITEM(from.get(), i++, s);
        }
        return Ref::steal(PyObject_CallFunction(import_func.get(), "sOOOi", module_name, ns_, Py_None, from.get(), 0));
    }

    // `from <module> import <name>`: the attribute, else the submodule, else ImportError.
    static Ref take_name(PyObject* from, const char* name) {
        Ref attr = Ref::steal(PyObject_GetAttrString(from, name));
        if (attr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return attr;
        PyErr_Clear();
        Ref module_name = Ref::steal(PyObject_GetAttrString(from, "__name__"));
        if (!module_name) PyErr_Clear();
        if (PyModule_Check(from) && module_name && PyUnicode_Check(module_name.get())) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%s", module_name.get(), name));
            if (!full) return {};
            Ref sub = Ref::steal(PyImport_GetModule(full.get()));
            if (sub || PyErr_Occurred()) return sub;
        }
        Ref shown = module_name ? module_name : Ref::steal(PyUnicode_FromString("<unknown module name>"));
        Ref path = PyModule_Check(from) ? Ref::steal(PyModule_GetFilenameObject(from)) : Ref();
        if (!path) PyErr_Clear();
        Ref text = Ref::steal(PyUnicode_FromString(name));
        if (!shown || !text) return {};
        Ref message = path ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", text.get(),
                                                             shown.get(), path.get()))
                           : Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                             text.get(), shown.get()));
        if (message) PyErr_SetImportError(message.get(), shown.get(), path.get());
        return {};
    }

    bool import_from(int line, const char* module_name, std::initializer_list<const char*> names) {
        line_ = line;
        Ref from = import(module_name, names);
        if (!from) return false;
        for (const char* name : names)
            if (!bind(name, take_name(from.get(), name).get())) return false;
        return true;
    }

    bool import_module(int line, const char* module_name) {
        line_ = line;
        return bind(module_name, import(module_name, {}).get());
    }

    bool import_names() {
        return import_from(1, "typing", {"Type", "Union"}) && import_from(2, "functools", {"wraps", "lru_cache"}) &&
               import_module(3, "json") && import_module(4, "requests") &&
               import_from(5, "tolva_engine", {"Base", "Document"}) &&
               import_from(6, "tolva_engine", {"OutOfScopeError", "AuthorizationError"});
    }

    // ---- functions ----

    Ref name_in_ns(const char* name) {
        Ref key = Ref::steal(PyUnicode_FromString(name));
        return key ? rt::load_global(ns_, builtins_.get(), key.get()) : Ref();
    }

    Ref annotation(surface::Ann ann) {
        switch (ann) {
            case surface::Ann::none: return {};
            case surface::Ann::str: return Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
            case surface::Ann::list: return Ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type));
            case surface::Ann::dict: return Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
            case surface::Ann::bool_: return Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
            case surface::Ann::document: return name_in_ns("Document");
            case surface::Ann::optional_dict: {
                Ref union_ = name_in_ns("Union");
                if (!union_) return {};
                Ref pair = Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyDict_Type), Py_None));
                return pair ? Ref::steal(PyObject_GetItem(union_.get(), pair.get())) : Ref();
            }
        }
        return {};
    }

    // A function as `def` makes it: defaults, then annotations in order, then the function.
    Ref make(const surface::Callable& callable) {
        Ref defaults = surface::defaults_for(callable);
        if (!defaults && PyErr_Occurred()) return {};
        Ref annotations = Ref::steal(PyDict_New());
        if (!annotations) return {};
        for (const surface::Param& param : callable.params) {
            if (param.annotation == surface::Ann::none) continue;
            Ref value = annotation(param.annotation);
            if (!value || PyDict_SetItemString(annotations.get(), param.name, value.get()) < 0) return {};
        }
        if (callable.returns != surface::Ann::none) {
            Ref value = annotation(callable.returns);
            if (!value || PyDict_SetItemString(annotations.get(), "return", value.get()) < 0) return {};
        }
        Ref code = surface::code_for(callable, file_.get());
        Ref doc = surface::docstring(callable.doc);
        if (!code || PyErr_Occurred()) return {};
        return rt::make_function({.code = code.get(), .globals = ns_, .qualname = nullptr, .doc = doc.get(),
                                  .defaults = defaults.get(), .annotations = annotations.get(), .closure = nullptr,
                                  .bound = callable.bound.body, .raw = callable.raw});
    }

    bool define_decorators() {
        Ref plain = surface::code_for(surface::need_auth, file_.get());
        Ref coroutine = plain ? surface::code_for(surface::need_auth_async, file_.get()) : Ref();
        if (!coroutine) return false;
        access_control::set_wrapper_codes(plain.get(), coroutine.get());
        line_ = surface::auth_required.first_line;
        if (!bind("auth_required", make(surface::auth_required).get())) return false;
        line_ = surface::auth_required_async.first_line;
        return bind("auth_required_async", make(surface::auth_required_async).get());
    }

    Ref make_class(const char* name, PyObject* class_ns) {
        return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", name, class_ns));
    }

    bool define_auth_client() {
        Ref class_ns = Ref::steal(PyDict_New());
        if (!class_ns) return false;
        Ref module_name = name_in_ns("__name__");
        if (!module_name || PyDict_SetItemString(class_ns.get(), "__module__", module_name.get()) < 0) return false;
        Ref qualname = Ref::steal(PyUnicode_FromString("AuthClient"));
        if (!qualname || PyDict_SetItemString(class_ns.get(), "__qualname__", qualname.get()) < 0) return false;
        for (const surface::Callable& method : surface::auth_client_methods) {
            Ref fn = make(method);
            if (!fn || PyDict_SetItemString(class_ns.get(), method.name, fn.get()) < 0) return false;
        }
        return bind("AuthClient", make_class("AuthClient", class_ns.get()).get());
    }

    // One method of Broadcaster: made, decorated, wrapped in classmethod, stored.
    Ref define_method(const surface::Callable& method) {
        Ref decorator;
        if (method.decorator_line) {
            class_line_ = method.decorator_line;
            decorator = name_in_ns("auth_required_async");
            if (!decorator) return {};
        }
        class_line_ = method.first_line;
        Ref fn = make(method);
        if (!fn) return {};
        if (decorator) {
            class_line_ = method.decorator_line;
            fn = Ref::steal(PyObject_CallOneArg(decorator.get(), fn.get()));
            if (!fn) return {};
        }
        class_line_ = method.classmethod_line;
        Ref classmethod = rt::load_global(builtins_.get(), nullptr, Ref::steal(PyUnicode_FromString("classmethod")).get());
        if (!classmethod) return {};
        Ref wrapped = Ref::steal(PyObject_CallOneArg(classmethod.get(), fn.get()));
        if (wrapped) class_line_ = method.first_line;
        return wrapped;
    }

    bool define_broadcaster() {
        class_line_ = surface::kBroadcasterLine;
        Ref class_ns = Ref::steal(PyDict_New());
        if (!class_ns) return false;
        Ref module_name = name_in_ns("__name__");
        if (!module_name || PyDict_SetItemString(class_ns.get(), "__module__", module_name.get()) < 0) return false;
        Ref doc = Ref::steal(PyUnicode_FromString(surface::kBroadcasterDoc));
        Ref qualname = Ref::steal(PyUnicode_FromString("Broadcaster"));
        Ref registry = Ref::steal(PyDict_New());
        if (!doc || !qualname || !registry || PyDict_SetItemString(class_ns.get(), "__doc__", doc.get()) < 0 ||
            PyDict_SetItemString(class_ns.get(), "__qualname__", qualname.get()) < 0 ||
            PyDict_SetItemString(class_ns.get(), "active_connections", registry.get()) < 0)
            return false;
        broadcaster::forget_own_methods();
        for (const surface::Callable& method : surface::broadcaster_methods) {
            Ref wrapped = define_method(method);
            if (!wrapped || PyDict_SetItemString(class_ns.get(), method.name, wrapped.get()) < 0) return false;
            if (method.hook) broadcaster::remember_own_method(*method.hook, wrapped.get());
        }
        class_line_ = 0;
        return bind("Broadcaster", make_class("Broadcaster", class_ns.get()).get());
    }

    bool install_file_hook() {
        line_ = 0;
        Ref state = Ref::steal(PyTuple_Pack(3, module_.get(), own_spec_ ? own_spec_.get() : Py_None, file_.get()));
        if (!state) return false;
        Ref hook = Ref::steal(PyCFunction_New(&restore_file_def, state.get()));
        return bind("__getattr__", hook.get());
    }
};

bool ready_runtime() {
    if (!rt::classmethod_layout_holds()) {
        PyErr_SetString(PyExc_SystemError, "classmethod objects are not laid out as this module reads them");
        return false;
    }
    return rt::ready_function_type() == 0 && rt::ready_coroutine_type() == 0;
}

// A module whose body failed leaves sys.modules under the name its namespace holds, as a failed
// import of a Python module does.
void forget_module(PyObject* module) {
    rt::ErrorTriple pending = rt::ErrorTriple::fetch();
    // Held: what leaves sys.modules may run code that changes this namespace as it goes.
    Ref name = Ref::borrow(PyDict_GetItemString(PyModule_GetDict(module), "__name__"));
    if (name) {
        PyObject* modules = PyImport_GetModuleDict();
        if (PyMapping_HasKey(modules, name.get()) && PyObject_DelItem(modules, name.get()) < 0) PyErr_Clear();
    }
    pending.restore();
}

// Runs `make` with no C++ exception let out: making the module builds vectors and strings (the
// surface table, docstrings), and the interpreter must see running out of memory there as
// MemoryError, never as an exception unwinding through its own frames.
template <class Make>
auto without_cpp_exceptions(Make&& make) -> decltype(make()) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception while making the module");
    }
    return {};
}

PyObject* make_module() {
    if (!ready_runtime()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref name = Ref::steal(PyModule_GetNameObject(module.get()));
    if (!name || PyObject_SetItem(PyImport_GetModuleDict(), name.get(), module.get()) < 0) return nullptr;
    const bool ran = without_cpp_exceptions([&] {
        ModuleBody body(module.get());
        return body.run();
    });
    if (!ran) {
        forget_module(module.get());
        return nullptr;
    }
    return module.release();
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_broadcast(void) { return without_cpp_exceptions(make_module); }
