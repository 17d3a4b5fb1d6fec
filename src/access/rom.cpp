#include "access/rom.h"

#include "access/crc.h"

namespace qb::access {

std::string BytesToHexText(const uint8_t* data, size_t length) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0x0F];
  }
  return out;
}

bool RomId::CrcValid() const {
  return Crc8(bytes.data(), 7) == bytes[7];
}

std::string RomId::ToString() const {
  std::string out;
  for (int i = 7; i >= 0; --i) out += BytesToHexText(&bytes[static_cast<size_t>(i)], 1);
  return out;
}

std::optional<RomId> RomId::Parse(const std::string& text) {
  if (text.size() < 16) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  RomId rom;
  for (int i = 0; i < 8; ++i) {
    const int hi = nibble(text[static_cast<size_t>(2 * i)]);
    const int lo = nibble(text[static_cast<size_t>(2 * i + 1)]);
    if (hi < 0 || lo < 0) return std::nullopt;
    rom.bytes[static_cast<size_t>(7 - i)] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return rom;
}

RomId RomId::Make(uint8_t family, uint64_t serial) {
  RomId rom;
  rom.bytes[0] = family;
  for (int i = 0; i < 6; ++i)
    rom.bytes[static_cast<size_t>(1 + i)] = static_cast<uint8_t>(serial >> (8 * i));
  rom.bytes[7] = Crc8(rom.bytes.data(), 7);
  return rom;
}

}  // namespace qb::access
