#include "broadcaster/hooks.hpp"

#include "runtime/name.hpp"

#include <cstring>

namespace broadcaster {

using rt::Ref;

namespace {

const rt::Name kHookNames[] = {
    rt::Name{"accept"},          rt::Name{"subscribe"},       rt::Name{"disconnect"},
    rt::Name{"send_message_async"}, rt::Name{"send_json_async"}, rt::Name{"get_message_body"},
    rt::Name{"subscriber_is_connected"}, rt::Name{"check_subscriber_acl"}, rt::Name{"document_sent_async"},
};
static_assert(sizeof(kHookNames) / sizeof(kHookNames[0]) == static_cast<size_t>(Hook::count));

const rt::Name kActiveConnections{"active_connections"};

// The class methods the module stored; held for the life of the process so that an identity
// test against them can never meet a recycled address.
PyObject* own_methods[static_cast<int>(Hook::count)] = {};

}  // namespace

void forget_own_methods() {
    for (PyObject*& method : own_methods) {
        PyObject* old = method;
        method = nullptr;
        Py_XDECREF(old);
    }
}

void remember_own_method(const char* name, PyObject* classmethod) {
    for (int i = 0; i < static_cast<int>(Hook::count); ++i) {
        if (std::strcmp(kHookNames[i].text(), name) == 0) {
            Py_INCREF(classmethod);
            own_methods[i] = classmethod;
        }
    }
}

bool is_own(PyObject* cls, Hook hook) {
    // A metaclass other than `type` could intercept the lookup: take the general road then.
    if (!Py_IS_TYPE(cls, &PyType_Type)) return false;
    PyObject* name = kHookNames[static_cast<int>(hook)].get();
    if (!name) {
        PyErr_Clear();
        return false;
    }
    PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
    return found && found == own_methods[static_cast<int>(hook)];
}

Ref lookup_hook(PyObject* cls, Hook hook) {
    return Ref::steal(PyObject_GetAttr(cls, kHookNames[static_cast<int>(hook)].get()));
}

Ref call_hook(PyObject* cls, Hook hook, std::initializer_list<PyObject*> args) {
    Ref method = lookup_hook(cls, hook);
    if (!method) return {};
    return Ref::steal(PyObject_Vectorcall(method.get(), args.begin(), args.size(), nullptr));
}

Ref registry_of(PyObject* cls) {
    PyObject* name = kActiveConnections.get();
    if (name && Py_IS_TYPE(cls, &PyType_Type)) {
        // A plain class attribute (no descriptor) is what the lookup gives as it is.
        PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
        if (found && !Py_TYPE(found)->tp_descr_get) return Ref::borrow(found);
    }
    return Ref::steal(PyObject_GetAttr(cls, name));
}

}  // namespace broadcaster
