#include "broadcaster/hooks.hpp"

#include "broadcaster/names.hpp"
#include "runtime/function.hpp"
#include "runtime/name.hpp"

#include <utility>

namespace broadcaster {

using rt::Ref;

namespace {

const rt::Name kHookAttributes[] = {
#define BROADCASTER_HOOK_ATTRIBUTE(name) rt::Name{#name},
    BROADCASTER_HOOKS(BROADCASTER_HOOK_ATTRIBUTE)
#undef BROADCASTER_HOOK_ATTRIBUTE
};


// The class methods the module stored, and the functions they wrapped then; process-wide (as
// module/init.cpp lists), held so that an identity test against them can never meet a recycled
// address.
PyObject* own_methods[static_cast<int>(Hook::count)] = {};
PyObject* own_functions[static_cast<int>(Hook::count)] = {};

PyObject* name_of(Hook hook) { return kHookAttributes[static_cast<int>(hook)].get(); }

// A class whose metaclass is `type` looks its attributes up in its MRO and nowhere else that a
// hook's name could be found.
bool plain_class(PyObject* cls) { return Py_IS_TYPE(cls, &PyType_Type); }

// The function a class method wraps, when `cls.<name>(...)` amounts to calling it with `cls`
// first (a function binds to the class as a method); null otherwise.
PyObject* function_of(PyObject* found) {
    if (!found || !Py_IS_TYPE(found, &PyClassMethod_Type)) return nullptr;
    PyObject* callable = rt::classmethod_callable(found);
    if (!callable) return nullptr;
    return PyFunction_Check(callable) || rt::is_function(callable) ? callable : nullptr;
}

PyObject* find_uncached(PyObject* cls, Hook hook) {
    if (!plain_class(cls)) return nullptr;
    PyObject* name = name_of(hook);
    if (!name) {
        PyErr_Clear();
        return nullptr;
    }
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
}

}  // namespace

// The class method of a function that the lookup found, as a Method; empty otherwise.
Method class_method(Hook hook, PyObject* found) {
    Method method;
    if (PyObject* function = function_of(found)) {
        const int index = static_cast<int>(hook);
        method.callable_ = Ref::borrow(function);
        method.descr_ = Ref::borrow(found);
        method.with_class_ = true;
        method.own_ = found == own_methods[index] && function == own_functions[index];
    }
    return method;
}

// `cls.<hook>` through the class's own attribute lookup.
Method bound_attribute(PyObject* cls, Hook hook) {
    Method method;
    method.callable_ = Ref::steal(PyObject_GetAttr(cls, name_of(hook)));
    return method;
}

Ref Method::call_bound(std::initializer_list<PyObject*> args) const {
    if (with_class_) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for a hook");
        return {};
    }
    return rt::call(callable_.get(), args.begin(), args.size(), nullptr);
}

void forget_own_methods() {
    for (PyObject** slots : {own_methods, own_functions}) {
        for (int i = 0; i < static_cast<int>(Hook::count); ++i) Ref::steal(std::exchange(slots[i], nullptr)).reset();
    }
}

void remember_own_method(Hook hook, PyObject* classmethod) {
    const int index = static_cast<int>(hook);
    PyObject* function =
        Py_IS_TYPE(classmethod, &PyClassMethod_Type) ? rt::classmethod_callable(classmethod) : nullptr;
    Ref::steal(std::exchange(own_methods[index], Ref::borrow(classmethod).release())).reset();
    Ref::steal(std::exchange(own_functions[index], Ref::borrow(function).release())).reset();
}

PyObject* own_function(Hook hook) { return own_functions[static_cast<int>(hook)]; }

Method lookup_hook(PyObject* cls, Hook hook) {
    Method method = class_method(hook, find_uncached(cls, hook));
    return method ? method : bound_attribute(cls, hook);
}

Ref call_hook(PyObject* cls, Hook hook, std::initializer_list<PyObject*> args) {
    Method method = lookup_hook(cls, hook);
    return method ? method(cls, args) : Ref();
}

Ref registry_of(PyObject* cls) {
    PyObject* name = names::active_connections.get();
    if (name && plain_class(cls)) {
        // A plain class attribute (no descriptor) is what the lookup gives as it is.
        PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
        if (found && !Py_TYPE(found)->tp_descr_get) return Ref::borrow(found);
    }
    return Ref::steal(PyObject_GetAttr(cls, name));
}

// ---- Hooks ----

const Method& Hooks::find(Hook hook) {
    PyObject* cls = cls_.get();
    const int index = static_cast<int>(hook);
    if (plain_class(cls)) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (!still_found(type, index)) {
            Method found = class_method(hook, find_uncached(cls, hook));
            // The lookup gives the class a version tag when it can; only then can its answer be kept.
            if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
                latest_ = found ? std::move(found) : bound_attribute(cls, hook);
                return latest_;
            }
            if (type->tp_version_tag != version_) {
                version_ = type->tp_version_tag;
                known_ = 0;
            }
            methods_[index] = std::move(found);
            known_ |= 1u << index;
        }
        if (methods_[index]) return methods_[index];
    }
    latest_ = bound_attribute(cls, hook);
    return latest_;
}

Ref Hooks::call(Hook hook, std::initializer_list<PyObject*> args) {
    Method method = lookup(hook);
    return method ? method(cls_.get(), args) : Ref();
}

int Hooks::traverse(visitproc visitor, void* arg) const {
    if (int err = rt::visit(cls_, visitor, arg)) return err;
    for (const Method& method : methods_)
        if (int err = method.traverse(visitor, arg)) return err;
    return latest_.traverse(visitor, arg);
}

}  // namespace broadcaster
