// The attribute and key names the access room reads, each interned once for the room.
#pragma once

#include "runtime/name.hpp"

namespace access_control::names {

inline const rt::Name api_root{"api_root"};
inline const rt::Name user_root{"user_root"};
inline const rt::Name role_root{"role_root"};
inline const rt::Name matrix_root{"matrix_root"};
inline const rt::Name requests{"requests"};
inline const rt::Name post{"post"};
inline const rt::Name json{"json"};
inline const rt::Name status_code{"status_code"};
inline const rt::Name content{"content"};
inline const rt::Name args{"args"};
inline const rt::Name id{"id"};
inline const rt::Name message{"message"};
inline const rt::Name trace{"trace"};
inline const rt::Name wraps{"wraps"};
inline const rt::Name acl{"acl"};

}  // namespace access_control::names
