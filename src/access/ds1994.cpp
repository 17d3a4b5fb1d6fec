#include "access/ds1994.h"

#include <memory>

namespace qb::access {

namespace {

constexpr uint8_t kFamily = 0x04;
constexpr uint16_t kRegisterPage = 0x200;
constexpr uint64_t kCounterLimit = uint64_t{1} << 40;

}  // namespace

DS1994Container::DS1994Container()
    : RegisterPageContainer(kFamily, kRegisterPage, /*scratchpad_crc=*/false, /*read_crc=*/false,
                            // Written in this order: the counters before the control register,
                            // so a clock set and started at once starts from the new time.
                            {{kStatus, 1},
                             {kClock, 5},
                             {kInterval, 5},
                             {kCycles, 4},
                             {kClockAlarm, 5},
                             {kIntervalAlarm, 5},
                             {kCycleAlarm, 4},
                             {kControl, 1}},
                            // The running counters, and the status flags a read clears.
                            {{kStatus, 1}, {kClock, 5}, {kInterval, 5}, {kCycles, 4}}) {}

uint64_t DS1994Container::Counter(const DeviceState& s, uint8_t at) {
  uint64_t v = 0;
  for (int i = 4; i >= 0; --i) v = (v << 8) | s[at + static_cast<size_t>(i)];
  return v;
}

void DS1994Container::PutCounter(DeviceState& s, uint8_t at, uint64_t counts) {
  for (size_t i = 0; i < 5; ++i) s[at + i] = static_cast<uint8_t>(counts >> (8 * i));
}

bool DS1994Container::ReadsAgree(const DeviceState& a, const DeviceState& b) const {
  if (!RegisterPageContainer::ReadsAgree(a, b)) return false;
  constexpr uint8_t kEnables = kRte | kIte | kCce, kFlags = kRtf | kItf | kCcf;
  if (((a[kStatus] ^ b[kStatus]) & kEnables) || (b[kStatus] & ~a[kStatus] & kFlags)) return false;
  constexpr uint64_t kReadTime = 32;  // counts: 1/8 s
  for (uint8_t at : {kClock, kInterval}) {
    const uint64_t first = Counter(a, at), second = Counter(b, at);
    const uint64_t moved = (second - first) % kCounterLimit;  // across the wrap too
    if (moved > kReadTime) return false;
  }
  const uint32_t cycles_moved = getCycleCounter(b) - getCycleCounter(a);
  return cycles_moved <= 4;
}

uint64_t DS1994Container::CountsOf(int64_t time_ms, const char* call) const {
  if (time_ms < 0 || static_cast<uint64_t>(time_ms) / 1000 * 256 >= kCounterLimit) {
    Fail(std::string(call) + ": " + std::to_string(time_ms) +
         " ms is outside the counter's range (0 to 2^32 seconds)");
  }
  // The nearest count, so that a time read from the device is written back unchanged.
  return (static_cast<uint64_t>(time_ms) * 256 + 500) / 1000 % kCounterLimit;
}

bool DS1994Container::Bit(const DeviceState& s, uint8_t at, uint8_t bit, const char* call) const {
  CheckState(s, call);
  return (s[at] & bit) != 0;
}

void DS1994Container::SetBit(DeviceState& s, uint8_t at, uint8_t bit, bool on,
                             const char* call) const {
  CheckState(s, call);
  s[at] = static_cast<uint8_t>(on ? (s[at] | bit) : (s[at] & ~bit));
}

int64_t DS1994Container::getClock(const DeviceState& state) const {
  CheckState(state, "getClock");
  return MillisOf(Counter(state, kClock));
}

void DS1994Container::setClock(int64_t time_ms, DeviceState& state) {
  CheckState(state, "setClock");
  PutCounter(state, kClock, CountsOf(time_ms, "setClock"));
}

bool DS1994Container::isClockRunning(const DeviceState& state) const {
  return Bit(state, kControl, kOsc, "isClockRunning");
}

void DS1994Container::setClockRunEnable(bool run, DeviceState& state) {
  SetBit(state, kControl, kOsc, run, "setClockRunEnable");
}

int64_t DS1994Container::getClockAlarm(const DeviceState& state) const {
  CheckState(state, "getClockAlarm");
  return MillisOf(Counter(state, kClockAlarm));
}

void DS1994Container::setClockAlarm(int64_t time_ms, DeviceState& state) {
  CheckState(state, "setClockAlarm");
  PutCounter(state, kClockAlarm, CountsOf(time_ms, "setClockAlarm"));
}

// The interrupt enables are active low: a 0 enables the alarm.
bool DS1994Container::isClockAlarmEnabled(const DeviceState& state) const {
  return !Bit(state, kStatus, kRte, "isClockAlarmEnabled");
}

void DS1994Container::setClockAlarmEnable(bool enable, DeviceState& state) {
  SetBit(state, kStatus, kRte, !enable, "setClockAlarmEnable");
}

bool DS1994Container::isClockAlarming(const DeviceState& state) const {
  return Bit(state, kStatus, kRtf, "isClockAlarming");
}

int64_t DS1994Container::getIntervalTimer(const DeviceState& state) const {
  CheckState(state, "getIntervalTimer");
  return MillisOf(Counter(state, kInterval));
}

void DS1994Container::setIntervalTimer(int64_t time_ms, DeviceState& state) {
  CheckState(state, "setIntervalTimer");
  PutCounter(state, kInterval, CountsOf(time_ms, "setIntervalTimer"));
}

int64_t DS1994Container::getIntervalTimerAlarm(const DeviceState& state) const {
  CheckState(state, "getIntervalTimerAlarm");
  return MillisOf(Counter(state, kIntervalAlarm));
}

void DS1994Container::setIntervalTimerAlarm(int64_t time_ms, DeviceState& state) {
  CheckState(state, "setIntervalTimerAlarm");
  PutCounter(state, kIntervalAlarm, CountsOf(time_ms, "setIntervalTimerAlarm"));
}

bool DS1994Container::isIntervalTimerAlarmEnabled(const DeviceState& state) const {
  return !Bit(state, kStatus, kIte, "isIntervalTimerAlarmEnabled");
}

void DS1994Container::setIntervalTimerAlarmEnable(bool enable, DeviceState& state) {
  SetBit(state, kStatus, kIte, !enable, "setIntervalTimerAlarmEnable");
}

bool DS1994Container::isIntervalTimerAlarming(const DeviceState& state) const {
  return Bit(state, kStatus, kItf, "isIntervalTimerAlarming");
}

bool DS1994Container::isIntervalTimerAutomatic(const DeviceState& state) const {
  return Bit(state, kControl, kAuto, "isIntervalTimerAutomatic");
}

void DS1994Container::setIntervalTimerAutomatic(bool automatic, DeviceState& state) {
  SetBit(state, kControl, kAuto, automatic, "setIntervalTimerAutomatic");
}

uint32_t DS1994Container::getCycleCounter(const DeviceState& state) const {
  CheckState(state, "getCycleCounter");
  return static_cast<uint32_t>(state[kCycles] | state[kCycles + 1] << 8 | state[kCycles + 2] << 16 |
                               static_cast<uint32_t>(state[kCycles + 3]) << 24);
}

std::unique_ptr<OneWireContainer> MakeDS1994Container() {
  return std::make_unique<DS1994Container>();
}

}  // namespace qb::access
