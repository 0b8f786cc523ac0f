// The Broadcaster class methods (cls first, as classmethod binds it). Each body reads its
// variables through the enum above it, in the order of the code's variable names; `count` is
// how many the call binds, which the surface table checks against the method's parameters.
#pragma once

#include "runtime/function.hpp"

namespace broadcaster {

// Registry and connection hooks
struct AcceptArgs { enum : Py_ssize_t { cls, websocket, count }; };
PyObject* accept(rt::Function* fn, PyObject* const* locals);
struct SubscribeArgs {
    enum : Py_ssize_t { cls, websocket, class_name, data_scope, catalog, show_hidden, start_seq, acl, kwargs, count,
                        sub_params = count };
};
struct SubscribeSteps { enum : int { known = 1, add_class, params, store, done }; };
PyObject* subscribe(rt::Function* fn, PyObject* const* locals);
struct DisconnectArgs { enum : Py_ssize_t { cls, websocket, count }; };
struct DisconnectSteps { enum : int { loop = 1 }; };
PyObject* disconnect(rt::Function* fn, PyObject* const* locals);
struct SubscriberIsConnectedArgs { enum : Py_ssize_t { cls, websocket, count }; };
PyObject* subscriber_is_connected(rt::Function* fn, PyObject* const* locals);

// Delivery
struct SendMessageArgs { enum : Py_ssize_t { cls, websocket, message, count }; };
PyObject* send_message_async(rt::Function* fn, PyObject* const* locals);
struct SendJsonArgs { enum : Py_ssize_t { cls, websocket, content, count, message = count }; };
// The steps of its body, in the order of its code's line table (0 is the first line).
struct SendJsonSteps { enum : int { dumps = 1, await_send }; };
PyObject* send_json_async(rt::Function* fn, PyObject* const* locals);

// Filtering
struct MessageBodySteps { enum : int { check_scope = 1 }; };
struct MessageBodyArgs { enum : Py_ssize_t { cls, doc, data_scope, catalog, show_hidden, count }; };
PyObject* get_message_body(rt::Function* fn, PyObject* const* locals);
struct CheckAclSteps { enum : int { check = 1 }; };
struct CheckAclArgs { enum : Py_ssize_t { cls, doc, acl, count }; };
PyObject* check_subscriber_acl(rt::Function* fn, PyObject* const* locals);

// Fan-out
struct DocumentSentArgs {
    enum : Py_ssize_t {
        cls, doc, op, seq, count,
        doc_class = count, doc_class_subscriber, closed_subscribers, websocket, param, message, closed_subscriber
    };
};
struct DocumentSentSteps {
    enum : int {
        doc_class = 1, subscribers, closed_list, any, nothing, loop, registered, connected, closed, param, start_seq,
        acl, body, any_body, send, sweep, disconnect
    };
};
PyObject* document_sent_async(rt::Function* fn, PyObject* const* locals);

}  // namespace broadcaster
