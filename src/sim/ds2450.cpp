#include "sim/ds2450.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "access/crc.h"
#include "sim/models.h"

namespace qb::sim {

namespace {

constexpr uint8_t kReadMemory = 0xAA;
constexpr uint8_t kWriteMemory = 0x55;
constexpr uint8_t kConvert = 0x3C;

constexpr size_t kMemorySize = 32;
constexpr size_t kVccControl = 0x1C;
constexpr uint8_t kVccPowered = 0x40;

constexpr auto kConversionOffset = std::chrono::microseconds(160);
constexpr auto kConversionPerBit = std::chrono::microseconds(80);

void AppendInvertedCrc(std::vector<uint8_t>& out, uint16_t crc) {
  crc = static_cast<uint16_t>(~crc);
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
  out.push_back(static_cast<uint8_t>(crc >> 8));
}

}  // namespace

DS2450Model::DS2450Model(const access::RomId& rom, const nlohmann::json& device) : SimDevice(rom) {
  const std::string what = "DS2450 " + rom.ToString() + " \"inputs\"";
  if (device.is_object() && device.contains("inputs")) {
    const nlohmann::json& inputs = device["inputs"];
    if (!inputs.is_array() || inputs.size() != 4) {
      throw std::invalid_argument(what + ": expected an array of four voltages (channels A to D)");
    }
    for (size_t i = 0; i < 4; ++i) {
      inputs_[i] = ParseValueSource(
          inputs[i], what + " channel " + std::string(1, static_cast<char>('A' + i)));
    }
  } else {
    for (auto& input : inputs_) input = Constant(0.0);
  }
  for (size_t c = 0; c < 4; ++c) {
    memory_[0x08 + 2 * c] = 0x08;  // 8 bits, output disabled
    memory_[0x09 + 2 * c] = 0x8C;  // POR, both alarms enabled, 2.56 V range
    memory_[0x10 + 2 * c] = 0x00;  // low limit
    memory_[0x11 + 2 * c] = 0xFF;  // high limit
  }
}

double DS2450Model::SecondsAt(Clock::Monotonic when) const {
  return Seconds() - std::chrono::duration<double>(Now() - when).count();
}

void DS2450Model::OnFunctionCommand(uint8_t command) {
  Settle(Now());
  command_ = command;
  switch (command) {
    case kReadMemory:
    case kWriteMemory:
      step_ = Step::AddressLow;
      return;
    case kConvert:
      step_ = Step::Mask;
      return;
    default:
      step_ = Step::Done;
      Ignore();
      return;
  }
}

void DS2450Model::OnDataByte(uint8_t byte) {
  switch (step_) {
    case Step::AddressLow:
      address_ = byte;
      step_ = Step::AddressHigh;
      return;
    case Step::AddressHigh:
      address_ = static_cast<uint16_t>(address_ | byte << 8);
      if (address_ >= kMemorySize) {
        step_ = Step::Done;
        Ignore();
        return;
      }
      if (command_ == kReadMemory) {
        step_ = Step::Done;
        SendPage(true);
      } else {
        step_ = Step::Data;
        first_byte_ = true;
      }
      return;
    case Step::Data: {
      data_ = byte;
      // The first CRC16 covers the command, the address and the data byte; for each later byte
      // the CRC register is loaded with the (incremented) address and the data byte shifted in.
      uint16_t value;
      if (first_byte_) {
        const uint8_t covered[4] = {kWriteMemory, static_cast<uint8_t>(address_ & 0xFF),
                                    static_cast<uint8_t>(address_ >> 8), data_};
        value = access::Crc16(covered, sizeof covered);
      } else {
        value = access::Crc16(&data_, 1, address_);
      }
      std::vector<uint8_t> crc;
      AppendInvertedCrc(crc, value);
      step_ = Step::Crc;
      Send(crc);
      return;
    }
    case Step::Mask:
      mask_ = byte;
      step_ = Step::Control;
      return;
    case Step::Control: {
      control_ = byte;
      const uint8_t covered[3] = {kConvert, mask_, control_};
      std::vector<uint8_t> crc;
      AppendInvertedCrc(crc, access::Crc16(covered, sizeof covered));
      step_ = Step::Crc;
      Send(crc);
      return;
    }
    default:
      return;
  }
}

void DS2450Model::OnSendDone() {
  if (command_ == kReadMemory) {
    if (address_ < kMemorySize) SendPage(false);
    return;
  }
  if (command_ == kWriteMemory) {
    if (step_ == Step::Crc) {
      Store(address_, data_);
      step_ = Step::ReadBack;
      Send(memory_[address_]);
    } else if (step_ == Step::ReadBack) {
      first_byte_ = false;
      if (++address_ >= kMemorySize) {
        step_ = Step::Done;
        Ignore();
      } else {
        step_ = Step::Data;
      }
    }
    return;
  }
  if (command_ == kConvert && step_ == Step::Crc) {
    step_ = Step::Done;
    StartConversion();
  }
}

void DS2450Model::SendPage(bool first) {
  Settle(Now());
  const size_t end = (address_ / 8 + 1) * 8;
  std::vector<uint8_t> out(memory_.begin() + address_, memory_.begin() + static_cast<long>(end));
  uint16_t seed = 0;
  if (first) {
    const uint8_t head[3] = {kReadMemory, static_cast<uint8_t>(address_ & 0xFF),
                             static_cast<uint8_t>(address_ >> 8)};
    seed = access::Crc16(head, sizeof head);
  }
  AppendInvertedCrc(out, access::Crc16(out.data(), out.size(), seed));
  address_ = static_cast<uint16_t>(end);
  Send(out);
}

void DS2450Model::Store(size_t address, uint8_t data) {
  if (address < 0x08 || (address >= 0x10 && address < 0x18)) {
    memory_[address] = data;
  } else if (address < 0x10) {
    if (address % 2 == 0) {
      memory_[address] = data & 0xCF;  // bits 4 and 5 always read 0
    } else {
      // IR, AEL and AEH take what is written; the alarm flags and POR can only be cleared; bits
      // 1 and 6 always read 0.
      memory_[address] = static_cast<uint8_t>((data & 0x0D) | (memory_[address] & data & 0xB0));
    }
  } else if (address == kVccControl) {
    memory_[address] = data;
  }
  // The rest of page 3 holds factory calibration and is not changed.
}

void DS2450Model::StartConversion() {
  Settle(Now());
  conversion_start_ = Now();
  done_at_.fill(std::nullopt);
  Clock::Monotonic at =
      conversion_start_ + std::chrono::duration_cast<Clock::Monotonic::duration>(kConversionOffset);
  for (int c = 0; c < 4; ++c) {
    if (!(mask_ & (1u << c))) continue;
    const auto idx = static_cast<size_t>(2 * c);
    // Read-out control: per channel, bit 0 presets the result to all 0s, bit 1 to all 1s.
    const unsigned preset = (control_ >> (2 * c)) & 0x03;
    if (preset == 0x01) memory_[idx] = memory_[idx + 1] = 0x00;
    if (preset == 0x02) memory_[idx] = memory_[idx + 1] = 0xFF;
    const int code = memory_[0x08 + idx] & 0x0F;
    const int bits = code == 0 ? 16 : code;
    at += std::chrono::duration_cast<Clock::Monotonic::duration>(kConversionPerBit * bits);
    done_at_[static_cast<size_t>(c)] = at;
  }
}

void DS2450Model::Settle(Clock::Monotonic until) {
  for (int c = 0; c < 4; ++c) {
    auto& done = done_at_[static_cast<size_t>(c)];
    if (done && *done <= until) {
      Finish(c, *done);
      done.reset();
    }
  }
}

void DS2450Model::Finish(int channel, Clock::Monotonic at) {
  const auto idx = static_cast<size_t>(2 * channel);
  if (memory_[kVccControl] != kVccPowered) {
    const bool powered =
        // The master applies the pull-up right after the CRC's last bit, which is when the
        // conversion starts: a pull-up that begins within a millisecond of it counts.
        power_from_ && power_until_ &&
        *power_from_ <= conversion_start_ + std::chrono::milliseconds(1) && at <= *power_until_;
    if (!powered) return;  // browned out: the result registers keep what they held
  }
  const uint8_t control = memory_[0x08 + idx];
  uint8_t& status = memory_[0x09 + idx];
  double volts = inputs_[static_cast<size_t>(channel)]->At(SecondsAt(at));
  if ((control & 0x80) && !(control & 0x40)) volts = 0;  // the conducting output grounds the input
  if (!std::isfinite(volts)) volts = 0;
  const double range = (status & 0x01) ? 5.12 : 2.56;
  const int code = control & 0x0F;
  const int bits = code == 0 ? 16 : code;
  const double full = std::ldexp(1.0, bits);
  const double steps = std::floor(std::clamp(volts, 0.0, range) / range * full);
  const auto value = static_cast<uint32_t>(std::min(steps, full - 1));
  const auto result = static_cast<uint16_t>(value << (16 - bits));
  memory_[idx] = static_cast<uint8_t>(result & 0xFF);
  memory_[idx + 1] = static_cast<uint8_t>(result >> 8);
  // The alarm limits compare with the 8 most significant bits of the result.
  const uint8_t top = memory_[idx + 1];
  status = static_cast<uint8_t>(status & ~0x30);
  if (top < memory_[0x10 + idx]) status |= 0x10;
  if (top > memory_[0x11 + idx]) status |= 0x20;
}

bool DS2450Model::IdleBit() {
  if (command_ != kConvert || step_ != Step::Done) return true;
  Settle(Now());
  return std::none_of(done_at_.begin(), done_at_.end(),
                      [](const auto& d) { return d.has_value(); });
}

bool DS2450Model::Alarming() {
  Settle(Now());
  for (size_t c = 0; c < 4; ++c) {
    const uint8_t status = memory_[0x09 + 2 * c];
    if (status & 0x80) return true;
    if ((status & 0x08) && (status & 0x20)) return true;
    if ((status & 0x04) && (status & 0x10)) return true;
  }
  return false;
}

void DS2450Model::OnReset() {
  Settle(Now());
  command_ = 0;
  step_ = Step::Done;
}

void DS2450Model::Powered(std::chrono::milliseconds duration) {
  const auto now = Now();
  // Conversions that ended before this pull-up began are judged by the one before it.
  Settle(now - duration);
  power_from_ = now - duration;
  power_until_ = now;
  Settle(now);
}

std::unique_ptr<SimDevice> MakeDS2450Model(const access::RomId& rom, const nlohmann::json& device) {
  return std::make_unique<DS2450Model>(rom, device);
}

bool DS2450Model::FollowValues(SimDevice& edited) {
  auto* e = dynamic_cast<DS2450Model*>(&edited);
  if (!e) return false;
  inputs_ = std::move(e->inputs_);
  return true;
}

}  // namespace qb::sim
