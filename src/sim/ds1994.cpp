#include "sim/ds1994.h"

#include <cmath>
#include <stdexcept>

#include "sim/models.h"
#include "sim/value_source.h"

namespace qb::sim {

namespace {

constexpr uint16_t kPage = 0x200;
constexpr uint8_t kStatus = 0x00, kControl = 0x01, kClock = 0x02, kInterval = 0x07, kCycles = 0x0C,
                  kClockAlarm = 0x10, kIntervalAlarm = 0x15, kCycleAlarm = 0x1A;
constexpr uint8_t kRtf = 0x01, kItf = 0x02, kCcf = 0x04, kRte = 0x08, kIte = 0x10, kCce = 0x20;
constexpr uint8_t kOsc = 0x10, kAuto = 0x20, kStopStart = 0x40;
constexpr uint64_t kWrap = uint64_t{1} << 40;

double Number(const nlohmann::json& device, const access::RomId& rom, const char* key,
              double fallback) {
  if (!device.is_object() || !device.contains(key)) return fallback;
  const double v =
      ParseValueSource(device[key], "DS1994 " + rom.ToString() + " \"" + key + "\"")->At(0);
  if (!std::isfinite(v) || v < 0 || v >= 4294967296.0) {
    throw std::invalid_argument("DS1994 " + rom.ToString() + ": \"" + key +
                                "\" must be from 0 to 4294967295");
  }
  return v;
}

uint64_t Read(const std::vector<uint8_t>& m, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | m[at + static_cast<size_t>(i)];
  return v;
}

void Put(std::vector<uint8_t>& m, size_t at, int bytes, uint64_t v) {
  for (int i = 0; i < bytes; ++i)
    m[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

bool Touches(uint16_t first, uint16_t last, uint8_t offset, int length) {
  return first <= kPage + offset + length - 1 && last >= kPage + offset;
}

// NV RAM and registers to 21Fh behind a scratchpad without CRC; Read Memory tells the model
// each byte it sends, since reading the status register clears its flags.
ScratchpadLayout Layout() {
  ScratchpadLayout s;
  s.memory_size = 0x220;
  s.read_byte_by_byte = true;
  return s;
}

}  // namespace

uint64_t DS1994Model::Counter::At(double now) const {
  if (!running) return base;
  const double elapsed = std::max(0.0, now - since);
  return (base + static_cast<uint64_t>(elapsed * 256)) % kWrap;
}

void DS1994Model::Counter::Run(bool run, double now) {
  if (run == running) return;
  base = At(now);
  since = now;
  running = run;
}

void DS1994Model::Counter::Set(uint64_t counts, double now) {
  base = counts % kWrap;
  since = now;
}

DS1994Model::DS1994Model(const access::RomId& rom, const nlohmann::json& device)
    : ScratchpadMemoryModel(rom, Layout(), {}) {
  clock_.base = static_cast<uint64_t>(std::llround(Number(device, rom, "clock", 0) * 256));
  interval_.base = static_cast<uint64_t>(std::llround(Number(device, rom, "interval", 0) * 256));
  cycles_ = static_cast<uint32_t>(Number(device, rom, "cycles", 0));
  const bool running = device.is_object() && device.contains("running") &&
                       ParseValueSource(device["running"], "DS1994 \"running\"")->BoolAt(0);
  if (running) control_ |= kOsc;
  Settle();
}

bool DS1994Model::IntervalRuns() const {
  if (!(control_ & kOsc)) return false;
  return (control_ & kAuto) ? true : !(control_ & kStopStart);
}

void DS1994Model::Settle() {
  const double now = Seconds();
  clock_.Run((control_ & kOsc) != 0, now);
  interval_.Run(IntervalRuns(), now);
  const uint64_t c = clock_.At(now), i = interval_.At(now);
  // A counter that passed its alarm value since the last look raises the flag.
  if (last_clock_ < clock_alarm_ && c >= clock_alarm_) status_ |= kRtf;
  if (last_interval_ < interval_alarm_ && i >= interval_alarm_) status_ |= kItf;
  last_clock_ = c;
  last_interval_ = i;
}

uint64_t DS1994Model::ClockCounts() {
  Settle();
  return clock_.At(Seconds());
}

uint64_t DS1994Model::IntervalCounts() {
  Settle();
  return interval_.At(Seconds());
}

void DS1994Model::Refresh() {
  Settle();
  const double now = Seconds();
  memory_[kPage + kStatus] = status_;
  memory_[kPage + kControl] = control_;
  Put(memory_, kPage + kClock, 5, clock_.At(now));
  Put(memory_, kPage + kInterval, 5, interval_.At(now));
  Put(memory_, kPage + kCycles, 4, cycles_);
  Put(memory_, kPage + kClockAlarm, 5, clock_alarm_);
  Put(memory_, kPage + kIntervalAlarm, 5, interval_alarm_);
  Put(memory_, kPage + kCycleAlarm, 4, cycle_alarm_);
}

void DS1994Model::Copied(uint16_t first, uint16_t last) {
  const double now = Seconds();
  if (Touches(first, last, kStatus, 1)) {
    // Only the interrupt enables are written; the flags are the device's.
    status_ = static_cast<uint8_t>((status_ & 0x07) | (memory_[kPage + kStatus] & 0x38));
  }
  if (Touches(first, last, kClock, 5)) {
    clock_.Set(Read(memory_, kPage + kClock, 5), now);
    last_clock_ = clock_.base;
  }
  if (Touches(first, last, kInterval, 5)) {
    interval_.Set(Read(memory_, kPage + kInterval, 5), now);
    last_interval_ = interval_.base;
  }
  if (Touches(first, last, kCycles, 4))
    cycles_ = static_cast<uint32_t>(Read(memory_, kPage + kCycles, 4));
  if (Touches(first, last, kClockAlarm, 5)) clock_alarm_ = Read(memory_, kPage + kClockAlarm, 5);
  if (Touches(first, last, kIntervalAlarm, 5))
    interval_alarm_ = Read(memory_, kPage + kIntervalAlarm, 5);
  if (Touches(first, last, kCycleAlarm, 4)) {
    cycle_alarm_ = static_cast<uint32_t>(Read(memory_, kPage + kCycleAlarm, 4));
  }
  if (Touches(first, last, kCycles, 4) || Touches(first, last, kCycleAlarm, 4)) {
    if (cycle_alarm_ != 0 && cycles_ >= cycle_alarm_) status_ |= kCcf;
  }
  if (Touches(first, last, kControl, 1)) control_ = memory_[kPage + kControl];
  Settle();
}

void DS1994Model::WasRead(uint16_t address) {
  // Reading the status register clears the alarm flags.
  if (address == kPage + kStatus) status_ &= static_cast<uint8_t>(~(kRtf | kItf | kCcf));
}

bool DS1994Model::Alarming() {
  Settle();
  return ((status_ & kRtf) && !(status_ & kRte)) || ((status_ & kItf) && !(status_ & kIte)) ||
         ((status_ & kCcf) && !(status_ & kCce));
}

std::unique_ptr<SimDevice> MakeDS1994Model(const access::RomId& rom, const nlohmann::json& device) {
  return std::make_unique<DS1994Model>(rom, device);
}

}  // namespace qb::sim
