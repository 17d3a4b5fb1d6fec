#include "access/crc.h"

namespace qb::access {

uint8_t Crc8(const uint8_t* data, size_t length, uint8_t seed) {
  uint8_t crc = seed;
  for (size_t i = 0; i < length; ++i) {
    uint8_t byte = data[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = (crc ^ byte) & 0x01;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      byte >>= 1;
    }
  }
  return crc;
}

uint16_t Crc16(const uint8_t* data, size_t length, uint16_t seed) {
  uint16_t crc = seed;
  for (size_t i = 0; i < length; ++i) {
    uint16_t byte = data[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = (crc ^ byte) & 0x0001;
      crc >>= 1;
      if (mix) crc ^= 0xA001;
      byte >>= 1;
    }
  }
  return crc;
}

bool Crc8Matches(const uint8_t* data, size_t length_with_crc) {
  if (length_with_crc < 2) return false;
  return Crc8(data, length_with_crc - 1) == data[length_with_crc - 1];
}

bool Crc16Matches(const uint8_t* data, size_t length, uint16_t seed, uint8_t crc_low,
                  uint8_t crc_high) {
  const uint16_t expected = static_cast<uint16_t>(~Crc16(data, length, seed));
  return (expected & 0xFF) == crc_low && (expected >> 8) == crc_high;
}

}  // namespace qb::access
