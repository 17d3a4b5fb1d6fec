#include "sim/ds2438.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "access/crc.h"
#include "sim/models.h"

namespace qb::sim {

namespace {

constexpr uint8_t kWriteScratchpad = 0x4E;
constexpr uint8_t kReadScratchpad = 0xBE;
constexpr uint8_t kCopyScratchpad = 0x48;
constexpr uint8_t kRecallMemory = 0xB8;
constexpr uint8_t kConvertT = 0x44;
constexpr uint8_t kConvertV = 0xB4;

constexpr uint8_t kIad = 0x01;
constexpr uint8_t kAd = 0x08;
constexpr uint8_t kTb = 0x10;
constexpr uint8_t kNvb = 0x20;
constexpr uint8_t kAdb = 0x40;

std::unique_ptr<ValueSource> Source(const nlohmann::json& device, const access::RomId& rom,
                                    const char* key, double fallback) {
  if (!device.is_object() || !device.contains(key)) return Constant(fallback);
  return ParseValueSource(device[key], "DS2438 " + rom.ToString() + " \"" + key + "\"");
}

// Temperature in the 13-bit, 1/32 degree format, left-aligned; the part reads -55 to +125.
uint16_t EncodeTemperature(double celsius) {
  if (!std::isfinite(celsius)) celsius = 0;
  const double clamped = std::clamp(celsius, -55.0, 125.0);
  const auto steps = static_cast<int>(std::lround(clamped / 0.03125));
  return static_cast<uint16_t>(static_cast<int16_t>(steps * 8));
}

// A voltage in 10 mV steps, 10 bits.
uint16_t EncodeVoltage(double volts) {
  if (!std::isfinite(volts)) volts = 0;
  return static_cast<uint16_t>(std::clamp<long>(std::lround(volts / 0.01), 0, 1023));
}

}  // namespace

DS2438Model::DS2438Model(const access::RomId& rom, const nlohmann::json& device)
    : SimDevice(rom),
      temperature_(Source(device, rom, "temperature", 20.0)),
      vdd_(Source(device, rom, "vdd", 5.0)),
      vad_(Source(device, rom, "vad", 0.0)),
      vsense_mv_(Source(device, rom, "vsense_mv", 0.0)) {
  for (int p = 2; p < 8; ++p) memory_[static_cast<size_t>(p)].fill(0);
}

double DS2438Model::SecondsAt(Clock::Monotonic when) const {
  return Seconds() - std::chrono::duration<double>(Now() - when).count();
}

void DS2438Model::Settle() {
  const auto now = Now();
  if (temperature_done_ && now >= *temperature_done_) {
    temperature_reg_ = EncodeTemperature(temperature_->At(SecondsAt(*temperature_done_)));
    temperature_done_.reset();
  }
  if (voltage_done_ && now >= *voltage_done_) {
    ValueSource& input = voltage_of_vdd_ ? *vdd_ : *vad_;
    voltage_reg_ = EncodeVoltage(input.At(SecondsAt(*voltage_done_)));
    voltage_done_.reset();
  }
  if (eeprom_done_ && now >= *eeprom_done_) eeprom_done_.reset();
  UpdateCurrent();
}

void DS2438Model::UpdateCurrent() {
  if (!(config_ & kIad)) return;
  const auto now = Now();
  // Set at power-up: the converter has been running since the bus was made.
  if (!iad_since_) {
    iad_since_ = now - std::chrono::duration_cast<Clock::Monotonic::duration>(
                           std::chrono::duration<double>(Seconds()));
  }
  const auto running = now - *iad_since_;
  const auto conversions = running / kCurrentPeriod;
  if (conversions == 0) return;  // the first conversion is still running
  const auto at =
      *iad_since_ +
      conversions * std::chrono::duration_cast<Clock::Monotonic::duration>(kCurrentPeriod);
  if (last_current_at_ && *last_current_at_ == at) return;
  last_current_at_ = at;
  // The register counts 1/4096 V (0.2441 mV) across the sense resistor, plus the offset
  // register, and holds a sign and ten bits.
  double mv = vsense_mv_->At(SecondsAt(at));
  if (!std::isfinite(mv)) mv = 0;
  const long measured = std::lround(mv * 4.096);
  const long offset = static_cast<int16_t>(offset_reg_) >> 3;
  current_reg_ = static_cast<int16_t>(std::clamp<long>(measured + offset, -1024, 1023));
}

DS2438Model::Page DS2438Model::MemoryPage(int page) {
  Settle();
  Page out{};
  switch (page) {
    case 0: {
      uint8_t status = config_;
      if (temperature_done_) status |= kTb;
      if (eeprom_done_) status |= kNvb;
      if (voltage_done_) status |= kAdb;
      const auto current = static_cast<uint16_t>(current_reg_);
      out = {status,
             static_cast<uint8_t>(temperature_reg_ & 0xFF),
             static_cast<uint8_t>(temperature_reg_ >> 8),
             static_cast<uint8_t>(voltage_reg_ & 0xFF),
             static_cast<uint8_t>(voltage_reg_ >> 8),
             static_cast<uint8_t>(current & 0xFF),
             static_cast<uint8_t>(current >> 8),
             threshold_};
      break;
    }
    case 1: {
      const double since = std::max(0.0, Seconds() - etm_set_at_);
      const auto etm = static_cast<uint32_t>(etm_base_ + static_cast<uint64_t>(since));
      out = {static_cast<uint8_t>(etm),
             static_cast<uint8_t>(etm >> 8),
             static_cast<uint8_t>(etm >> 16),
             static_cast<uint8_t>(etm >> 24),
             ica_,
             static_cast<uint8_t>(offset_reg_ & 0xFF),
             static_cast<uint8_t>(offset_reg_ >> 8),
             0xFF};
      break;
    }
    default:
      if (page >= 2 && page < 8) out = memory_[static_cast<size_t>(page)];
      break;
  }
  return out;
}

void DS2438Model::ApplyConfig(uint8_t byte) {
  const uint8_t config = byte & 0x0F;
  if ((config & kIad) && !(config_ & kIad)) {
    iad_since_ = Now();
    last_current_at_.reset();
  }
  config_ = config;
}

void DS2438Model::Copy(int page) {
  const Page& s = scratchpad_[static_cast<size_t>(page)];
  switch (page) {
    case 0: {
      // Only the configuration bits and the threshold are writable; the measurement registers
      // are read-only.
      ApplyConfig(s[0]);
      threshold_ = s[7] & 0xC0;
      eeprom_done_ = Now() + kEepromTime;
      break;
    }
    case 1:
      etm_base_ =
          static_cast<uint32_t>(s[0] | s[1] << 8 | s[2] << 16 | static_cast<uint32_t>(s[3]) << 24);
      etm_set_at_ = Seconds();
      ica_ = s[4];
      offset_reg_ = static_cast<uint16_t>(s[5] | s[6] << 8);
      eeprom_done_ = Now() + kEepromTime;  // the offset register is nonvolatile
      break;
    case 2:
      memory_[2] = s;
      break;
    default:
      memory_[static_cast<size_t>(page)] = s;
      eeprom_done_ = Now() + kEepromTime;
      break;
  }
}

void DS2438Model::OnFunctionCommand(uint8_t command) {
  Settle();
  command_ = command;
  page_ = -1;
  write_offset_ = 0;
  switch (command) {
    case kWriteScratchpad:
    case kReadScratchpad:
    case kCopyScratchpad:
    case kRecallMemory:
      return;
    case kConvertT:
      if (!temperature_done_) temperature_done_ = Now() + kTemperatureTime;
      return;
    case kConvertV:
      if (!voltage_done_) {
        voltage_of_vdd_ = (config_ & kAd) != 0;
        voltage_done_ = Now() + kVoltageTime;
      }
      return;
    default:
      Ignore();
      return;
  }
}

void DS2438Model::OnDataByte(uint8_t byte) {
  if (page_ < 0) {
    if (byte > 7) {
      Ignore();
      return;
    }
    page_ = byte;
    switch (command_) {
      case kReadScratchpad: {
        const Page& s = scratchpad_[static_cast<size_t>(page_)];
        std::vector<uint8_t> out(s.begin(), s.end());
        out.push_back(access::Crc8(s.data(), s.size()));
        Send(out);
        return;
      }
      case kCopyScratchpad:
        Copy(page_);
        return;
      case kRecallMemory:
        scratchpad_[static_cast<size_t>(page_)] = MemoryPage(page_);
        return;
      default:
        return;
    }
  }
  if (command_ == kWriteScratchpad && write_offset_ < 8) {
    // The configuration bits act as soon as they are written; Copy Scratchpad only makes them
    // survive a power cycle (other 1-Wire software sets AD this way before Convert V).
    if (page_ == 0 && write_offset_ == 0) ApplyConfig(byte);
    scratchpad_[static_cast<size_t>(page_)][static_cast<size_t>(write_offset_++)] = byte;
  }
}

bool DS2438Model::IdleBit() {
  Settle();
  switch (command_) {
    case kConvertT:
      return !temperature_done_;
    case kConvertV:
      return !voltage_done_;
    case kCopyScratchpad:
      return page_ < 0 || !eeprom_done_;
    default:
      return true;
  }
}

std::unique_ptr<SimDevice> MakeDS2438Model(const access::RomId& rom, const nlohmann::json& device) {
  return std::make_unique<DS2438Model>(rom, device);
}

bool DS2438Model::FollowValues(SimDevice& edited) {
  auto* e = dynamic_cast<DS2438Model*>(&edited);
  if (!e) return false;
  temperature_ = std::move(e->temperature_);
  vdd_ = std::move(e->vdd_);
  vad_ = std::move(e->vad_);
  vsense_mv_ = std::move(e->vsense_mv_);
  return true;
}

}  // namespace qb::sim
