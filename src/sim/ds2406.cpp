#include "sim/ds2406.h"

#include <algorithm>
#include <stdexcept>

#include "access/crc.h"
#include "sim/inverted_crc.h"
#include "sim/models.h"
#include "sim/switch_channels.h"

namespace qb::sim {

namespace {

constexpr uint8_t kReadMemory = 0xF0;
constexpr uint8_t kReadStatus = 0xAA;
constexpr uint8_t kWriteStatus = 0x55;
constexpr uint8_t kChannelAccess = 0xF5;

// Channel Control Byte 1.
constexpr uint8_t kAlr = 0x80;  // reset both activity latches
constexpr uint8_t kIm = 0x40;   // initial mode: 1 read, 0 write
constexpr uint8_t kTog = 0x20;  // alternate between reading and writing after every byte

}  // namespace

DS2406Model::DS2406Model(const access::RomId& rom, int channels, std::array<bool, 2> conducting,
                         std::array<std::unique_ptr<ValueSource>, 2> levels)
    : SimDevice(rom), channels_(channels), levels_(std::move(levels)) {
  // Factory state: the EPROM bytes erased, 5 and 6 programmed to zero; byte 7 powers up with
  // every search-selection bit and both flip-flops at 1; no Vcc supply (bit 7 reads 0).
  status_ = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x7F};
  for (int c = 0; c < 2; ++c) {
    if (conducting[static_cast<size_t>(c)]) status_[7] &= static_cast<uint8_t>(~(1u << (5 + c)));
  }
  for (int c = 0; c < 2; ++c) last_pin_[static_cast<size_t>(c)] = PinLevel(c);
}

bool DS2406Model::PinLevel(int channel) {
  if (channel >= channels_) return false;
  return !Conducting(channel) && levels_[static_cast<size_t>(channel)]->BoolAt(Seconds());
}

void DS2406Model::Sample() {
  for (int c = 0; c < channels_; ++c) {
    const bool pin = PinLevel(c);
    if (pin != last_pin_[static_cast<size_t>(c)]) activity_[static_cast<size_t>(c)] = true;
    last_pin_[static_cast<size_t>(c)] = pin;
  }
}

uint8_t DS2406Model::ChannelInfo() {
  Sample();
  uint8_t info = 0;
  if (status_[7] & 0x20) info |= 0x01;
  if (status_[7] & 0x40) info |= 0x02;
  if (PinLevel(0)) info |= 0x04;
  if (PinLevel(1)) info |= 0x08;
  if (activity_[0]) info |= 0x10;
  if (activity_[1]) info |= 0x20;
  if (channels_ == 2) info |= 0x40;
  if (status_[7] & 0x80) info |= 0x80;
  return info;
}

void DS2406Model::OnReset() {
  Sample();
  step_ = Step::None;
  rx_.clear();
}

bool DS2406Model::Alarming() {
  Sample();
  const uint8_t css = status_[7] & 0x1F;
  const int channel_select = css >> 3;
  const int source = css >> 1 & 0x03;
  const bool polarity = css & 0x01;
  if (source == 0) return false;         // reserved selection
  if (channel_select == 0) return true;  // unconditional
  auto holds = [&](int c) {
    if (c >= channels_) return false;
    bool value = false;
    switch (source) {
      case 1:
        value = activity_[static_cast<size_t>(c)];
        break;
      case 2:
        value = status_[7] >> (5 + c) & 1;  // the flip-flop: 0 while the transistor conducts
        break;
      default:
        value = PinLevel(c);
        break;
    }
    return value == polarity;
  };
  return ((channel_select & 1) && holds(0)) || ((channel_select & 2) && holds(1));
}

void DS2406Model::OnFunctionCommand(uint8_t command) {
  command_ = command;
  rx_.assign(1, command);
  switch (command) {
    case kReadStatus:
    case kWriteStatus:
      step_ = Step::Address;
      return;
    case kChannelAccess:
      step_ = Step::Control;
      return;
    case kReadMemory:  // the EPROM data memory is not modelled
    default:
      Ignore();
      return;
  }
}

void DS2406Model::OnDataByte(uint8_t byte) {
  switch (step_) {
    case Step::Address:
      rx_.push_back(byte);
      if (rx_.size() < 3) return;
      // Addresses past the 8-byte status memory have their upper bits cleared by the part, so
      // the master's CRC no longer matches and it learns of the error.
      rx_[1] &= 0x07;
      rx_[2] = 0;
      address_ = rx_[1];
      if (command_ == kReadStatus) {
        std::vector<uint8_t> out(status_.begin() + address_, status_.end());
        AppendInvertedCrc16(out, rx_);
        step_ = Step::None;
        Send(out);
        return;
      }
      step_ = Step::WriteData;
      return;
    case Step::WriteData: {
      rx_.push_back(byte);
      step_ = Step::WriteConfirm;
      std::vector<uint8_t> crc;
      AppendInvertedCrc16(crc, rx_);
      Send(crc);
      return;
    }
    case Step::WriteConfirm:
      // Byte 7 is SRAM: instead of a programming pulse the master sends a byte of ones, and the
      // new value is taken over and read back. The EPROM bytes would need a 12 V pulse, which
      // the simulated bus cannot give: they stay as they are.
      step_ = Step::None;
      if (address_ == 7) {
        const uint8_t data = rx_.back();
        status_[7] = static_cast<uint8_t>((status_[7] & 0x80) | (data & 0x7F));
        Sample();
        Send(status_[7]);
      } else {
        Send(status_[address_]);
      }
      return;
    case Step::Control:
      rx_.push_back(byte);
      if (rx_.size() < 3) return;
      StartAccess();
      return;
    case Step::AccessWrite:
      AccessByteDone(byte);
      return;
    default:
      return;
  }
}

bool DS2406Model::Reading() const {
  const bool initial_read = control_ & kIm;
  if (!(control_ & kTog)) return initial_read;
  return (bytes_done_ % 2 == 0) == initial_read;
}

void DS2406Model::StartAccess() {
  control_ = rx_[1];
  if (control_ & kAlr) {
    Sample();  // edges up to now are what the reset clears
    activity_ = {false, false};
  }
  const uint8_t info = ChannelInfo();
  rx_.push_back(info);
  crc_ = access::Crc16(rx_.data(), rx_.size());
  bytes_since_crc_ = 0;
  bytes_done_ = 0;
  step_ = Reading() ? Step::AccessRead : Step::AccessWrite;
  Send(info);
}

void DS2406Model::OnSendDone() {
  if (step_ != Step::AccessRead) return;
  if (!Reading()) {
    step_ = Step::AccessWrite;
    return;
  }
  // One byte of samples: one channel gives eight samples of its pin, both channels alternate
  // A, B four times.
  const int select = control_ >> 2 & 0x03;
  uint8_t data = 0;
  for (int bit = 0; bit < 8; ++bit) {
    int channel = select == 2 ? 1 : 0;
    if (select == 3) channel = bit % 2;
    if (PinLevel(channel)) data |= static_cast<uint8_t>(1u << bit);
  }
  Sample();
  AccessByteDone(data);
}

void DS2406Model::AccessByteDone(uint8_t data) {
  const int select = control_ >> 2 & 0x03;
  const bool writing = step_ == Step::AccessWrite;
  if (writing) {
    // Every bit written sets the selected channel's flip-flop; the last one stays.
    uint8_t ff = status_[7];
    for (int bit = 0; bit < 8; ++bit) {
      int channel = select == 2 ? 1 : 0;
      if (select == 3) channel = bit % 2;
      const uint8_t mask = static_cast<uint8_t>(1u << (5 + channel));
      ff = (data >> bit & 1) ? static_cast<uint8_t>(ff | mask) : static_cast<uint8_t>(ff & ~mask);
    }
    status_[7] = ff;
    Sample();
  }
  crc_ = access::Crc16(&data, 1, crc_);
  ++bytes_since_crc_;
  ++bytes_done_;
  std::vector<uint8_t> out;
  if (!writing) out.push_back(data);
  const int crc_mode = control_ & 0x03;
  const int every = crc_mode == 1 ? 1 : crc_mode == 2 ? 8 : 32;
  if (crc_mode != 0 && bytes_since_crc_ >= every) {
    const auto inverted = static_cast<uint16_t>(~crc_);  // the running CRC16, low byte first
    out.push_back(static_cast<uint8_t>(inverted & 0xFF));
    out.push_back(static_cast<uint8_t>(inverted >> 8));
    crc_ = 0;
    bytes_since_crc_ = 0;
  }
  step_ = Reading() ? Step::AccessRead : Step::AccessWrite;
  if (!out.empty()) {
    Send(out);
  } else if (step_ == Step::AccessRead) {
    OnSendDone();
  }
}

std::unique_ptr<SimDevice> MakeDS2406Model(const access::RomId& rom, const nlohmann::json& device) {
  auto channels = ParseSwitchChannels<2>(rom, device);
  // The TO-92 part has channel A only; a bus file that lists one channel describes it.
  return std::make_unique<DS2406Model>(rom, channels.listed == 1 ? 1 : 2, channels.conducting,
                                       std::move(channels.levels));
}

bool DS2406Model::FollowValues(SimDevice& edited) {
  return FollowSameModel<DS2406Model>(edited,
                                      [&](DS2406Model& e) { levels_ = std::move(e.levels_); });
}

}  // namespace qb::sim
