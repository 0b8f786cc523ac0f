// The keys of a subscription's parameters, as subscribe writes them and the fan-out reads them.
#pragma once

#include "runtime/name.hpp"

namespace broadcaster::params {

inline const rt::Name data_scope{"data_scope"};
inline const rt::Name catalog{"catalog"};
inline const rt::Name show_hidden{"show_hidden"};
inline const rt::Name start_seq{"start_seq"};
inline const rt::Name acl{"acl"};

}  // namespace broadcaster::params
