#pragma once

#include <cstdint>

#include "access/register_page.h"

namespace qb::access {

// The DS1994 (family 04): 4096 bits of NV RAM (its memory banks) and a timekeeping section of
// three binary counters. The device state is the register page at 0x200 to 0x21F:
//   [0x00]       status: RTF, ITF, CCF (alarm flags, bits 0 to 2, cleared by reading), RTE,
//                ITE, CCE (bits 3 to 5: the alarms' interrupt enables, active low)
//   [0x01]       control: WPR, WPI, WPC, RO (bits 0 to 3), OSC (bit 4, the oscillator runs),
//                AUTO (bit 5, interval timer automatic), STOP/START (bit 6, manual mode: 1
//                stops the interval timer), DSEL (bit 7)
//   [0x02..0x06] real-time clock, 40 bits LSB first in 1/256 s: the first byte is the fraction
//   [0x07..0x0B] interval timer, the same way
//   [0x0C..0x0F] cycle counter, 32 bits
//   [0x10..0x14] real-time alarm, [0x15..0x19] interval timer alarm, [0x1A..0x1D] cycle
//                counter alarm
// Times in the calls are milliseconds (the clock since 1970-01-01 00:00): a count reads as the
// whole milliseconds below it, a time is stored as the nearest count.
class DS1994Container : public RegisterPageContainer {
 public:
  DS1994Container();

  bool HasAlarms() const override { return true; }

  int64_t getClock(const DeviceState& state) const override;
  void setClock(int64_t time_ms, DeviceState& state) override;
  bool isClockRunning(const DeviceState& state) const override;
  void setClockRunEnable(bool run, DeviceState& state) override;
  bool hasClockAlarm() const override { return true; }
  int64_t getClockAlarm(const DeviceState& state) const override;
  void setClockAlarm(int64_t time_ms, DeviceState& state) override;
  bool isClockAlarmEnabled(const DeviceState& state) const override;
  void setClockAlarmEnable(bool enable, DeviceState& state) override;
  bool isClockAlarming(const DeviceState& state) const override;
  int64_t getIntervalTimer(const DeviceState& state) const override;
  void setIntervalTimer(int64_t time_ms, DeviceState& state) override;
  int64_t getIntervalTimerAlarm(const DeviceState& state) const override;
  void setIntervalTimerAlarm(int64_t time_ms, DeviceState& state) override;
  bool isIntervalTimerAlarmEnabled(const DeviceState& state) const override;
  void setIntervalTimerAlarmEnable(bool enable, DeviceState& state) override;
  bool isIntervalTimerAlarming(const DeviceState& state) const override;
  bool isIntervalTimerAutomatic(const DeviceState& state) const override;
  void setIntervalTimerAutomatic(bool automatic, DeviceState& state) override;

  // The cycle counter and its alarm (not part of the common calls).
  uint32_t getCycleCounter(const DeviceState& state) const;

  // Register offsets and bits, as the datasheet lays out the page.
  static constexpr uint8_t kStatus = 0x00, kControl = 0x01, kClock = 0x02, kInterval = 0x07,
                           kCycles = 0x0C, kClockAlarm = 0x10, kIntervalAlarm = 0x15,
                           kCycleAlarm = 0x1A;
  static constexpr uint8_t kRtf = 0x01, kItf = 0x02, kCcf = 0x04, kRte = 0x08, kIte = 0x10,
                           kCce = 0x20;
  static constexpr uint8_t kOsc = 0x10, kAuto = 0x20, kStopStart = 0x40;

  // A 40-bit counter of 1/256 s as milliseconds, and back (GeneralFailure-free: the caller checks
  // the range with CountsOf).
  static int64_t MillisOf(uint64_t counts) { return static_cast<int64_t>(counts * 1000 / 256); }

 private:
  // Two reads agree when the settings are equal, the alarm flags only cleared (reading clears
  // them) and each counter moved on by at most the time of a read (an eighth of a second).
  bool ReadsAgree(const DeviceState& first, const DeviceState& second) const override;
  // The 1/256 s counts of `time_ms`; refuses a time below 0 or beyond the 40-bit counter.
  uint64_t CountsOf(int64_t time_ms, const char* call) const;
  static uint64_t Counter(const DeviceState& s, uint8_t at);
  static void PutCounter(DeviceState& s, uint8_t at, uint64_t counts);
  bool Bit(const DeviceState& s, uint8_t at, uint8_t bit, const char* call) const;
  void SetBit(DeviceState& s, uint8_t at, uint8_t bit, bool on, const char* call) const;
};

}  // namespace qb::access
