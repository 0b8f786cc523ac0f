// Per-subscriber filtering: may this subscriber read the document, and what part of it does
// its subscription show. All knowledge of documents stays with the engine.
#include "broadcaster/broadcaster.hpp"
#include "engine/engine.hpp"

namespace broadcaster {

PyObject* get_message_body(rt::Function* fn, PyObject* const* locals) {
    using Args = MessageBodyArgs;
    rt::at_step(rt::running_frame(), MessageBodySteps::check_scope);
    return engine::Document::once(locals[Args::doc])
        .message_body(fn, locals[Args::data_scope], locals[Args::catalog], locals[Args::show_hidden])
        .release();
}

PyObject* check_subscriber_acl(rt::Function*, PyObject* const* locals) {
    using Args = CheckAclArgs;
    rt::at_step(rt::running_frame(), CheckAclSteps::check);
    return engine::Document::once(locals[Args::doc]).check_acl(locals[Args::acl]).release();
}

}  // namespace broadcaster
