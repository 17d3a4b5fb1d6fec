#pragma once

#include <cstdint>
#include <vector>

namespace qb::sim {

// Appends to `out` the inverted CRC16 the parts send after a block of data: over `lead` (the
// command and address bytes the master sent, or nothing for a block after the first) followed
// by `out` itself, low byte first.
void AppendInvertedCrc16(std::vector<uint8_t>& out, const std::vector<uint8_t>& lead = {});

}  // namespace qb::sim
