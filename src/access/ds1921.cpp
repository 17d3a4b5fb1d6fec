#include "access/ds1921.h"

#include <chrono>
#include <cmath>
#include <memory>

#include "access/bus_master.h"

namespace qb::access {

namespace {

constexpr uint8_t kFamily = 0x21;
constexpr uint16_t kRegisterPage = 0x200;
constexpr uint8_t kConvertTemperature = 0x44;
// The longest conversion by the datasheet; the status register's TCB bit is polled after it.
constexpr std::chrono::milliseconds kConvertTime{90};
constexpr int kConvertPolls = 5;
constexpr int64_t kDay = 86400;

std::optional<int> FromBcd(uint8_t b) {
  if ((b & 0x0F) > 9 || (b >> 4) > 9) return std::nullopt;
  return (b >> 4) * 10 + (b & 0x0F);
}

uint8_t ToBcd(int v) {
  return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

// Days since 1970-01-01 of a civil date, and back (the proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

// 1 for Sunday to 7 for Saturday (1970-01-01 was a Thursday).
int DayOfWeek(int64_t days) {
  return static_cast<int>(((days % 7) + 7 + 4) % 7) + 1;
}

// An hours register in either mode: 0 to 23, or nothing.
std::optional<int> Hours(uint8_t reg) {
  if (reg & 0x40) {
    const auto h = FromBcd(reg & 0x1F);
    if (!h || *h < 1 || *h > 12) return std::nullopt;
    return *h % 12 + ((reg & 0x20) ? 12 : 0);
  }
  const auto h = FromBcd(reg & 0x3F);
  if (!h || *h > 23) return std::nullopt;
  return h;
}

uint8_t EncodeHours(int h, bool twelve_hour) {
  if (!twelve_hour) return ToBcd(h);
  const int h12 = h % 12 == 0 ? 12 : h % 12;
  return static_cast<uint8_t>(0x40 | (h >= 12 ? 0x20 : 0) | ToBcd(h12));
}

}  // namespace

DS1921Container::DS1921Container()
    : RegisterPageContainer(kFamily, kRegisterPage, /*scratchpad_crc=*/true, /*read_crc=*/true,
                            // The clock before the control register, so a clock set and started
                            // at once starts from the new time.
                            {{kClock, 7},
                             {kClockAlarm, 4},
                             {kLowLimit, 2},
                             {kStatus, 1},
                             {kStartDelay, 2},
                             {kControl, 1},
                             {kSampleRate, 1}},
                            {{kClock, 7}, {kTemperature, 1}, {kStatus, 1}, {0x15, 11}}) {}

std::optional<uint8_t> DS1921Container::CodeOf(double celsius) {
  if (!std::isfinite(celsius) || celsius < -41 || celsius > 88) return std::nullopt;
  const long code = std::lround((celsius + 40) * 2);
  if (code < 0 || code > 255) return std::nullopt;
  return static_cast<uint8_t>(code);
}

std::optional<int64_t> DS1921Container::DecodeClock(const uint8_t* r) {
  const auto sec = FromBcd(r[0] & 0x7F);
  const auto min = FromBcd(r[1] & 0x7F);
  const auto hour = Hours(r[2]);
  const auto date = FromBcd(r[4] & 0x3F);
  const auto month = FromBcd(r[5] & 0x1F);
  const auto year = FromBcd(r[6]);
  if (!sec || !min || !hour || !date || !month || !year || *sec > 59 || *min > 59 || *date < 1 ||
      *date > 31 || *month < 1 || *month > 12) {
    return std::nullopt;
  }
  const int64_t full_year = ((r[5] & 0x80) ? 2000 : 1900) + *year;
  return DaysFromCivil(full_year, *month, *date) * kDay + *hour * 3600 + *min * 60 + *sec;
}

bool DS1921Container::EncodeClock(int64_t seconds, bool twelve_hour, uint8_t* r) {
  const int64_t days = seconds >= 0 ? seconds / kDay : (seconds - kDay + 1) / kDay;
  const int64_t in_day = seconds - days * kDay;
  int64_t y;
  int m, d;
  CivilFromDays(days, y, m, d);
  if (y < 1900 || y > 2099) return false;
  r[0] = ToBcd(static_cast<int>(in_day % 60));
  r[1] = ToBcd(static_cast<int>(in_day / 60 % 60));
  r[2] = EncodeHours(static_cast<int>(in_day / 3600), twelve_hour);
  r[3] = static_cast<uint8_t>(DayOfWeek(days));
  r[4] = ToBcd(d);
  r[5] = static_cast<uint8_t>((y >= 2000 ? 0x80 : 0) | ToBcd(m));
  r[6] = ToBcd(static_cast<int>(y % 100));
  return true;
}

std::optional<int64_t> DS1921Container::NextAlarm(const uint8_t* a, int64_t from) {
  // A field takes part when its mask bit (bit 7) is 0.
  std::optional<int> sec, min, hour, day;
  if (!(a[0] & 0x80) && !(sec = FromBcd(a[0] & 0x7F))) return std::nullopt;
  if (!(a[1] & 0x80) && !(min = FromBcd(a[1] & 0x7F))) return std::nullopt;
  if (!(a[2] & 0x80) && !(hour = Hours(a[2] & 0x7F))) return std::nullopt;
  if (!(a[3] & 0x80)) day = a[3] & 0x07;
  if ((sec && *sec > 59) || (min && *min > 59) || (day && (*day < 1 || *day > 7)))
    return std::nullopt;
  const int64_t first_day = from >= 0 ? from / kDay : (from - kDay + 1) / kDay;
  for (int64_t dd = first_day; dd <= first_day + 7; ++dd) {
    if (day && DayOfWeek(dd) != *day) continue;
    const int64_t start = dd == first_day ? from - dd * kDay : 0;
    for (int h = hour.value_or(0); h <= hour.value_or(23); ++h) {
      if (h * 3600 + 3599 < start) continue;
      for (int m = min.value_or(0); m <= min.value_or(59); ++m) {
        if (h * 3600 + m * 60 + 59 < start) continue;
        for (int s = sec.value_or(0); s <= sec.value_or(59); ++s) {
          const int64_t t = h * 3600 + m * 60 + s;
          if (t >= start) return dd * kDay + t;
        }
      }
    }
  }
  return std::nullopt;
}

void DS1921Container::doTemperatureConvert(DeviceState& state) {
  CheckState(state, "doTemperatureConvert");
  BusMaster& m = Adapter().Master();
  Select();
  m.TouchByte(kConvertTemperature);
  m.Wait(kConvertTime);
  for (int poll = 0;; ++poll) {
    DeviceState page = readDevice();
    if (page[kStatus] & kTcb) {
      state = page;
      return;
    }
    if (poll >= kConvertPolls) Fail("the temperature conversion did not finish");
    m.Wait(std::chrono::milliseconds(10));
  }
}

double DS1921Container::getTemperature(const DeviceState& state) const {
  CheckState(state, "getTemperature");
  return TemperatureOf(state[kTemperature]);
}

double DS1921Container::getTemperatureResolution(const DeviceState& state) const {
  CheckState(state, "getTemperatureResolution");
  return 0.5;
}

double DS1921Container::getTemperatureAlarm(int type, const DeviceState& state) const {
  CheckState(state, "getTemperatureAlarm");
  if (type != ALARM_LOW && type != ALARM_HIGH) Fail("unknown alarm type " + std::to_string(type));
  return TemperatureOf(state[type == ALARM_LOW ? kLowLimit : kHighLimit]);
}

void DS1921Container::setTemperatureAlarm(int type, double value, DeviceState& state) {
  CheckState(state, "setTemperatureAlarm");
  if (type != ALARM_LOW && type != ALARM_HIGH) Fail("unknown alarm type " + std::to_string(type));
  const auto code = CodeOf(value);
  if (!code) {
    Fail("setTemperatureAlarm: " + std::to_string(value) +
         " degrees is outside the limits' range (-40 to +87.5)");
  }
  state[type == ALARM_LOW ? kLowLimit : kHighLimit] = *code;
}

bool DS1921Container::getFlag(int reg, uint8_t flag, const DeviceState& state) const {
  CheckState(state, "getFlag");
  if (reg != CONTROL_REGISTER && reg != STATUS_REGISTER)
    Fail("getFlag: no flag register at " + std::to_string(reg));
  return (state[reg - kRegisterPage] & flag) == flag;
}

void DS1921Container::setFlag(int reg, uint8_t flag, bool value, DeviceState& state) {
  CheckState(state, "setFlag");
  if (reg != CONTROL_REGISTER && reg != STATUS_REGISTER)
    Fail("setFlag: no flag register at " + std::to_string(reg));
  uint8_t& r = state[static_cast<size_t>(reg - kRegisterPage)];
  r = static_cast<uint8_t>(value ? (r | flag) : (r & ~flag));
}

bool DS1921Container::getAlarmStatus(int type, const DeviceState& state) const {
  CheckState(state, "getAlarmStatus");
  switch (type) {
    case TEMPERATURE_LOW_ALARM:
      return state[kStatus] & kTlf;
    case TEMPERATURE_HIGH_ALARM:
      return state[kStatus] & kThf;
    case TIMER_ALARM:
      return state[kStatus] & kTaf;
    default:
      Fail("getAlarmStatus: unknown alarm type " + std::to_string(type));
  }
}

int64_t DS1921Container::getClock(const DeviceState& state) const {
  CheckState(state, "getClock");
  const auto seconds = DecodeClock(state.data() + kClock);
  if (!seconds)
    Fail("getClock: the clock registers hold no valid date (" + StateToHex(state) + ")");
  return *seconds * 1000;
}

void DS1921Container::setClock(int64_t time_ms, DeviceState& state) {
  CheckState(state, "setClock");
  const int64_t seconds = time_ms >= 0 ? time_ms / 1000 : (time_ms - 999) / 1000;
  uint8_t regs[7];
  if (!EncodeClock(seconds, /*twelve_hour=*/false, regs)) {
    Fail("setClock: the clock holds the years 1900 to 2099 only");
  }
  std::copy(regs, regs + 7, state.begin() + kClock);
}

bool DS1921Container::isClockRunning(const DeviceState& state) const {
  CheckState(state, "isClockRunning");
  return !(state[kControl] & kEosc);
}

void DS1921Container::setClockRunEnable(bool run, DeviceState& state) {
  CheckState(state, "setClockRunEnable");
  setFlag(CONTROL_REGISTER, kEosc, !run, state);
}

int64_t DS1921Container::getClockAlarm(const DeviceState& state) const {
  CheckState(state, "getClockAlarm");
  const int64_t now = getClock(state) / 1000;
  const auto next = NextAlarm(state.data() + kClockAlarm, now);
  if (!next) Fail("getClockAlarm: the alarm registers hold no valid time");
  return *next * 1000;
}

void DS1921Container::setClockAlarm(int64_t time_ms, DeviceState& state) {
  CheckState(state, "setClockAlarm");
  uint8_t regs[7];
  const int64_t seconds = time_ms >= 0 ? time_ms / 1000 : (time_ms - 999) / 1000;
  if (!EncodeClock(seconds, false, regs)) Fail("setClockAlarm: the time is out of range");
  // Seconds, minutes, hours and day of the week, none masked: once a week.
  state[kClockAlarm] = regs[0];
  state[kClockAlarm + 1] = regs[1];
  state[kClockAlarm + 2] = regs[2];
  state[kClockAlarm + 3] = regs[3];
}

bool DS1921Container::isClockAlarmEnabled(const DeviceState& state) const {
  CheckState(state, "isClockAlarmEnabled");
  return getFlag(CONTROL_REGISTER, TIMER_ALARM_SEARCH_FLAG, state);
}

void DS1921Container::setClockAlarmEnable(bool enable, DeviceState& state) {
  CheckState(state, "setClockAlarmEnable");
  setFlag(CONTROL_REGISTER, TIMER_ALARM_SEARCH_FLAG, enable, state);
}

bool DS1921Container::isClockAlarming(const DeviceState& state) const {
  CheckState(state, "isClockAlarming");
  return getAlarmStatus(TIMER_ALARM, state);
}

std::unique_ptr<OneWireContainer> MakeDS1921Container() {
  return std::make_unique<DS1921Container>();
}

}  // namespace qb::access
