// The keys of a subscription's parameters, as subscribe writes them and the fan-out reads them.
#pragma once

#include "runtime/name.hpp"

namespace broadcaster::params {

inline const rt::Name data_scope{"data_scope"};
inline const rt::Name catalog{"catalog"};
inline const rt::Name show_hidden{"show_hidden"};
inline const rt::Name start_seq{"start_seq"};
inline const rt::Name acl{"acl"};

// Where subscribe puts each key in a new subscription's dict.
constexpr Py_ssize_t kDataScopeAt = 0, kCatalogAt = 1, kShowHiddenAt = 2, kStartSeqAt = 3, kAclAt = 4;

}  // namespace broadcaster::params
