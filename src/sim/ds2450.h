#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/clock.h"
#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// A DS2450 quad A/D converter: 32 bytes of memory in four pages of eight
//   0x00 conversion results (power-on 0), 0x08 control/status (power-on 08 8C per channel:
//   8 bits, output off, 2.56 V range, both alarms enabled, POR set), 0x10 alarm limits
//   (power-on low 00, high FF), 0x18 calibration, with the VCC control byte at 0x1C (40h when
//   the part is powered from VCC, 00h at power-on: powered from the bus).
// Commands: Read Memory (data to the end of each page, then the inverted CRC16, on into the next
// page), Write Memory (CRC16 then the read-back, byte by byte), Convert (input select mask and
// read-out preset control, CRC16, then the channels A to D in turn at 80 us a bit plus 160 us;
// read slots give 0 while it runs). Each result is the input sampled at the end of its
// channel's conversion; the alarm flags follow each result. A part powered from the bus that
// does not get the strong pull-up for the whole conversion browns out: its results stay as they
// were. An enabled output whose transistor conducts pulls its input to 0 V, so that channel
// reads 0. The device answers the alarm search while POR is set or an enabled alarm flag is.
// Bus-file key "inputs": four voltages, channels A to D, each a number or a generator.
class DS2450Model : public SimDevice {
 public:
  bool FollowValues(SimDevice& edited) override;
  DS2450Model(const access::RomId& rom, const nlohmann::json& device);

  uint8_t Memory(size_t address) const { return memory_.at(address); }
  ValueSource& input(int channel) { return *inputs_.at(static_cast<size_t>(channel)); }

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  bool IdleBit() override;
  bool Alarming() override;
  void OnReset() override;
  bool SupportsOverdrive() const override { return true; }
  void Powered(std::chrono::milliseconds duration) override;

 private:
  void SendPage(bool first);
  void Store(size_t address, uint8_t data);
  void StartConversion();
  // Finishes the channels whose conversion ended by `until`.
  void Settle(Clock::Monotonic until);
  void Finish(int channel, Clock::Monotonic at);
  double SecondsAt(Clock::Monotonic when) const;

  std::array<std::unique_ptr<ValueSource>, 4> inputs_;
  std::array<uint8_t, 32> memory_{};

  enum class Step { Command, AddressLow, AddressHigh, Data, Crc, ReadBack, Mask, Control, Done };
  uint8_t command_ = 0;
  Step step_ = Step::Done;
  uint16_t address_ = 0;
  uint8_t mask_ = 0, control_ = 0, data_ = 0;
  bool first_byte_ = true;

  // The conversion in progress: when it started and when each selected channel is done.
  Clock::Monotonic conversion_start_{};
  std::array<std::optional<Clock::Monotonic>, 4> done_at_{};
  // The last strong pull-up the bus delivered.
  std::optional<Clock::Monotonic> power_from_, power_until_;
};

}  // namespace qb::sim
