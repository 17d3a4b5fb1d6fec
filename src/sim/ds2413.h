#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "sim/confirmed_write.h"
#include "sim/sim_device.h"
#include "sim/switch_channels.h"
#include "sim/value_source.h"

namespace qb::sim {

// The PIO pair of the DS2413 and the DS28EA00: two open-drain outputs whose latches PIO Access
// Write sets (with the complement byte and the AAh confirmation), and the pin levels PIO Access
// Read reports. A pin reads low while its transistor conducts, else the level outside.
class PioPair {
 public:
  explicit PioPair(SwitchChannels<2> channels);

  bool Conducting(int channel) const { return !latch_[static_cast<size_t>(channel)]; }
  ValueSource& OutsideLevel(int channel) { return *levels_[static_cast<size_t>(channel)]; }
  bool PinLevel(int channel, double seconds);
  // The PIO status byte: pin and latch of A in bits 0 and 1, of B in bits 2 and 3, and the
  // complement of those four bits above them.
  uint8_t Status(double seconds);
  // Takes the output byte of a PIO Access Write (bit 0 A, bit 1 B).
  void Write(uint8_t outputs);
  // The PIO Access exchanges. Begin takes a function command: for PIO Access Read (F5h) or the
  // part's `write_command` the bytes to send first (the status, for a read), else nothing (and
  // any exchange ends). Again is the status once more while a read goes on; Byte answers a data
  // byte while a write goes on; End ends the exchange (a reset).
  std::optional<std::vector<uint8_t>> Begin(uint8_t command, uint8_t write_command, double seconds);
  std::optional<uint8_t> Again(double seconds);
  std::optional<ConfirmedWrite::Answer> Byte(uint8_t byte, double seconds);
  void End() { exchange_ = Exchange::None; }
  void FailConfirmations(int count) { write_.FailConfirmations(count); }
  // An edited bus file: the levels outside come from `edited`, the latches stay as written.
  void FollowLevels(PioPair& edited) { levels_ = std::move(edited.levels_); }

 private:
  std::array<bool, 2> latch_{true, true};  // 1: the transistor is off
  std::array<std::unique_ptr<ValueSource>, 2> levels_;
  enum class Exchange { None, Reading, Writing };
  Exchange exchange_ = Exchange::None;
  ConfirmedWrite write_;
};

// The dual-channel addressable switch (family 3A): PIO Access Read (F5h, the status byte again
// and again until reset) and PIO Access Write (5Ah: output byte, its complement, then AAh and
// the new status; further writes may follow). A complement that does not match ends the
// exchange: the device sends nothing until the next reset.
class DS2413Model : public SimDevice {
 public:
  DS2413Model(const access::RomId& rom, PioPair pio) : SimDevice(rom), pio_(std::move(pio)) {}

  PioPair& pio() { return pio_; }
  // The next `count` writes are answered with a wrong confirmation byte and not taken, as when
  // the output byte arrived corrupted.
  void FailConfirmations(int count) { pio_.FailConfirmations(count); }
  bool FollowValues(SimDevice& edited) override;

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override { pio_.End(); }
  bool SupportsOverdrive() const override { return true; }

 private:
  PioPair pio_;
};

}  // namespace qb::sim
