// How the broadcaster reaches its own methods and the host's overrides: always as `cls.<name>`.
//
// When `cls.<name>` would give the module's own class method (the host did not override it), its
// body may run directly, which is what the attribute lookup and call would do anyway.
#pragma once

#include "runtime/ref.hpp"

namespace broadcaster {

enum class Hook : int {
    accept,
    subscribe,
    disconnect,
    send_message_async,
    send_json_async,
    get_message_body,
    subscriber_is_connected,
    check_subscriber_acl,
    document_sent_async,
    count,
};

// Called while the class is made, with each class method as stored in its namespace.
void forget_own_methods();
void remember_own_method(const char* name, PyObject* classmethod);

// True when `cls.<hook>` resolves to the module's own method.
bool is_own(PyObject* cls, Hook hook);

// `cls.<hook>`
rt::Ref lookup_hook(PyObject* cls, Hook hook);

// `cls.<hook>(args...)`; a new reference, or null with an exception set.
rt::Ref call_hook(PyObject* cls, Hook hook, std::initializer_list<PyObject*> args);

// `cls.active_connections`
rt::Ref registry_of(PyObject* cls);

}  // namespace broadcaster
