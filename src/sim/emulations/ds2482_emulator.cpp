#include "sim/emulations/ds2482_emulator.h"

#include "access/masters/ds2482_master.h"

namespace qb::sim {

using namespace access::ds2482;

DS2482Emulator::DS2482Emulator(std::vector<std::shared_ptr<SimBus>> channels)
    : channels_(std::move(channels)) {
  PowerUp();
}

void DS2482Emulator::PowerUp() {
  EndPullup();
  channel_ = 0;
  config_ = 0;
  status_ = kDeviceWasReset | kLogicLevel;
  pointer_ = kStatusRegister;
  data_ = 0;
}

void DS2482Emulator::EndPullup() {
  if (!pullup_since_) return;
  const auto held =
      std::chrono::ceil<std::chrono::milliseconds>(bus().clock().MonotonicNow() - *pullup_since_);
  pullup_since_.reset();
  for (const auto& device : bus().devices()) device->Powered(held);
  power_delivered_ += held;
  config_ &= static_cast<uint8_t>(~kStrongPullup);
}

void DS2482Emulator::StartPullupIfArmed() {
  if (config_ & kStrongPullup) pullup_since_ = bus().clock().MonotonicNow();
}

bool DS2482Emulator::Slot(bool bit) {
  return bus().Slot(bit, Overdrive());
}

bool DS2482Emulator::Write(const uint8_t* data, size_t length) {
  ++transactions_;
  if (nacks_pending_ > 0) {
    --nacks_pending_;
    return false;
  }
  if (length == 0) return true;  // an address probe
  if (length > 2) return false;  // the chip stops acknowledging after a command's parameter
  return Command(data[0], length == 2 ? std::optional<uint8_t>(data[1]) : std::nullopt);
}

bool DS2482Emulator::Read(uint8_t* data, size_t length) {
  ++transactions_;
  if (nacks_pending_ > 0) {
    --nacks_pending_;
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    switch (pointer_) {
      case kStatusRegister:
        data[i] = status_;
        if (busy_reads_ > 0) {
          --busy_reads_;
          data[i] |= kBusy;
        }
        break;
      case kDataRegister:
        data[i] = data_;
        break;
      case kConfigRegister:
        data[i] = config_ & 0x0F;
        break;
      default:  // the channel register
        data[i] = ChannelReadBack(channel_);
        break;
    }
  }
  return true;
}

bool DS2482Emulator::Command(uint8_t command, std::optional<uint8_t> parameter) {
  const bool needs_parameter = command == kSetReadPointer || command == kWriteConfig ||
                               command == kChannelSelect || command == kSingleBit ||
                               command == kWriteByte || command == kTriplet;
  if (needs_parameter != parameter.has_value()) return false;
  const uint8_t p = parameter.value_or(0);
  // Every 1-Wire command and every configuration write ends a strong pull-up.
  if (command != kSetReadPointer && command != kChannelSelect) EndPullup();
  switch (command) {
    case kDeviceReset:
      ++device_resets_;
      PowerUp();
      return true;
    case kSetReadPointer:
      if (p != kStatusRegister && p != kDataRegister && p != kConfigRegister &&
          !(p == kChannelRegister && Channels() == 8))
        return false;
      pointer_ = p;
      return true;
    case kWriteConfig:
      // The upper nibble must be the complement of the lower one; otherwise nothing changes.
      if ((p >> 4) != (~p & 0x0F)) {
        pointer_ = kConfigRegister;
        return true;
      }
      config_ = p & 0x0F;
      status_ &= static_cast<uint8_t>(~kDeviceWasReset);
      pointer_ = kConfigRegister;
      return true;
    case kChannelSelect: {
      if (Channels() != 8) return false;
      int channel = -1;
      for (int c = 0; c < 8; ++c)
        if (ChannelCode(c) == p) channel = c;
      if (channel < 0) return false;
      channel_ = channel;
      pointer_ = kChannelRegister;
      return true;
    }
    default:
      break;
  }
  pointer_ = kStatusRegister;
  const uint8_t keep = status_ & kDeviceWasReset;
  switch (command) {
    case kOneWireReset: {
      const access::ResetResult r = bus().Reset(Overdrive());
      status_ = keep | kLogicLevel;
      if (r == access::ResetResult::Short) status_ |= kShort;
      if (r == access::ResetResult::Presence || r == access::ResetResult::Alarm)
        status_ |= kPresence;
      return true;
    }
    case kSingleBit: {
      const bool bit = Slot(p & 0x80);
      status_ = keep | kLogicLevel | (bit ? kSingleBitResult : 0);
      StartPullupIfArmed();
      return true;
    }
    case kWriteByte:
    case kReadByte: {
      const uint8_t out = command == kWriteByte ? p : 0xFF;
      uint8_t in = 0;
      for (int i = 0; i < 8; ++i)
        if (Slot((out >> i) & 1)) in |= static_cast<uint8_t>(1u << i);
      // The data register takes the bits sampled on the line, for a written byte as well (peers
      // check a written byte by reading it back from there).
      data_ = in;
      status_ = keep | kLogicLevel;
      StartPullupIfArmed();
      return true;
    }
    case kTriplet: {
      const bool id = Slot(true);
      const bool cmp = Slot(true);
      bool direction = p & 0x80;
      if (id && !cmp) direction = true;
      if (!id && cmp) direction = false;
      Slot(direction);
      status_ = keep | kLogicLevel | (id ? kSingleBitResult : 0) | (cmp ? kTripletSecondBit : 0) |
                (direction ? kBranchDirection : 0);
      return true;
    }
    default:
      return false;  // not a command of this chip
  }
}

}  // namespace qb::sim
