#pragma once

#include <string>

namespace qb {

// The memory block of the device page: each memory bank of the device (the first 16 characters
// of `key`) with its type, size and features, followed by a dump of every page in hexadecimal
// and as characters. Empty when the device cannot be reached.
std::string ShowMemoryBanks(const std::string& key);

}  // namespace qb
