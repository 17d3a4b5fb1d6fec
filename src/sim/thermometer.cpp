#include "sim/thermometer.h"

#include <cmath>
#include <stdexcept>
#include <vector>

#include "access/crc.h"

namespace qb::sim {

namespace {

constexpr uint8_t kConvertT = 0x44;
constexpr uint8_t kWriteScratchpad = 0x4E;
constexpr uint8_t kReadScratchpad = 0xBE;
constexpr uint8_t kCopyScratchpad = 0x48;
constexpr uint8_t kRecallE2 = 0xB8;
constexpr uint8_t kReadPowerSupply = 0xB4;

// The EEPROM write of Copy Scratchpad (tWR, at most 10 ms).
constexpr std::chrono::microseconds kCopyTime{10000};

}  // namespace

int WholeNumber(const nlohmann::json& device, const char* key, int fallback, int lo, int hi,
                const std::string& name) {
  if (!device.contains(key)) return fallback;
  const nlohmann::json& v = device[key];
  const std::string range = std::to_string(lo) + " to " + std::to_string(hi);
  if (!v.is_number() || std::floor(v.get<double>()) != v.get<double>() || v.get<double>() < lo ||
      v.get<double>() > hi) {
    throw std::invalid_argument(name + ": \"" + key + "\" must be a whole number from " + range);
  }
  return static_cast<int>(v.get<double>());
}

ThermometerModel::ThermometerModel(const access::RomId& rom, const nlohmann::json& device)
    : SimDevice(rom) {
  if (!device.contains("temperature"))
    throw std::invalid_argument(Name() + ": \"temperature\" (C) is missing");
  temperature_ = ParseValueSource(device["temperature"], Name() + " \"temperature\"");
  // Default limits TH 125, TL -55: the ends of the measuring range, so that until limits are set
  // a device alarms only at the very bottom of its range.
  eeprom_[0] = static_cast<uint8_t>(
      static_cast<int8_t>(WholeNumber(device, "alarm_high", 125, -128, 127, Name())));
  eeprom_[1] = static_cast<uint8_t>(
      static_cast<int8_t>(WholeNumber(device, "alarm_low", -55, -128, 127, Name())));
  eeprom_[2] = 0xFF;
  if (device.contains("power")) {
    const auto& p = device["power"];
    if (p == "external") {
      power_ = Power::External;
    } else if (p == "parasite") {
      power_ = Power::Parasite;
    } else {
      throw std::invalid_argument(Name() + ": \"power\" must be \"external\" or \"parasite\"");
    }
  }
}

void ThermometerModel::PowerOn() {
  pad_[2] = eeprom_[0];
  pad_[3] = eeprom_[1];
  PowerOnRegisters();
  alarm_ = false;
  operation_ = Operation::None;
  awaiting_power_ = false;
  mode_ = Mode::None;
}

std::array<uint8_t, 9> ThermometerModel::Scratchpad() {
  Update();
  std::array<uint8_t, 9> out{};
  std::copy(pad_.begin(), pad_.end(), out.begin());
  out[8] = access::Crc8(pad_.data(), pad_.size());
  return out;
}

bool ThermometerModel::InAlarm() {
  Update();
  return alarm_;
}

void ThermometerModel::Update() {
  if (operation_ != Operation::None && !awaiting_power_ && Now() >= started_ + duration_) Finish();
}

void ThermometerModel::Finish() {
  const Clock::Monotonic at = started_ + duration_;
  if (operation_ == Operation::Convert && FaultHappens(faults().power_on_rate)) {
    // The conversion was lost to a brief loss of power: the device starts afresh.
    ++faults().power_ons_injected;
    PowerOn();
    return;
  }
  if (operation_ == Operation::Convert) {
    // The value the device measured when its conversion ended.
    const double seconds = Seconds() - std::chrono::duration<double>(Now() - at).count();
    StoreMeasurement(temperature_->At(seconds));
    alarm_ = AlarmCondition();
  } else if (operation_ == Operation::Copy) {
    for (size_t i = 0; i < WritableBytes(); ++i) eeprom_[i] = pad_[2 + i];
  }
  operation_ = Operation::None;
}

void ThermometerModel::BrownOut() {
  PowerOn();
}

void ThermometerModel::OnReset() {
  if (awaiting_power_) BrownOut();
  Update();
  mode_ = Mode::None;
  written_ = 0;
}

void ThermometerModel::OnFunctionCommand(uint8_t command) {
  Update();
  mode_ = Mode::None;
  switch (command) {
    case kConvertT:
    case kCopyScratchpad:
      operation_ = command == kConvertT ? Operation::Convert : Operation::Copy;
      started_ = Now();
      duration_ = command == kConvertT ? ConversionTime() : kCopyTime;
      awaiting_power_ = power_ == Power::Parasite;
      mode_ = Mode::Busy;
      return;
    case kReadScratchpad: {
      const auto pad = Scratchpad();
      Send(std::vector<uint8_t>(pad.begin(), pad.end()));
      return;
    }
    case kWriteScratchpad:
      mode_ = Mode::WriteScratchpad;
      written_ = 0;
      return;
    case kRecallE2:
      // Takes microseconds: done before the master's first read slot.
      for (size_t i = 0; i < WritableBytes(); ++i) pad_[2 + i] = eeprom_[i];
      mode_ = Mode::None;
      return;
    case kReadPowerSupply:
      mode_ = Mode::PowerSupply;
      return;
    default:
      Ignore();
      return;
  }
}

void ThermometerModel::OnDataByte(uint8_t byte) {
  if (awaiting_power_) {  // the master talks on instead of holding the line up
    BrownOut();
    Ignore();
    return;
  }
  if (mode_ != Mode::WriteScratchpad || written_ >= WritableBytes()) return;
  // Each byte lands as it arrives; a reset before the last leaves the earlier ones written.
  pad_[2 + written_] = written_ == 2 ? KeepConfig(byte) : byte;
  ++written_;
}

bool ThermometerModel::IdleBit() {
  if (awaiting_power_) {
    BrownOut();
    Ignore();
    return true;
  }
  Update();
  switch (mode_) {
    case Mode::Busy:
      return operation_ == Operation::None;
    case Mode::PowerSupply:
      return power_ == Power::External;  // a parasite-powered part pulls the slot low
    default:
      return true;
  }
}

bool ThermometerModel::Alarming() {
  Update();
  return alarm_;
}

void ThermometerModel::Powered(std::chrono::milliseconds duration) {
  if (!awaiting_power_) {
    Update();
    return;
  }
  awaiting_power_ = false;
  if (duration >= duration_) {
    Finish();
  } else {
    BrownOut();  // the pull-up ended before the operation did
    Ignore();
  }
}

bool ThermometerModel::FollowValues(SimDevice& edited) {
  auto* e = dynamic_cast<ThermometerModel*>(&edited);
  if (!e || e->power_ != power_) return false;  // a change of power is a new part
  temperature_ = std::move(e->temperature_);
  return true;
}

}  // namespace qb::sim
