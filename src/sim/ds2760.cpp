#include "sim/ds2760.h"

#include <algorithm>
#include <cmath>

#include "sim/models.h"

namespace qb::sim {

namespace {

constexpr uint8_t kReadData = 0x69;
constexpr uint8_t kWriteData = 0x6C;
constexpr uint8_t kCopyData = 0x48;
constexpr uint8_t kRecallData = 0xB8;
constexpr uint8_t kLock = 0x6A;

// A value as a left-aligned two's complement register of `bits` bits in `step` units.
uint16_t Register(double value, double step, int bits) {
  if (!std::isfinite(value)) value = 0;
  const long limit = (1L << (bits - 1)) - 1;
  const long steps = std::clamp<long>(std::lround(value / step), -limit - 1, limit);
  return static_cast<uint16_t>(static_cast<int16_t>(steps * (1 << (16 - bits))));
}

}  // namespace

DS2760Model::DS2760Model(const access::RomId& rom, const nlohmann::json& device) : SimDevice(rom) {
  auto value = [&](const char* key, double fallback) {
    if (!device.is_object() || !device.contains(key)) return Constant(fallback);
    return ParseValueSource(device[key], "DS2760 " + rom.ToString() + " \"" + key + "\"");
  };
  temperature_ = value("temperature", 20.0);
  voltage_ = value("voltage", 3.7);
  vsense_mv_ = value("vsense_mv", 0.0);
}

bool DS2760Model::Writable(int a) {
  return a == 0x01 || a == 0x08 || a == 0x10 || a == 0x11 || (a >= 0x20 && a < 0x40) ||
         (a >= 0x80 && a < 0x90);
}

void DS2760Model::Measure() {
  const double now = Seconds();
  // Voltage: 11 bits of 4.88 mV; current: 13 bits of 15.625 uV; temperature: 11 bits of
  // 0.125 degrees; each MSB first.
  const uint16_t v = Register(voltage_->At(now), 0.00488, 11);
  const uint16_t i = Register(vsense_mv_->At(now) / 1000, 15.625e-6, 13);
  const uint16_t t = Register(temperature_->At(now), 0.125, 11);
  for (auto [at, reg] : {std::pair{0x0C, v}, {0x0E, i}, {0x18, t}}) {
    memory_[static_cast<size_t>(at)] = static_cast<uint8_t>(reg >> 8);
    memory_[static_cast<size_t>(at + 1)] = static_cast<uint8_t>(reg & 0xFF);
  }
}

void DS2760Model::OnFunctionCommand(uint8_t command) {
  command_ = command;
  address_ = -1;
  switch (command) {
    case kReadData:
    case kWriteData:
    case kCopyData:
    case kRecallData:
    case kLock:
      return;
    default:
      Ignore();
      return;
  }
}

void DS2760Model::OnDataByte(uint8_t byte) {
  if (address_ < 0) {
    address_ = byte;
    switch (command_) {
      case kReadData:
        Measure();
        OnSendDone();
        return;
      case kCopyData:
      case kRecallData: {
        if (address_ < 0x20 || address_ >= 0x40) return;
        const size_t block = static_cast<size_t>(address_ & 0x10);
        for (size_t k = 0; k < 16; ++k) {
          if (command_ == kCopyData) {
            eeprom_[block + k] = memory_[0x20 + block + k];
          } else {
            memory_[0x20 + block + k] = eeprom_[block + k];
          }
        }
        return;
      }
      default:
        return;
    }
  }
  if (command_ == kWriteData && address_ < 256) {
    if (Writable(address_)) memory_[static_cast<size_t>(address_)] = byte;
    ++address_;
  }
}

void DS2760Model::OnSendDone() {
  if (command_ != kReadData || address_ < 0 || address_ > 0xFF) return;
  Send(memory_[static_cast<size_t>(address_++)]);
}

std::unique_ptr<SimDevice> MakeDS2760Model(const access::RomId& rom, const nlohmann::json& device) {
  return std::make_unique<DS2760Model>(rom, device);
}

bool DS2760Model::FollowValues(SimDevice& edited) {
  auto* e = dynamic_cast<DS2760Model*>(&edited);
  if (!e) return false;
  temperature_ = std::move(e->temperature_);
  voltage_ = std::move(e->voltage_);
  vsense_mv_ = std::move(e->vsense_mv_);
  return true;
}

}  // namespace qb::sim
