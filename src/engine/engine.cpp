#include "engine/engine.hpp"

#include "runtime/handling.hpp"
#include "runtime/layout.hpp"
#include "runtime/name.hpp"

namespace engine {

using rt::Ref;

namespace {

const rt::Name kClass{"__class__"};
const rt::Name kName{"__name__"};
const rt::Name kCheckAcl{"check_acl"};
const rt::Name kCheckScope{"check_scope"};
const rt::Name kGetDisplayData{"get_display_data"};
const rt::Name kRead{"read"};
const rt::Name* const kOperationNames[] = {&kCheckAcl, &kCheckScope, &kGetDisplayData};
const rt::Name kCatalog{"catalog"};
const rt::Name kShowHidden{"show_hidden"};
const rt::Name kOutOfScopeError{"OutOfScopeError"};
const rt::Name kAuthorizationError{"AuthorizationError"};

PyObject* display_keywords() {
    static PyObject* names = nullptr;  // process-wide, as module/init.cpp lists
    if (!names && kCatalog.get() && kShowHidden.get()) names = PyTuple_Pack(2, kCatalog.get(), kShowHidden.get());
    return names;
}

// `except <handler>:` for the pending exception, with the interpreter's rule on what may be caught.
int pending_matches(PyObject* handler) {
    if (PyTuple_Check(handler)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handler); ++i) {
            PyObject* item = PyTuple_GET_ITEM(handler, i);
            if (!PyExceptionClass_Check(item)) goto invalid;
        }
    } else if (!PyExceptionClass_Check(handler)) {
        goto invalid;
    }
    return PyErr_ExceptionMatches(handler);
invalid:
    PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    return -1;
}

}  // namespace

Ref class_name(PyObject* doc) {
    Ref cls = Ref::steal(PyObject_GetAttr(doc, kClass.get()));
    return cls ? Ref::steal(PyObject_GetAttr(cls.get(), kName.get())) : Ref();
}

// ---- Document ----

int Document::traverse(visitproc visitor, void* arg) const {
    for (const Ref* ref : {&doc_, &type_, &functions_[0], &functions_[1], &functions_[2], &dict_})
        if (int err = rt::visit(*ref, visitor, arg)) return err;
    return 0;
}

Ref Document::call(Op op, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    if (kept_) [[likely]] {
        // Held in functions_, which only the next call can change.
        if (PyObject* function = found_function(op)) [[likely]]
            return rt::call(function, args, nargs, kwnames);
    }
    PyObject* name = kOperationNames[op]->get();
    if (!name) return {};
    return Ref::steal(PyObject_VectorcallMethod(name, args, nargs, kwnames));
}

// The function that doc.<op> binds, when the last lookups still hold; null when it has to be
// looked up now.
PyObject* Document::found_function(Op op) {
    if (!found_ || !still_found()) [[unlikely]]
        find_functions();
    return functions_[op].get();
}

// Whether what the last lookups read still stands: the document's class and its version, and
// where the document keeps its attributes, unchanged.
bool Document::still_found() const {
    PyTypeObject* type = Py_TYPE(doc_.get());
    if (reinterpret_cast<PyObject*>(type) != type_.get() || type->tp_version_tag != version_ ||
        !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        return false;
    rt::InstanceAttrs attrs = rt::instance_attrs(doc_.get());
    if (attrs.in_values != in_values_) return false;
    if (in_values_)
        return rt::shared_names(type) == shared_names_ && rt::shared_name_count(shared_names_) == shared_count_;
    if (attrs.dict != dict_.get()) return false;
    return !dict_ || rt::dict_version(dict_.get()) == dict_version_;
}

// What doc.<name> finds for each operation: a plain function of the class, when the class's
// attribute lookup is the standard one and the document holds no attribute by that name.
// Nothing is remembered when finding it could run code (a key of the document's own dict
// that is not a str compares by its own __eq__): every call then looks it up as the
// interpreter does, with that code run at the moment and as often as the interpreter runs it.
void Document::find_functions() {
    found_ = false;
    for (Ref& function : functions_) function.reset();
    PyObject* doc = doc_.get();
    // Held: a class lookup may compare keys of the class namespaces, which can run code.
    Ref type_ref = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(doc)));
    auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
    if (type->tp_getattro != PyObject_GenericGetAttr || !rt::has_managed_attrs(type) ||
        !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE))
        return;
    rt::InstanceAttrs attrs = rt::instance_attrs(doc);
    const void* shared = rt::shared_names(type);
    if (attrs.in_values && !shared) return;
    if (!attrs.in_values && attrs.dict && (!PyDict_CheckExact(attrs.dict) || !rt::has_string_keys_only(attrs.dict)))
        return;
    Ref dict = Ref::borrow(attrs.in_values ? nullptr : attrs.dict);
    const uint64_t dict_version = dict ? rt::dict_version(dict.get()) : 0;
    Ref found[kOps];
    for (int op = 0; op < kOps; ++op) {
        PyObject* name = kOperationNames[op]->get();
        if (!name) {
            PyErr_Clear();
            return;
        }
        Ref descr = Ref::borrow(_PyType_Lookup(type, name));
        if (!descr || !PyFunction_Check(descr.get())) continue;
        // A str looked up among str keys: no code runs here.
        bool shadowed = attrs.in_values ? rt::shares_name(shared, name) : dict && PyDict_Contains(dict.get(), name) != 0;
        if (!shadowed) found[op] = std::move(descr);
    }
    for (int op = 0; op < kOps; ++op) functions_[op] = std::move(found[op]);
    type_ = std::move(type_ref);
    version_ = type->tp_version_tag;
    in_values_ = attrs.in_values;
    shared_names_ = shared;
    shared_count_ = shared ? rt::shared_name_count(shared) : 0;
    dict_ = std::move(dict);
    dict_version_ = dict_version;
    // A class lookup may have run code: what was read before the lookups must still stand.
    found_ = still_found();
    if (!found_)
        for (Ref& function : functions_) function.reset();
}

Ref Document::check_acl(PyObject* acl) {
    PyObject* read = kRead.get();
    if (!read) return {};
    PyObject* args[] = {doc_.get(), acl, read, doc_.get(), Py_False};
    return call(kAclOp, args, 5, nullptr);
}

Ref Document::message_body(rt::Function* fn, PyObject* data_scope, PyObject* catalog, PyObject* show_hidden) {
    PyObject* scope_args[] = {doc_.get(), data_scope};
    Ref checked = call(kScopeOp, scope_args, 2, nullptr);
    Ref body;
    if (checked) {
        PyObject* display_args[] = {doc_.get(), catalog, show_hidden};
        PyObject* keywords = display_keywords();
        if (keywords) body = call(kDisplayOp, display_args, 1, keywords);
        if (body) return body;
    }
    // The handler's class is looked up only now, while the exception is being handled.
    rt::Handling handling;
    Ref handler = rt::load_global(fn->globals.get(), fn->builtins.get(), kOutOfScopeError.get());
    if (!handler) return {};
    handling.reraise();
    if (pending_matches(handler.get()) != 1) return {};
    PyErr_Clear();
    return rt::none();
}

PyObject* raise_authorization_error(rt::Function* fn, const char* message) {
    Ref error_class = rt::load_global(fn->globals.get(), fn->builtins.get(), kAuthorizationError.get());
    if (!error_class) return nullptr;
    Ref error = Ref::steal(PyObject_CallFunction(error_class.get(), "s", message));
    if (!error) return nullptr;
    if (PyExceptionInstance_Check(error.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    } else if (PyExceptionClass_Check(error.get())) {
        PyErr_SetNone(error.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

}  // namespace engine
