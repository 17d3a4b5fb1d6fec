#pragma once

#include <cstddef>
#include <cstdint>

namespace qb::access {

// The 1-Wire CRC8 (polynomial X^8 + X^5 + X^4 + 1, as in the ROM id and scratchpads).
uint8_t Crc8(const uint8_t* data, size_t length, uint8_t seed = 0);
// The 1-Wire CRC16 (polynomial X^16 + X^15 + X^2 + 1), not inverted.
uint16_t Crc16(const uint8_t* data, size_t length, uint16_t seed = 0);

// True when `data` ends with the CRC8 of what comes before it.
bool Crc8Matches(const uint8_t* data, size_t length_with_crc);
// True when the two bytes after `data[0..length)` hold the inverted CRC16 (low byte first), as
// devices send it.
bool Crc16Matches(const uint8_t* data, size_t length, uint16_t seed, uint8_t crc_low,
                  uint8_t crc_high);

}  // namespace qb::access
