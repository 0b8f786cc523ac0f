// The interpreter's own messages that more than one of the runtime's types raises, each written
// once (as funcobject.c and genobject.c raise them).
#pragma once

namespace rt::messages {

inline constexpr char kNameNotString[] = "__name__ must be set to a string object";
inline constexpr char kQualnameNotString[] = "__qualname__ must be set to a string object";

}  // namespace rt::messages
