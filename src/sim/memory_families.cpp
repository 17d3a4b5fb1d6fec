// The memory families of the simulator: each is one of the shared memory models of
// memory_models.h with its datasheet's sizes and command variants.

#include <cctype>
#include <stdexcept>

#include "sim/memory_models.h"
#include "sim/models.h"

namespace qb::sim {

namespace {

using Bytes = std::vector<uint8_t>;

// A bus-file key holding bytes as hexadecimal text ("48656C6C6F", blanks allowed), from the
// area's first address on; the rest of the area keeps its unwritten value.
Bytes HexKey(const access::RomId& rom, const nlohmann::json& device, const char* key,
             size_t limit) {
  if (!device.is_object() || !device.contains(key)) return {};
  const std::string name = "device " + rom.ToString() + " \"" + key + "\"";
  if (!device[key].is_string())
    throw std::invalid_argument(name +
                                " must be text of hexadecimal digits, such as \"48656C6C6F\"");
  std::string digits;
  for (char ch : device[key].get<std::string>()) {
    if (std::isspace(static_cast<unsigned char>(ch))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(ch)))
      throw std::invalid_argument(name + " holds \"" + std::string(1, ch) +
                                  "\", which is not a hexadecimal digit");
    digits += ch;
  }
  if (digits.size() % 2 != 0)
    throw std::invalid_argument(name + " has an odd number of hexadecimal digits");
  if (digits.size() / 2 > limit)
    throw std::invalid_argument(name + " holds " + std::to_string(digits.size() / 2) +
                                " bytes; the area has " + std::to_string(limit));
  Bytes out;
  for (size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// Bytes for an area of `size` bytes whose unwritten value is `blank`.
Bytes Area(const access::RomId& rom, const nlohmann::json& device, const char* key, size_t size,
           uint8_t blank) {
  Bytes b = HexKey(rom, device, key, size);
  b.resize(size, blank);
  return b;
}

std::unique_ptr<SimDevice> Nvram(const access::RomId& rom, const nlohmann::json& d,
                                 const ScratchpadLayout& layout) {
  return std::make_unique<NvramModel>(
      rom, layout, Area(rom, d, "memory", static_cast<size_t>(layout.memory_size), 0x00));
}

// NV RAM behind a 32-byte scratchpad; a copy answers zeros until reset.
ScratchpadLayout Ds199x(int pages) {
  ScratchpadLayout s;
  s.memory_size = pages * 32;
  s.copy_done = 0x00;
  s.overdrive = true;
  return s;
}

std::unique_ptr<SimDevice> Eprom(const access::RomId& rom, const nlohmann::json& d, int pages,
                                 bool crc16) {
  EpromLayout s;
  s.crc16 = crc16;
  s.memory_size = pages * 32;
  s.status_size = crc16 ? 0x100 + pages : 8;
  s.redirection = crc16 ? 0x100 : 1;
  return std::make_unique<EpromModel>(
      rom, s, Area(rom, d, "memory", static_cast<size_t>(s.memory_size), 0xFF),
      Area(rom, d, "status", static_cast<size_t>(s.status_size), 0xFF));
}

}  // namespace

std::unique_ptr<SimDevice> MakeDS1991Model(const access::RomId& rom, const nlohmann::json& d) {
  return std::make_unique<DS1991Model>(rom, Area(rom, d, "scratchpad", 64, 0x00));
}
std::unique_ptr<SimDevice> MakeDS1993Model(const access::RomId& rom, const nlohmann::json& d) {
  return Nvram(rom, d, Ds199x(16));
}
std::unique_ptr<SimDevice> MakeDS1992Model(const access::RomId& rom, const nlohmann::json& d) {
  return Nvram(rom, d, Ds199x(4));
}
std::unique_ptr<SimDevice> MakeDS1995Model(const access::RomId& rom, const nlohmann::json& d) {
  return Nvram(rom, d, Ds199x(64));
}
std::unique_ptr<SimDevice> MakeDS1996Model(const access::RomId& rom, const nlohmann::json& d) {
  return Nvram(rom, d, Ds199x(256));
}
std::unique_ptr<SimDevice> MakeDS1963LModel(const access::RomId& rom, const nlohmann::json& d) {
  ScratchpadLayout s = Ds199x(16);
  s.copy_scratchpad = 0x5A;
  s.scratchpad_crc = true;
  s.write_crc = true;
  s.read_memory_crc = true;
  s.page_counters = true;
  s.copy_done = 0xAA;
  return Nvram(rom, d, s);
}
std::unique_ptr<SimDevice> MakeDS1973Model(const access::RomId& rom, const nlohmann::json& d) {
  ScratchpadLayout s = Ds199x(16);
  s.copy_done = 0xAA;
  return std::make_unique<NvramModel>(rom, s, Area(rom, d, "memory", 512, 0xFF));
}
std::unique_ptr<SimDevice> MakeDS1963SModel(const access::RomId& rom, const nlohmann::json& d) {
  ScratchpadLayout s = Ds199x(16);
  s.read_only = true;
  return Nvram(rom, d, s);
}
std::unique_ptr<SimDevice> MakeDS1961SModel(const access::RomId& rom, const nlohmann::json& d) {
  ScratchpadLayout s = Ds199x(4);
  s.read_only = true;
  return std::make_unique<NvramModel>(rom, s, Area(rom, d, "memory", 128, 0xFF));
}
std::unique_ptr<SimDevice> MakeDS1971Model(const access::RomId& rom, const nlohmann::json& d) {
  return std::make_unique<DS1971Model>(rom, Area(rom, d, "memory", 32, 0xFF),
                                       Area(rom, d, "application", 8, 0xFF));
}
std::unique_ptr<SimDevice> MakeDS1982Model(const access::RomId& rom, const nlohmann::json& d) {
  return Eprom(rom, d, 4, false);
}
std::unique_ptr<SimDevice> MakeDS1985Model(const access::RomId& rom, const nlohmann::json& d) {
  return Eprom(rom, d, 64, true);
}
std::unique_ptr<SimDevice> MakeDS1986Model(const access::RomId& rom, const nlohmann::json& d) {
  return Eprom(rom, d, 256, true);
}
std::unique_ptr<SimDevice> MakeDS1983Model(const access::RomId& rom, const nlohmann::json& d) {
  return Eprom(rom, d, 16, true);
}

}  // namespace qb::sim
