#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/clock.h"
#include "sim/scratchpad_memory.h"
#include "sim/value_source.h"

namespace qb::sim {

// A DS1921 thermochron: 512 bytes of NV RAM, the register page at 0x200 (laid out as in
// access/ds1921.h) and, zero-filled, the alarm time stamps, histogram and data log, behind the
// scratchpad and Read Memory commands (its Read Scratchpad ends with a CRC16), plus Convert
// Temperature (44): the result lands in 0x211 after 90 ms, TCB reading 0 meanwhile.
// The BCD clock ticks each second while EOSC is 0 and keeps the 12/24-hour mode written to it;
// passing the weekly clock alarm sets TAF. Mission logging is not simulated: standing in for a
// mission's samples, every conversion, and every alarm search, samples the temperature and sets
// TLF at or below the low limit and THF at or above the high limit. The device answers the
// alarm search while TLF with TLS, THF with THS or TAF with TAS is set.
// Bus-file keys: "temperature" (degrees C), "clock" (seconds since 1970, default 0),
// "running" (default false), "alarm_low", "alarm_high" (degrees, default -40 and +85).
class DS1921Model : public ScratchpadMemoryModel {
 public:
  bool FollowValues(SimDevice& edited) override;
  static constexpr std::chrono::milliseconds kConvertTime{90};

  DS1921Model(const access::RomId& rom, const nlohmann::json& device);
  ValueSource& temperature() { return *temperature_; }
  // The clock now, in seconds since 1970 (for tests).
  int64_t ClockSeconds();

 protected:
  void Refresh() override;
  void Copied(uint16_t first, uint16_t last) override;
  bool Writable(uint16_t address) const override;
  void OtherCommand(uint8_t command) override;
  bool IdleBit() override;
  bool Alarming() override;
  void OnReset() override {
    ScratchpadMemoryModel::OnReset();
    Settle();
  }

 private:
  void Settle();
  // Sets TLF or THF for a temperature code at or beyond the limits.
  void CheckLimits(uint8_t code);
  bool Running() const { return !(control_ & 0x80); }

  std::unique_ptr<ValueSource> temperature_;
  int64_t clock_base_ = 0;  // seconds since 1970 when last set or stopped
  double clock_since_ = 0;  // bus seconds when it last started
  bool twelve_hour_ = false;
  int64_t alarm_checked_ = 0;        // the clock second the weekly alarm was last checked at
  uint8_t alarm_[4] = {0, 0, 0, 0};  // day 0: never matches until one is written
  uint8_t low_ = 0, high_ = 250;
  uint8_t sample_rate_ = 0, control_ = 0x80;
  uint8_t temperature_reg_ = 0;
  uint16_t start_delay_ = 0;
  uint8_t flags_ = 0;  // TLF, THF, TAF
  std::optional<Clock::Monotonic> converted_at_;
};

}  // namespace qb::sim
