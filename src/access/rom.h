#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace qb::access {

// A 64-bit ROM id as it travels on the wire: byte 0 the family code, bytes 1 to 6 the serial
// number, byte 7 the CRC8 of the first seven.
struct RomId {
  std::array<uint8_t, 8> bytes{};

  uint8_t family() const { return bytes[0]; }
  bool CrcValid() const;
  // 16 upper-case hexadecimal digits, CRC byte first and family code last.
  std::string ToString() const;
  // Reads the text form (first 16 characters; case-insensitive). Nullopt when not 16 hex digits.
  static std::optional<RomId> Parse(const std::string& text);
  // A ROM id of the given family and serial number with its CRC filled in.
  static RomId Make(uint8_t family, uint64_t serial);

  auto operator<=>(const RomId&) const = default;
};

// Two upper-case hexadecimal digits per byte.
std::string BytesToHexText(const uint8_t* data, size_t length);
inline std::string FamilyText(uint8_t family) {
  return BytesToHexText(&family, 1);
}

}  // namespace qb::access
