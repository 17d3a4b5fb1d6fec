#include "tools/clock_values.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "access/ds1994.h"

namespace qb {

namespace {

std::string Number(double value) {
  return ToolNumber(value);
}

std::string Bool(bool b) {
  return b ? "true" : "false";
}

std::string Seconds(int64_t time_ms) {
  return Number(static_cast<double>(time_ms) / 1000);
}

}  // namespace

std::string ToolNumber(double value) {
  if (!std::isfinite(value)) return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
  char buf[400];  // the largest double has 309 digits before the point
  std::snprintf(buf, sizeof buf, "%.6f", value);
  std::string text = buf;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text == "-0" ? "0" : text;
}

std::string IsoDate(int64_t time_ms) {
  using namespace std::chrono;
  const auto ms = sys_time<milliseconds>(milliseconds(time_ms));
  const auto day = floor<days>(ms);
  const year_month_day ymd(day);
  const hh_mm_ss<milliseconds> t(ms - day);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(t.hours().count()), static_cast<int>(t.minutes().count()),
                static_cast<int>(t.seconds().count()));
  std::string out = buf;
  if (t.subseconds().count() != 0) {
    std::snprintf(buf, sizeof buf, ".%03d", static_cast<int>(t.subseconds().count()));
    out += buf;
  }
  return out;
}

ToolValues ReadClockButton(access::OneWireContainer& c) {
  const access::DeviceState state = c.readDevice();
  const int64_t clock = c.getClock(state);
  ToolValues v = {{"clock", Seconds(clock)},
                  {"date", IsoDate(clock)},
                  {"running", Bool(c.isClockRunning(state))},
                  {"interval", Seconds(c.getIntervalTimer(state))}};
  if (auto* ds1994 = dynamic_cast<access::DS1994Container*>(&c))
    v.emplace_back("cycles", std::to_string(ds1994->getCycleCounter(state)));
  return v;
}

ToolValues ReadThermochron(access::OneWireContainer& c) {
  access::DeviceState state = c.readDevice();
  c.doTemperatureConvert(state);
  const int64_t clock = c.getClock(state);
  return {{"temperature", Number(c.getTemperature(state))},
          {"alarm_low", Number(c.getTemperatureAlarm(access::ALARM_LOW, state))},
          {"alarm_high", Number(c.getTemperatureAlarm(access::ALARM_HIGH, state))},
          {"clock", Seconds(clock)},
          {"date", IsoDate(clock)},
          {"running", Bool(c.isClockRunning(state))}};
}

ToolValues ReadBatteryDS2760(access::OneWireContainer& c) {
  access::DeviceState state = c.readDevice();
  return {{"temperature", Number(c.getTemperature(state))},
          {"voltage", Number(c.getADVoltage(0, state))},
          {"vsense_mv", Number(c.getADVoltage(access::DS2438_CHANNEL_VSENSE, state) * 1000)},
          {"current", Number(c.getCurrent(state))}};
}

}  // namespace qb
