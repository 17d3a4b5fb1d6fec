#pragma once

#include <memory>

#include "sim/emulations/serial_emulation.h"
#include "sim/sim_bus.h"

namespace qb::sim {

// A passive serial adapter (DS9097, DS9097E: a UART wired to the bus through a diode) in front of
// a simulated bus. The UART's own characters are the bus signals, and the receiver reads back
// what the line did:
// - at 9600 baud a character whose start bit and low four data bits are 0 (0xF0) holds the line
//   low for 520 us, a reset. Its echo is unchanged when no device answered; a presence pulse pulls
//   data bit 4 low (0xE0); a shorted bus reads 0x00.
// - at 115200 baud each character is one time slot: one with data bit 0 set (0xFF) lets the line
//   go after the start bit, a write-1 and read slot; a device sending 0 holds the line past the
//   first three data bits (0xFF reads back as 0xF8). One with data bit 0 clear (0x00) holds the
//   line low through the slot, a write-0.
// Characters at any other rate do not form bus signals and come back as sent. The adapter has no
// strong pull-up: a parasite-powered device never gets the power a conversion or copy needs.
class PassiveEmulator : public SerialEmulation {
 public:
  explicit PassiveEmulator(std::shared_ptr<SimBus> bus);

  std::vector<uint8_t> Receive(const uint8_t* data, size_t length, int baud) override;
  std::vector<uint8_t> Receive(const std::vector<uint8_t>& bytes, int baud) {
    return Receive(bytes.data(), bytes.size(), baud);
  }
  void PowerUp() override {}
  std::string Name() const override { return "a passive serial (DS9097E) adapter"; }

  uint64_t Resets() const { return resets_; }
  uint64_t Slots() const { return slots_; }
  SimBus& bus() { return *bus_; }

 private:
  std::shared_ptr<SimBus> bus_;
  uint64_t resets_ = 0;
  uint64_t slots_ = 0;
};

}  // namespace qb::sim
