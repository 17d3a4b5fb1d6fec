#include "access/pio_switch.h"

namespace qb::access {

namespace {
constexpr uint8_t kPioAccessRead = 0xF5;
constexpr uint8_t kConfirmation = 0xAA;
}  // namespace

std::optional<uint8_t> PioAccessWrite(DSPortAdapter& adapter, uint8_t command, uint8_t outputs) {
  uint8_t buf[5] = {command, outputs, static_cast<uint8_t>(~outputs), 0xFF, 0xFF};
  adapter.Master().Block(buf, sizeof buf);
  adapter.Reset();
  if (buf[3] != kConfirmation || !PioStatusValid(buf[4])) return std::nullopt;
  return buf[4];
}

std::optional<uint8_t> PioAccessRead(DSPortAdapter& adapter) {
  uint8_t buf[2] = {kPioAccessRead, 0xFF};
  adapter.Master().Block(buf, sizeof buf);
  adapter.Reset();
  if (!PioStatusValid(buf[1])) return std::nullopt;
  return buf[1];
}

}  // namespace qb::access
