// The subscriber registry: cls.active_connections maps a document class name to its subscribers,
// each websocket to its subscription parameters.
#include "broadcaster/broadcaster.hpp"
#include "broadcaster/hooks.hpp"
#include "broadcaster/names.hpp"
#include "broadcaster/params.hpp"
#include "runtime/immediate.hpp"
#include "runtime/layout.hpp"
#include "runtime/name.hpp"

namespace broadcaster {

using rt::Ref;

namespace {


using Args = SubscribeArgs;

// {"data_scope": None, ...}: the five fixed keys in their order.
PyObject* params_shape() {
    static PyObject* shape = nullptr;  // process-wide, as module/init.cpp lists
    if (shape) return shape;
    Ref made = Ref::steal(PyDict_New());
    if (!made) return nullptr;
    for (const rt::Name* key : {&params::data_scope, &params::catalog, &params::show_hidden, &params::start_seq, &params::acl})
        if (!key->get() || PyDict_SetItem(made.get(), key->get(), Py_None) < 0) return nullptr;
    shape = made.release();
    return shape;
}

// The five fixed keys in their order, then the extra keywords in theirs. The dict starts as a copy
// of the five keys' shape, which is the dict a display of five items makes, and takes its values
// in place.
Ref subscription_params(PyObject* const* locals) {
    PyObject* shape = params_shape();
    Ref sub_params = shape ? Ref::steal(PyDict_Copy(shape)) : Ref();
    if (!sub_params) return {};
    const std::pair<const rt::Name*, PyObject*> fixed[] = {
        {&params::data_scope, locals[Args::data_scope]},     {&params::catalog, locals[Args::catalog]}, {&params::show_hidden, locals[Args::show_hidden]},
        {&params::start_seq, locals[Args::start_seq]}, {&params::acl, locals[Args::acl]},
    };
    Py_ssize_t position = 0;
    for (const auto& [key, value] : fixed) {
        if (!rt::exchange_entry_value(sub_params.get(), position++, key->get(), value) &&
            PyDict_SetItem(sub_params.get(), key->get(), value) < 0)
            return {};
    }
    PyObject* kwargs = locals[Args::kwargs];
    if (kwargs && PyDict_GET_SIZE(kwargs) && PyDict_Merge(sub_params.get(), kwargs, 1) < 0) return {};
    return sub_params;
}

// cls.active_connections[class_name], found while testing `class_name in cls.active_connections`;
// 1 found, 0 not there, -1 error.
int find_subscribers(PyObject* registry, PyObject* class_name, Ref& subscribers) {
    if (!PyDict_CheckExact(registry)) return PySequence_Contains(registry, class_name);
    subscribers = Ref::borrow(PyDict_GetItemWithError(registry, class_name));
    if (subscribers) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* subscribe_now(PyObject* const* locals) {
    PyObject* cls = locals[Args::cls];
    PyObject* class_name = locals[Args::class_name];
    rt::InterpreterFrame* frame = rt::running_frame();
    rt::at_step(frame, SubscribeSteps::known);
    Ref registry = registry_of(cls);
    if (!registry) return nullptr;
    Ref subscribers;
    int known = find_subscribers(registry.get(), class_name, subscribers);
    if (known < 0) return nullptr;
    if (!known) {
        rt::at_step(frame, SubscribeSteps::add_class);
        subscribers = Ref::steal(PyDict_New());
        if (!subscribers) return nullptr;
        registry = registry_of(cls);
        if (!registry || PyObject_SetItem(registry.get(), class_name, subscribers.get()) < 0) return nullptr;
    }
    // What registry[class_name] gives stays known while the registry is unchanged, when finding it
    // again would run no code (a str key in an exact dict).
    const bool exact = PyDict_CheckExact(registry.get()) && PyUnicode_CheckExact(class_name);
    const uint64_t seen = exact ? rt::dict_version(registry.get()) : 0;
    rt::at_step(frame, SubscribeSteps::params);
    Ref sub_params = subscription_params(locals);
    if (!sub_params) return nullptr;
    rt::bind_local(frame, Args::sub_params, sub_params.get());
    rt::at_step(frame, SubscribeSteps::store);
    Ref current = registry_of(cls);
    if (!current) return nullptr;
    if (!(exact && current.get() == registry.get() && rt::dict_version(registry.get()) == seen)) {
        subscribers = Ref::steal(PyObject_GetItem(current.get(), class_name));
        if (!subscribers) return nullptr;
    }
    if (PyObject_SetItem(subscribers.get(), locals[Args::websocket], sub_params.get()) < 0) return nullptr;
    rt::at_step(frame, SubscribeSteps::done);
    return sub_params.release();
}

// subscribers.pop(websocket, None), result dropped; false with an exception set on failure.
bool pop_subscriber(PyObject* subscribers, PyObject* websocket) {
    Ref popped;
    if (PyDict_CheckExact(subscribers)) {
        popped = Ref::steal(_PyDict_Pop(subscribers, websocket, Py_None));
    } else {
        PyObject* args[] = {subscribers, websocket, Py_None};
        popped = Ref::steal(PyObject_VectorcallMethod(names::pop.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return static_cast<bool>(popped);
}

// The websocket's hash, when taking it once for every class name is what hashing it each time
// would give without running any code (identity and string hashes); -1 otherwise.
Py_hash_t hash_once(PyObject* websocket) {
    if (Py_TYPE(websocket)->tp_hash != PyBaseObject_Type.tp_hash && !PyUnicode_CheckExact(websocket)) return -1;
    Py_hash_t hash = PyObject_Hash(websocket);
    if (hash == -1) PyErr_Clear();
    return hash;
}

bool disconnect_from_dict(PyObject* registry, PyObject* websocket) {
    const Py_ssize_t size = PyDict_GET_SIZE(registry);
    const Py_hash_t hash = hash_once(websocket);
    Py_ssize_t pos = 0;
    Py_ssize_t remaining = size;
    for (;;) {
        // Entry by entry as PyDict_Next goes, the table read afresh each time.
        rt::EntryValues values = rt::entry_values(registry);
        PyObject* value = nullptr;
        if (values.first) {
            while (pos < values.count && !(value = values[pos])) ++pos;
            if (!value) return true;
            // A class name's turn is mostly one probe that runs no code: look far ahead.
            rt::prefetch_ahead<8, 4>(values, pos++);
        } else {
            PyObject* key;
            if (!PyDict_Next(registry, &pos, &key, &value)) return true;
        }
        // As the items iterator does: more entries than there were is an error.
        if (--remaining < 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return false;
        }
        // Most class names do not hold the websocket: a probe that runs no code says so at once.
        if (hash != -1 && PyDict_CheckExact(value) && rt::holds_identical_key(value, websocket, hash) == 0) continue;
        Ref subscribers = Ref::borrow(value);
        if (!pop_subscriber(subscribers.get(), websocket)) return false;
        if (PyDict_GET_SIZE(registry) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
    }
}

// `_, value = item`, with the interpreter's rules and messages for unpacking into two names;
// null with an exception set when it cannot.
Ref second_of_pair(PyObject* item) {
    if ((PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) || (PyList_CheckExact(item) && PyList_GET_SIZE(item) == 2))
        return Ref::borrow(PySequence_Fast_ITEMS(item)[1]);
    Ref iter = Ref::steal(PyObject_GetIter(item));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return {};
    }
    Ref values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!values[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return {};
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (!extra) return PyErr_Occurred() ? Ref() : std::move(values[1]);
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {};
}

bool disconnect_from_mapping(PyObject* registry, PyObject* websocket) {
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(registry, names::items.get()));
    Ref iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref subscribers = second_of_pair(item.get());
        if (!subscribers || !pop_subscriber(subscribers.get(), websocket)) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* accept(rt::Function* fn, PyObject* const* locals) {
    return rt::make_immediate_coroutine(reinterpret_cast<PyObject*>(fn), rt::return_none, locals, AcceptArgs::count).release();
}

PyObject* subscribe(rt::Function* fn, PyObject* const* locals) {
    return rt::make_immediate_coroutine(reinterpret_cast<PyObject*>(fn), subscribe_now, locals, Args::count).release();
}

PyObject* disconnect(rt::Function*, PyObject* const* locals) {
    rt::at_step(rt::running_frame(), DisconnectSteps::loop);
    Ref registry = registry_of(locals[DisconnectArgs::cls]);
    if (!registry) return nullptr;
    PyObject* websocket = locals[DisconnectArgs::websocket];
    bool done = PyDict_CheckExact(registry.get()) ? disconnect_from_dict(registry.get(), websocket)
                                                  : disconnect_from_mapping(registry.get(), websocket);
    return done ? rt::none().release() : nullptr;
}

PyObject* subscriber_is_connected(rt::Function*, PyObject* const*) { return rt::boolean(true).release(); }

}  // namespace broadcaster
