#include "module/engine.hpp"

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
const rt::Name kCatalog{"catalog"};
const rt::Name kShowHidden{"show_hidden"};
const rt::Name kOutOfScopeError{"OutOfScopeError"};
const rt::Name kAuthorizationError{"AuthorizationError"};

PyObject* display_keywords() {
    static PyObject* names = nullptr;
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

Ref check_acl(PyObject* doc, PyObject* acl) {
    PyObject* args[] = {doc, acl, kRead.get(), doc, Py_False};
    if (!args[2]) return {};
    return Ref::steal(PyObject_VectorcallMethod(kCheckAcl.get(), args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref message_body(rt::Function* fn, PyObject* doc, PyObject* data_scope, PyObject* catalog, PyObject* show_hidden) {
    PyObject* scope_args[] = {doc, data_scope};
    Ref checked = Ref::steal(
        PyObject_VectorcallMethod(kCheckScope.get(), scope_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Ref body;
    if (checked) {
        PyObject* display_args[] = {doc, catalog, show_hidden};
        PyObject* keywords = display_keywords();
        if (keywords)
            body = Ref::steal(PyObject_VectorcallMethod(kGetDisplayData.get(), display_args,
                                                        1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
        if (body) return body;
    }
    // The handler's class is looked up only now, while the exception is being handled.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(value);
    Ref handler = rt::load_global(fn->globals.get(), fn->builtins.get(), kOutOfScopeError.get());
    int matches = -1;
    if (handler) {
        PyErr_Restore(type, value, tb);
        matches = pending_matches(handler.get());
        if (matches == 1) PyErr_Clear();
    } else {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    if (matches == 1) return rt::none();
    return {};
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
