#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "access/bus_master.h"
#include "platform/clock.h"
#include "sim/sim_bus.h"

namespace qb::sim {

// A DS2480B serial 1-Wire line driver in front of a simulated bus: the byte protocol a host
// speaks to a DS9097U-class adapter, answered as the chip answers it.
//
// The chip has two static states. In command mode every byte is a command: reset, single bit,
// search accelerator on/off, pulse, configuration write/read, or a switch to data mode (E1). In
// data mode every byte is written to the bus as eight time slots and the bits read back are the
// answer; E3 switches back to command mode, and E3 E3 writes one E3 byte. With the search
// accelerator on, each data byte instead carries four search steps. After power-up or a break the
// first byte is the timing byte: it only calibrates the chip's baud rate, has no effect on the bus
// and gets no answer.
class DS2480BEmulator {
 public:
  enum class Mode { Command, Data };

  // Configuration parameter codes (bits 6-4 of a configuration command).
  enum Parameter : int {
    kPulldownSlewRate = 1,
    kProgrammingPulseDuration = 2,
    kStrongPullupDuration = 3,
    kWrite1LowTime = 4,
    kSampleOffset = 5,  // data sample offset and write-0 recovery time
    kLoadSensorThreshold = 6,
    kBaudRate = 7,
  };

  // Value code 7 of the strong pull-up and programming pulse durations: until terminated (F1).
  static constexpr uint8_t kInfinite = 7;

  explicit DS2480BEmulator(std::shared_ptr<SimBus> bus);

  // What the adapter answers to these bytes from the host, in order.
  std::vector<uint8_t> Receive(const uint8_t* data, size_t length);
  std::vector<uint8_t> Receive(const std::vector<uint8_t>& bytes) {
    return Receive(bytes.data(), bytes.size());
  }
  // A break on the serial line (or power-up): the master reset cycle back to the power-up state.
  void Break();

  // --- state, for tests and diagnostics ---
  Mode mode() const { return mode_; }
  bool AwaitingTimingByte() const { return awaiting_timing_byte_; }
  bool SearchAccelerator() const { return search_accelerator_; }
  access::Speed speed() const { return speed_; }
  bool StrongPullupArmed() const { return pullup_armed_; }
  bool PulseActive() const { return pulse_.has_value(); }
  // The value code (0 to 7) of a configuration parameter.
  uint8_t ParameterValue(int parameter) const;
  // The RS232 rate the chip now talks at, in bits per second.
  int BaudRate() const;
  // Strong pull-up durations by value code, in milliseconds (nullopt: until terminated).
  static std::optional<std::chrono::milliseconds> StrongPullupDuration(uint8_t code);
  std::chrono::milliseconds PowerDelivered() const { return power_delivered_; }
  uint64_t ProgramPulses() const { return program_pulses_; }

  SimBus& bus() { return *bus_; }

 private:
  // A strong pull-up or programming pulse held until the host terminates it.
  struct Pulse {
    Clock::Monotonic started;
    bool programming = false;
    std::optional<uint8_t> response;  // the pulse response byte owed when it ends
  };

  void Byte(uint8_t byte, std::vector<uint8_t>& out);
  void Command(uint8_t command, std::vector<uint8_t>& out);
  void Configuration(uint8_t command, std::vector<uint8_t>& out);
  void DataByte(uint8_t byte, std::vector<uint8_t>& out);
  uint8_t SearchByte(uint8_t byte);
  bool Slot(bool bit);
  void SetSpeedBits(uint8_t command);
  // A strong pull-up (or programming pulse) of the configured duration; `response` is sent when
  // it ends.
  void StartPulse(bool programming, std::optional<uint8_t> response, std::vector<uint8_t>& out);
  void EndPulse(std::vector<uint8_t>& out);
  void PowerUp();

  std::shared_ptr<SimBus> bus_;
  Mode mode_ = Mode::Command;
  bool awaiting_timing_byte_ = true;
  bool escape_pending_ = false;  // an E3 in data mode, not yet known as switch or escaped data
  bool search_accelerator_ = false;
  bool search_failed_ = false;  // no device answered during the accelerated search
  bool pullup_armed_ = false;
  access::Speed speed_ = access::Speed::Regular;
  std::array<uint8_t, 8> parameters_{};
  std::optional<Pulse> pulse_;
  std::chrono::milliseconds power_delivered_{0};
  uint64_t program_pulses_ = 0;
};

}  // namespace qb::sim
