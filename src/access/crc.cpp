#include "access/crc.h"

namespace qb::access {

namespace {
// The 1-Wire CRCs shift the data in least significant bit first, so they are computed with the
// reflected polynomial: 8Ch for X^8 + X^5 + X^4 + 1, A001h for X^16 + X^15 + X^2 + 1.
template <class Crc>
Crc ReflectedCrc(const uint8_t* data, size_t length, Crc seed, Crc polynomial) {
  Crc crc = seed;
  for (size_t i = 0; i < length; ++i) {
    Crc byte = data[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = (crc ^ byte) & 1;
      crc = static_cast<Crc>(crc >> 1);
      if (mix) crc = static_cast<Crc>(crc ^ polynomial);
      byte = static_cast<Crc>(byte >> 1);
    }
  }
  return crc;
}
}  // namespace

uint8_t Crc8(const uint8_t* data, size_t length, uint8_t seed) {
  return ReflectedCrc<uint8_t>(data, length, seed, 0x8C);
}

uint16_t Crc16(const uint8_t* data, size_t length, uint16_t seed) {
  return ReflectedCrc<uint16_t>(data, length, seed, 0xA001);
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
