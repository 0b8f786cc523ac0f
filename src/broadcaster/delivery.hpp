// Delivery of one message to one subscriber, shared by send_json_async and the fan-out.
#pragma once

#include "broadcaster/hooks.hpp"
#include "runtime/function.hpp"

namespace broadcaster {

// json.dumps(content, ensure_ascii=False), `json` read from the module namespace now.
rt::Ref json_text(rt::Function* fn, PyObject* content);

// cls.send_message_async(websocket, message): what must be awaited. With the module's own hook,
// which does nothing, there is nothing to await when it may be skipped (`in_place`): null with no
// exception set.
rt::Ref start_send(Hooks& hooks, PyObject* websocket, PyObject* message, bool in_place);

}  // namespace broadcaster
