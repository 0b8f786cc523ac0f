// The subscriber registry: cls.active_connections maps a document class name to its subscribers,
// each websocket to its subscription parameters.
#include "broadcaster/broadcaster.hpp"
#include "broadcaster/hooks.hpp"
#include "broadcaster/params.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/name.hpp"

namespace broadcaster {

using rt::Ref;

namespace {

const rt::Name kPop{"pop"};
const rt::Name kItems{"items"};

enum SubscribeLocal { kCls, kWebsocket, kClassName, kScope, kCatalogArg, kShowHiddenArg, kStartSeqArg, kAclArg, kKwargs, kSubscribeLocals };

PyObject* return_none(PyObject* const*) { return rt::none().release(); }

// The five fixed keys in their order, then the extra keywords in theirs.
Ref subscription_params(PyObject* const* locals) {
    Ref sub_params = Ref::steal(PyDict_New());
    if (!sub_params) return {};
    const std::pair<const rt::Name*, PyObject*> fixed[] = {
        {&params::data_scope, locals[kScope]},     {&params::catalog, locals[kCatalogArg]}, {&params::show_hidden, locals[kShowHiddenArg]},
        {&params::start_seq, locals[kStartSeqArg]}, {&params::acl, locals[kAclArg]},
    };
    for (const auto& [key, value] : fixed)
        if (!key->get() || PyDict_SetItem(sub_params.get(), key->get(), value) < 0) return {};
    if (PyDict_GET_SIZE(locals[kKwargs]) && PyDict_Merge(sub_params.get(), locals[kKwargs], 1) < 0) return {};
    return sub_params;
}

PyObject* subscribe_now(PyObject* const* locals) {
    PyObject* cls = locals[kCls];
    PyObject* class_name = locals[kClassName];
    Ref registry = registry_of(cls);
    if (!registry) return nullptr;
    int known = PySequence_Contains(registry.get(), class_name);
    if (known < 0) return nullptr;
    if (!known) {
        Ref subscribers = Ref::steal(PyDict_New());
        if (!subscribers) return nullptr;
        registry = registry_of(cls);
        if (!registry || PyObject_SetItem(registry.get(), class_name, subscribers.get()) < 0) return nullptr;
    }
    Ref sub_params = subscription_params(locals);
    if (!sub_params) return nullptr;
    registry = registry_of(cls);
    if (!registry) return nullptr;
    Ref subscribers = Ref::steal(PyObject_GetItem(registry.get(), class_name));
    if (!subscribers || PyObject_SetItem(subscribers.get(), locals[kWebsocket], sub_params.get()) < 0) return nullptr;
    return sub_params.release();
}

// subscribers.pop(websocket, None), result dropped; false with an exception set on failure.
bool pop_subscriber(PyObject* subscribers, PyObject* websocket) {
    Ref popped;
    if (PyDict_CheckExact(subscribers)) {
        popped = Ref::steal(_PyDict_Pop(subscribers, websocket, Py_None));
    } else {
        PyObject* args[] = {subscribers, websocket, Py_None};
        popped = Ref::steal(PyObject_VectorcallMethod(kPop.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return static_cast<bool>(popped);
}

bool disconnect_from_dict(PyObject* registry, PyObject* websocket) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    const Py_ssize_t size = PyDict_GET_SIZE(registry);
    while (PyDict_Next(registry, &pos, &key, &value)) {
        Ref subscribers = Ref::borrow(value);
        if (!pop_subscriber(subscribers.get(), websocket)) return false;
        if (PyDict_GET_SIZE(registry) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
    }
    return true;
}

bool disconnect_from_mapping(PyObject* registry, PyObject* websocket) {
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(registry, kItems.get()));
    Ref iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref pair = Ref::steal(PySequence_Tuple(item.get()));
        if (!pair) return false;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError,
                         PyTuple_GET_SIZE(pair.get()) < 2 ? "not enough values to unpack (expected 2, got %zd)"
                                                         : "too many values to unpack (expected 2)",
                         PyTuple_GET_SIZE(pair.get()));
            return false;
        }
        if (!pop_subscriber(PyTuple_GET_ITEM(pair.get(), 1), websocket)) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* accept(rt::Function* fn, PyObject* const* locals) {
    return rt::make_immediate_coroutine(fn->code.get(), return_none, locals, 2).release();
}

PyObject* subscribe(rt::Function* fn, PyObject* const* locals) {
    return rt::make_immediate_coroutine(fn->code.get(), subscribe_now, locals, kSubscribeLocals).release();
}

PyObject* disconnect(rt::Function*, PyObject* const* locals) {
    Ref registry = registry_of(locals[0]);
    if (!registry) return nullptr;
    bool done = PyDict_CheckExact(registry.get()) ? disconnect_from_dict(registry.get(), locals[1])
                                                  : disconnect_from_mapping(registry.get(), locals[1]);
    return done ? rt::none().release() : nullptr;
}

PyObject* subscriber_is_connected(rt::Function*, PyObject* const*) { return rt::boolean(true).release(); }

}  // namespace broadcaster
