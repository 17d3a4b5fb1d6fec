#pragma once

#include <cstdint>
#include <optional>

#include "access/register_page.h"

namespace qb::access {

// The DS1921 thermochron (family 21): temperature in 0.5 degree steps, alarm limits with the
// alarm search flags of its control register, a BCD real-time clock with a weekly alarm. The
// device state is its register page at 0x200 to 0x21F, as the datasheet lays it out:
//   [0x00..0x06] clock: seconds, minutes, hours (bit 6: 12-hour mode, bit 5 PM there), day of
//                the week (1 to 7), date, month (bit 7: century, set for 2000 to 2099), year;
//                all in BCD
//   [0x07..0x0A] clock alarm: seconds, minutes, hours, day; bit 7 of each masks it out
//   [0x0B], [0x0C] low and high temperature alarm limits
//   [0x0D]       sample rate (minutes; a mission starts when written non-zero)
//   [0x0E]       control: EOSC (bit 7, set stops the oscillator), EMCLR, EM, RO, TLS, THS, TAS
//   [0x11]       the last forced conversion's temperature
//   [0x12..0x13] mission start delay
//   [0x14]       status: TCB (bit 7, 0 while converting), MEMCLR, MIP, SIP, TLF, THF, TAF
//   [0x15..0x1F] mission time stamp and sample counters
// Temperatures: T = code / 2 - 40 (-40 to +85 degrees). Mission logging (the data log, the
// histogram and the alarm time stamps) is not offered by this container.
class DS1921Container : public RegisterPageContainer {
 public:
  DS1921Container();

  bool HasAlarms() const override { return true; }

  void doTemperatureConvert(DeviceState& state) override;
  double getTemperature(const DeviceState& state) const override;
  bool hasSelectableTemperatureResolution() const override { return false; }
  std::vector<double> getTemperatureResolutions() const override { return {0.5}; }
  double getTemperatureResolution(const DeviceState& state) const override;
  bool hasTemperatureAlarms() const override { return true; }
  double getTemperatureAlarm(int type, const DeviceState& state) const override;
  void setTemperatureAlarm(int type, double value, DeviceState& state) override;
  double getTemperatureAlarmResolution() const override { return 0.5; }

  // Registers CONTROL_REGISTER (0x20E) and STATUS_REGISTER (0x214); the flag is a bit mask.
  bool getFlag(int reg, uint8_t flag, const DeviceState& state) const override;
  void setFlag(int reg, uint8_t flag, bool value, DeviceState& state) override;
  using OneWireContainer::getFlag;
  using OneWireContainer::setFlag;
  // TEMPERATURE_LOW_ALARM, TEMPERATURE_HIGH_ALARM or TIMER_ALARM: the status register's flag.
  bool getAlarmStatus(int type, const DeviceState& state) const override;

  // The clock in whole seconds. Its alarm is weekly (day, hours, minutes, seconds):
  // getClockAlarm gives its next occurrence from the state's clock time; setClockAlarm sets it to
  // the weekday and time of the given moment. The alarm always runs: "enabled" is its search
  // flag TAS, "alarming" its flag TAF.
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

  // Register offsets and bits.
  static constexpr uint8_t kClock = 0x00, kClockAlarm = 0x07, kLowLimit = 0x0B, kHighLimit = 0x0C,
                           kSampleRate = 0x0D, kControl = 0x0E, kTemperature = 0x11,
                           kStartDelay = 0x12, kStatus = 0x14;
  static constexpr uint8_t kEosc = 0x80;  // control: set stops the oscillator
  static constexpr uint8_t kTcb = 0x80;   // status: 0 while a conversion runs
  static constexpr uint8_t kTlf = 0x04, kThf = 0x02, kTaf = 0x01;

  // Shared with the simulator: the encodings of the datasheet.
  static double TemperatureOf(uint8_t code) { return code / 2.0 - 40; }
  // The code of a temperature, to the nearest half degree; nothing outside -40 to +87.5.
  static std::optional<uint8_t> CodeOf(double celsius);
  // Seconds since 1970 of the seven clock registers; nothing when they hold no valid date.
  static std::optional<int64_t> DecodeClock(const uint8_t* regs);
  // The seven clock registers of a time (1900 to 2099), in 24-hour mode unless `twelve_hour`;
  // false when the year is outside that range.
  static bool EncodeClock(int64_t seconds, bool twelve_hour, uint8_t* regs);
  // The first moment at or after `from` (seconds since 1970) the alarm registers match; nothing
  // when they can never match.
  static std::optional<int64_t> NextAlarm(const uint8_t* alarm_regs, int64_t from);
};

}  // namespace qb::access
