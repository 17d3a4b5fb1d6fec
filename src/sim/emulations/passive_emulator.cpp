#include "sim/emulations/passive_emulator.h"

namespace qb::sim {

namespace {
constexpr int kResetBaud = 9600;
constexpr int kSlotBaud = 115200;
}  // namespace

PassiveEmulator::PassiveEmulator(std::shared_ptr<SimBus> bus) : bus_(std::move(bus)) {}

std::vector<uint8_t> PassiveEmulator::Receive(const uint8_t* data, size_t length, int baud) {
  std::vector<uint8_t> echo(data, data + length);
  for (uint8_t& c : echo) {
    if (baud == kResetBaud) {
      if ((c & 0x0F) != 0) continue;  // too short a low pulse for a reset
      ++resets_;
      switch (bus_->Reset(false)) {
        case access::ResetResult::NoPresence:
          break;
        case access::ResetResult::Short:
          c = 0x00;
          break;
        default:
          c &= 0xE0;
          break;
      }
    } else if (baud == kSlotBaud) {
      ++slots_;
      const bool write_one = (c & 0x01) != 0;
      const bool line = bus_->Slot(write_one, false);
      if (write_one && !line) c &= 0xF8;
    }
  }
  return echo;
}

}  // namespace qb::sim
