#pragma once
// --seed-object: puts one object of a given size into a library before the
// host starts serving, so large saves can be tried without copying
// gigabytes first. Sparse objects are zeros that take no disk; generated
// ones are pseudo-random bytes that do not compress.

#include "HostStore.h"

#include <string>

namespace hostsim {

// spec: LIB/NAME.TYPE=SIZE[,generated], SIZE in bytes or with K, M, G
// (binary) suffix. An existing object of that name and size stays.
bool seedObject(HostStore &store, const std::string &spec, std::string *error);

} // namespace hostsim
