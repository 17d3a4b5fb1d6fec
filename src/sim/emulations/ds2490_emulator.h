#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "access/rom.h"
#include "platform/clock.h"
#include "sim/sim_bus.h"

namespace qb::sim {

// A DS2490 USB 1-Wire bridge (the chip of a DS9490R) in front of a simulated bus: what a host
// sends to its endpoints, answered as the chip answers it.
//
// - Vendor requests on endpoint 0: control commands (reset the chip, flush its buffers, halt and
//   resume), mode commands (speed, strong pull-up enable and duration, flexible-speed timings) and
//   communication commands (reset, bit, byte and block I/O, Search Access, pulse), each run at
//   once. A request the chip does not know is stalled.
// - Bulk OUT (0x02) fills the buffer the byte-carrying commands take their bytes from; bulk IN
//   (0x83) hands out the bytes read from the bus.
// - The interrupt endpoint (0x81) gives the 16-byte state packet, followed by the result bytes of
//   the commands since the last packet (errors, or every command given NTF).
//
// The adapter's own ID chip (family 0x81) is put on the bus. A strong pull-up after a byte lasts
// the coded time on the bus's clock; the chip reports it active until then and runs a later
// command only after it.
class DS2490Emulator {
 public:
  // The serial number of the adapter's ID chip.
  static constexpr uint64_t kIdChipSerial = 0x0000001B2490;

  explicit DS2490Emulator(std::shared_ptr<SimBus> bus);

  // A vendor request with no data stage; false when the chip stalls it.
  bool Control(uint8_t request, uint16_t value, uint16_t index);
  void BulkOut(const uint8_t* data, size_t length);
  // Up to `max` bytes of what the bus returned.
  std::vector<uint8_t> BulkIn(size_t max);
  size_t PendingIn() const { return in_.size(); }
  // The state packet (16 bytes and the result bytes); the result bytes are handed out once.
  std::vector<uint8_t> StatePacket();

  access::RomId IdChip() const { return id_chip_; }
  uint16_t SpeedCode() const { return speed_; }
  uint64_t CommCommands() const { return comm_commands_; }
  std::chrono::milliseconds PowerDelivered() const { return power_delivered_; }
  SimBus& bus() { return *bus_; }

 private:
  bool Communication(uint16_t value, uint16_t index);
  bool Overdrive() const { return speed_ == 2; }
  // The reset of a command: false (and a result byte) without a presence pulse.
  bool BusReset(uint16_t flags);
  uint8_t TouchByte(uint8_t byte);
  void Search(uint16_t flags, uint16_t index);
  void StartPullup();
  // Ends a strong pull-up whose time has passed; `wait` lets the remaining time pass first.
  void SettlePullup(bool wait);
  void Result(uint8_t bits) { results_.push_back(bits); }
  void PowerUp();

  std::shared_ptr<SimBus> bus_;
  access::RomId id_chip_;
  uint16_t speed_ = 0;
  bool pullup_enabled_ = false;
  bool program_enabled_ = false;
  bool speed_change_enabled_ = false;
  uint8_t pullup_code_ = 0;
  uint8_t timings_[3] = {0, 0, 0};
  bool halted_ = false;
  std::deque<uint8_t> out_;  // from the host, for the bus
  std::deque<uint8_t> in_;   // from the bus, for the host
  std::vector<uint8_t> results_;
  uint16_t last_command_ = 0;
  struct Pullup {
    Clock::Monotonic ends;
    std::chrono::milliseconds duration;
  };
  std::optional<Pullup> pullup_;
  std::chrono::milliseconds power_delivered_{0};
  uint64_t comm_commands_ = 0;
};

}  // namespace qb::sim
