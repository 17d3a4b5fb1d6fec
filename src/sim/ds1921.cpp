#include "sim/ds1921.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "access/ds1921.h"
#include "sim/models.h"

namespace qb::sim {

namespace {

using access::DS1921Container;

constexpr uint16_t kPage = 0x200;
constexpr uint8_t kConvertTemperature = 0x44;
constexpr uint8_t kTlf = 0x04, kThf = 0x02, kTaf = 0x01;
constexpr uint8_t kTls = 0x04, kThs = 0x02, kTas = 0x01;

bool Touches(uint16_t first, uint16_t last, uint8_t offset, int length) {
  return first <= kPage + offset + length - 1 && last >= kPage + offset;
}

uint8_t Code(double celsius) {
  if (!std::isfinite(celsius)) celsius = 0;
  return *DS1921Container::CodeOf(std::clamp(celsius, -40.0, 85.0));
}

// SRAM, registers, alarm stamps, histogram and data log to 17FFh behind a scratchpad whose
// reads end with a CRC16, and Read Memory with CRC.
ScratchpadLayout Layout() {
  ScratchpadLayout s;
  s.memory_size = 0x1800;
  s.scratchpad_crc = true;
  s.read_memory_crc = true;
  s.read_byte_by_byte = true;
  return s;
}

}  // namespace

DS1921Model::DS1921Model(const access::RomId& rom, const nlohmann::json& device)
    : ScratchpadMemoryModel(rom, Layout(), {}) {
  const std::string name = "DS1921 " + rom.ToString();
  auto value = [&](const char* key, double fallback) {
    if (!device.is_object() || !device.contains(key)) return Constant(fallback);
    return ParseValueSource(device[key], name + " \"" + key + "\"");
  };
  temperature_ = value("temperature", 20.0);
  const double clock = value("clock", 0)->At(0);
  if (!std::isfinite(clock) || clock < -2208988800.0 || clock >= 4102444800.0) {
    throw std::invalid_argument(name + ": \"clock\" must lie in the years 1900 to 2099");
  }
  clock_base_ = static_cast<int64_t>(std::floor(clock));
  alarm_checked_ = clock_base_;
  if (value("running", 0)->BoolAt(0)) control_ = 0;
  for (auto [key, into, fallback] :
       {std::tuple{"alarm_low", &low_, -40.0}, std::tuple{"alarm_high", &high_, 85.0}}) {
    const double limit = value(key, fallback)->At(0);
    const auto code = DS1921Container::CodeOf(limit);
    if (!code) throw std::invalid_argument(name + ": \"" + key + "\" must be from -40 to 87.5");
    *into = *code;
  }
}

int64_t DS1921Model::ClockSeconds() {
  if (!Running()) return clock_base_;
  return clock_base_ + static_cast<int64_t>(std::floor(std::max(0.0, Seconds() - clock_since_)));
}

void DS1921Model::CheckLimits(uint8_t code) {
  if (code <= low_) flags_ |= kTlf;
  if (code >= high_) flags_ |= kThf;
}

void DS1921Model::Settle() {
  if (converted_at_ && Now() >= *converted_at_) {
    temperature_reg_ = Code(temperature_->At(Seconds()));
    CheckLimits(temperature_reg_);
    converted_at_.reset();
  }
  const int64_t now = ClockSeconds();
  if (now > alarm_checked_) {
    const auto next = DS1921Container::NextAlarm(alarm_, alarm_checked_ + 1);
    if (next && *next <= now) flags_ |= kTaf;
    alarm_checked_ = now;
  }
}

void DS1921Model::Refresh() {
  Settle();
  uint8_t* r = &memory_[kPage];
  if (!DS1921Container::EncodeClock(ClockSeconds(), twelve_hour_, r)) {
    std::fill(r, r + 7, 0);  // run past 2099: the registers wrap to nonsense, as a part would
  }
  std::copy(alarm_, alarm_ + 4, r + 0x07);
  r[0x0B] = low_;
  r[0x0C] = high_;
  r[0x0D] = sample_rate_;
  r[0x0E] = control_;
  r[0x0F] = r[0x10] = 0;
  r[0x11] = temperature_reg_;
  r[0x12] = static_cast<uint8_t>(start_delay_ & 0xFF);
  r[0x13] = static_cast<uint8_t>(start_delay_ >> 8);
  // TCB (bit 7) is 1 when no conversion runs; MEMCLR, MIP and SIP stay 0 without missions.
  r[0x14] = static_cast<uint8_t>((converted_at_ ? 0 : 0x80) | flags_);
}

bool DS1921Model::Writable(uint16_t address) const {
  if (address < kPage) return true;
  if (address >= kPage + 0x20) return false;  // alarm stamps, histogram and log: the mission's
  const uint16_t r = address - kPage;
  return r <= 0x0E || r == 0x12 || r == 0x13 || r == 0x14;
}

void DS1921Model::Copied(uint16_t first, uint16_t last) {
  const uint8_t* r = &memory_[kPage];
  if (Touches(first, last, 0x0E, 1)) {
    const bool was_running = Running();
    const int64_t now = ClockSeconds();
    control_ = r[0x0E] & 0xDF;  // bit 5 reads 0
    if (was_running != Running()) {
      clock_base_ = now;
      clock_since_ = Seconds();
    }
  }
  if (Touches(first, last, 0x00, 7)) {
    if (const auto seconds = DS1921Container::DecodeClock(r)) {
      clock_base_ = *seconds;
      clock_since_ = Seconds();
      alarm_checked_ = *seconds;
      twelve_hour_ = (r[2] & 0x40) != 0;
    }
  }
  if (Touches(first, last, 0x07, 4)) std::copy(r + 0x07, r + 0x0B, alarm_);
  if (Touches(first, last, 0x0B, 1)) low_ = r[0x0B];
  if (Touches(first, last, 0x0C, 1)) high_ = r[0x0C];
  if (Touches(first, last, 0x0D, 1)) sample_rate_ = r[0x0D];
  if (Touches(first, last, 0x12, 2)) start_delay_ = static_cast<uint16_t>(r[0x12] | r[0x13] << 8);
  // The alarm flags can only be written to 0.
  if (Touches(first, last, 0x14, 1)) flags_ &= r[0x14];
}

void DS1921Model::OtherCommand(uint8_t command) {
  if (command != kConvertTemperature) {
    Ignore();
    return;
  }
  Settle();
  if (!converted_at_) converted_at_ = Now() + kConvertTime;
}

bool DS1921Model::IdleBit() {
  Settle();
  return true;
}

bool DS1921Model::Alarming() {
  Settle();
  CheckLimits(Code(temperature_->At(Seconds())));
  return ((flags_ & kTlf) && (control_ & kTls)) || ((flags_ & kThf) && (control_ & kThs)) ||
         ((flags_ & kTaf) && (control_ & kTas));
}

std::unique_ptr<SimDevice> MakeDS1921Model(const access::RomId& rom, const nlohmann::json& device) {
  return std::make_unique<DS1921Model>(rom, device);
}

bool DS1921Model::FollowValues(SimDevice& edited) {
  return FollowSameModel<DS1921Model>(
      edited, [&](DS1921Model& e) { temperature_ = std::move(e.temperature_); });
}

}  // namespace qb::sim
