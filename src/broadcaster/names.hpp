// The attribute and key names the broadcaster room reads, each interned once for the room (the
// hooks' names come from their list in hooks.hpp, the subscription keys from params.hpp).
#pragma once

#include "runtime/name.hpp"

namespace broadcaster::names {

inline const rt::Name get{"get"};
inline const rt::Name doc_class{"doc_class"};
inline const rt::Name op{"op"};
inline const rt::Name seq{"seq"};
inline const rt::Name message{"message"};
inline const rt::Name pop{"pop"};
inline const rt::Name items{"items"};
inline const rt::Name active_connections{"active_connections"};
inline const rt::Name json{"json"};
inline const rt::Name dumps{"dumps"};
inline const rt::Name ensure_ascii{"ensure_ascii"};
inline const rt::Name json_encoder{"JSONEncoder"};
inline const rt::Name encode{"encode"};
inline const rt::Name dunder_new{"__new__"};
inline const rt::Name item_separator{"item_separator"};
inline const rt::Name key_separator{"key_separator"};
inline const rt::Name dunder_init{"__init__"};
inline const rt::Name iterencode{"iterencode"};

}  // namespace broadcaster::names
