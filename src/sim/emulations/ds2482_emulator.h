#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "sim/sim_bus.h"

namespace qb::sim {

// A DS2482-100 (one channel) or DS2482-800 (eight channels) I2C 1-Wire bridge in front of
// simulated buses, answering I2C transactions as the chip does.
//
// A write transaction carries a command and its parameter byte; the bridge runs it at once and
// leaves its read pointer where the datasheet says (the status register after the 1-Wire
// commands and a device reset, the configuration register after a configuration write, the
// channel register after a channel select). A read transaction returns the register under the
// read pointer, repeated for every byte. A command the chip does not know, a parameter that does
// not fit it, or a channel select on a DS2482-100 is not acknowledged.
//
// Faults can be injected: transactions not acknowledged, the 1-Wire busy flag held for some
// status reads, and a reset of the chip as after a power glitch.
class DS2482Emulator {
 public:
  // One simulated bus per channel: one for a DS2482-100, eight for a DS2482-800. Empty channels
  // may share a bus without devices.
  explicit DS2482Emulator(std::vector<std::shared_ptr<SimBus>> channels);

  // One write transaction; false when the chip does not acknowledge.
  bool Write(const uint8_t* data, size_t length);
  // One read transaction of `length` bytes; false when the chip does not acknowledge.
  bool Read(uint8_t* data, size_t length);

  // The chip's state machine back to its power-up state, as a device reset or a power glitch
  // does (the status then reads with the reset flag set).
  void PowerUp();

  // --- faults ---
  // The next `count` transactions are not acknowledged.
  void NackNext(int count) { nacks_pending_ = count; }
  // The next `count` status reads show the bridge busy.
  void BusyFor(int count) { busy_reads_ = count; }

  // --- state, for tests and diagnostics ---
  int Channels() const { return static_cast<int>(channels_.size()); }
  int Channel() const { return channel_; }
  uint8_t Config() const { return config_; }
  uint8_t Status() const { return status_; }
  uint64_t Transactions() const { return transactions_; }
  uint64_t DeviceResets() const { return device_resets_; }
  std::chrono::milliseconds PowerDelivered() const { return power_delivered_; }
  SimBus& bus() { return *channels_[static_cast<size_t>(channel_)]; }

 private:
  bool Command(uint8_t command, std::optional<uint8_t> parameter);
  bool Overdrive() const { return config_ & 0x08; }
  bool Slot(bool bit);
  // Ends a strong pull-up that is on: the devices learn how long they were powered.
  void EndPullup();
  // After a byte or bit: the strong pull-up starts when it was asked for.
  void StartPullupIfArmed();

  std::vector<std::shared_ptr<SimBus>> channels_;
  int channel_ = 0;
  uint8_t config_ = 0;
  uint8_t status_ = 0;
  uint8_t data_ = 0;
  uint8_t pointer_ = 0xF0;
  std::optional<Clock::Monotonic> pullup_since_;
  int nacks_pending_ = 0;
  int busy_reads_ = 0;
  uint64_t transactions_ = 0;
  uint64_t device_resets_ = 0;
  std::chrono::milliseconds power_delivered_{0};
};

}  // namespace qb::sim
