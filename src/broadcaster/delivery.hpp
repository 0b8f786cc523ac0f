// Delivery of one message to one subscriber, shared by send_json_async and the fan-out.
#pragma once

#include "broadcaster/hooks.hpp"
#include "runtime/function.hpp"

namespace broadcaster {

// json.dumps(content, ensure_ascii=False), `json` read from the module namespace now.
rt::Ref json_text(rt::Function* fn, PyObject* content);

// Whether the module's own methods may run in place rather than be called: not while a profile
// or trace function watches, which must see them called.
enum class OwnMethods : bool { called, in_place };

// cls.send_message_async(websocket, message): what must be awaited. With the module's own hook,
// which does nothing, there is nothing to await when it may run in place: null with no exception
// set.
rt::Ref start_send(Hooks& hooks, PyObject* websocket, PyObject* message, OwnMethods own);

}  // namespace broadcaster
