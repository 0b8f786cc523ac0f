// The Broadcaster class methods (cls first, as classmethod binds it).
#pragma once

#include "runtime/function.hpp"

namespace broadcaster {

// Registry and connection hooks
PyObject* accept(rt::Function* fn, PyObject* const* locals);
PyObject* subscribe(rt::Function* fn, PyObject* const* locals);
PyObject* disconnect(rt::Function* fn, PyObject* const* locals);
PyObject* subscriber_is_connected(rt::Function* fn, PyObject* const* locals);

// Delivery
PyObject* send_message_async(rt::Function* fn, PyObject* const* locals);
PyObject* send_json_async(rt::Function* fn, PyObject* const* locals);

// Filtering
PyObject* get_message_body(rt::Function* fn, PyObject* const* locals);
PyObject* check_subscriber_acl(rt::Function* fn, PyObject* const* locals);

// Fan-out
PyObject* document_sent_async(rt::Function* fn, PyObject* const* locals);

}  // namespace broadcaster
