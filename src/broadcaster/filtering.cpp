// Per-subscriber filtering: may this subscriber read the document, and what part of it does
// its subscription show. All knowledge of documents stays with the engine.
#include "broadcaster/broadcaster.hpp"
#include "engine/engine.hpp"

namespace broadcaster {

PyObject* get_message_body(rt::Function* fn, PyObject* const* locals) {
    return engine::Document(locals[1], false).message_body(fn, locals[2], locals[3], locals[4]).release();
}

PyObject* check_subscriber_acl(rt::Function*, PyObject* const* locals) {
    return engine::Document(locals[1], false).check_acl(locals[2]).release();
}

}  // namespace broadcaster
