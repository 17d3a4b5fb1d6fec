#include "sim/ds2408.h"

#include "access/crc.h"
#include "sim/inverted_crc.h"
#include "sim/models.h"
#include "sim/switch_channels.h"

namespace qb::sim {

namespace {
constexpr uint8_t kReadPioRegisters = 0xF0;
constexpr uint8_t kChannelAccessRead = 0xF5;
constexpr uint8_t kChannelAccessWrite = 0x5A;
constexpr uint8_t kWriteSearchRegister = 0xCC;
constexpr uint8_t kResetActivity = 0xC3;

}  // namespace

DS2408Model::DS2408Model(const access::RomId& rom, uint8_t latches,
                         std::array<std::unique_ptr<ValueSource>, 8> levels)
    : SimDevice(rom), levels_(std::move(levels)) {
  PowerOn();
  latches_ = latches;
  last_pins_ = PinLevels();
}

void DS2408Model::PowerOn() {
  latches_ = 0xFF;
  activity_ = 0;
  mask_ = 0;
  polarity_ = 0;
  control_ = 0x08;  // PORL; no Vcc; RSTZ a reset input; OR of pin levels
  last_pins_ = PinLevels();
}

uint8_t DS2408Model::PinLevels() {
  uint8_t pins = 0;
  for (int c = 0; c < 8; ++c) {
    if (!Conducting(c) && levels_[static_cast<size_t>(c)]->BoolAt(Seconds()))
      pins |= static_cast<uint8_t>(1u << c);
  }
  return pins;
}

void DS2408Model::Sample() {
  const uint8_t pins = PinLevels();
  activity_ |= static_cast<uint8_t>(pins ^ last_pins_);
  last_pins_ = pins;
}

bool DS2408Model::FollowValues(SimDevice& edited) {
  return FollowSameModel<DS2408Model>(edited, [&](DS2408Model& e) {
    Sample();  // edges up to now belong to the old levels
    levels_ = std::move(e.levels_);
  });
}

uint8_t DS2408Model::Register(int address) const {
  switch (address) {
    case 0x88:
      return last_pins_;
    case 0x89:
      return latches_;
    case 0x8A:
      return activity_;
    case 0x8B:
      return mask_;
    case 0x8C:
      return polarity_;
    case 0x8D:
      return control_;
    default:
      return 0xFF;
  }
}

void DS2408Model::OnReset() {
  Sample();
  step_ = Step::None;
  rx_.clear();
}

bool DS2408Model::Alarming() {
  Sample();
  const uint8_t source = (control_ & 0x01) ? activity_ : last_pins_;
  // A watched channel matches while its source bit equals its polarity bit.
  const uint8_t matches = static_cast<uint8_t>(~(source ^ polarity_) & mask_);
  if (control_ & 0x02) return mask_ != 0 && matches == mask_;  // AND
  return matches != 0;                                         // OR
}

void DS2408Model::OnFunctionCommand(uint8_t command) {
  Sample();
  command_ = command;
  rx_.assign(1, command);
  switch (command) {
    case kReadPioRegisters:
    case kWriteSearchRegister:
      step_ = Step::Address;
      return;
    case kChannelAccessRead:
      step_ = Step::Reading;
      first_block_ = true;
      SendSamples();
      return;
    case kChannelAccessWrite:
      step_ = Step::Writing;
      write_.Start();
      return;
    case kResetActivity:
      activity_ = 0;
      step_ = Step::Confirming;
      Send(0xAA);
      return;
    default:
      Ignore();
      return;
  }
}

void DS2408Model::SendSamples() {
  // 32 samples of the pins, then the inverted CRC16 (of the command and the first block; of the
  // block alone after that).
  std::vector<uint8_t> out;
  for (int i = 0; i < 32; ++i) {
    Sample();
    out.push_back(last_pins_);
  }
  AppendInvertedCrc16(out, first_block_ ? std::vector<uint8_t>{command_} : std::vector<uint8_t>{});
  first_block_ = false;
  Send(out);
}

void DS2408Model::OnSendDone() {
  if (step_ == Step::Reading) SendSamples();
  if (step_ == Step::Confirming) Send(0xAA);
}

void DS2408Model::OnDataByte(uint8_t byte) {
  switch (step_) {
    case Step::Address: {
      rx_.push_back(byte);
      if (rx_.size() < 3) return;
      address_ = static_cast<uint16_t>(rx_[2] << 8 | rx_[1]);
      if (command_ == kWriteSearchRegister) {
        if (address_ < 0x8B || address_ > 0x8D) {
          Ignore();
          return;
        }
        step_ = Step::SearchRegister;
        return;
      }
      if (address_ < 0x88 || address_ > 0x8F) {
        Ignore();  // only the register page is modelled
        return;
      }
      std::vector<uint8_t> out;
      for (int a = address_; a <= 0x8F; ++a) out.push_back(Register(a));
      AppendInvertedCrc16(out, rx_);
      step_ = Step::None;
      Send(out);
      return;
    }
    case Step::SearchRegister:
      if (address_ == 0x8B) mask_ = byte;
      if (address_ == 0x8C) polarity_ = byte;
      if (address_ == 0x8D) {
        // PLS, CT and ROS as written; PORL only clears (a 1 leaves it as it is).
        control_ = static_cast<uint8_t>((control_ & 0x88) | (byte & 0x07));
        if (!(byte & 0x08)) control_ &= static_cast<uint8_t>(~0x08);
      }
      if (++address_ > 0x8D) step_ = Step::None;
      return;
    case Step::Writing: {
      const auto answer = write_.Byte(
          byte,
          [&](uint8_t outputs) {
            latches_ = outputs;
            Sample();
            return last_pins_;
          },
          [&] { return PinLevels(); });
      if (answer.stop) Ignore();
      if (!answer.send.empty()) Send(answer.send);
      return;
    }
    default:
      return;
  }
}

std::unique_ptr<SimDevice> MakeDS2408Model(const access::RomId& rom, const nlohmann::json& device) {
  auto channels = ParseSwitchChannels<8>(rom, device);
  uint8_t latch_bits = 0xFF;  // a latch of 1: the output is off
  for (size_t c = 0; c < 8; ++c) {
    if (channels.conducting[c]) latch_bits &= static_cast<uint8_t>(~(1u << c));
  }
  return std::make_unique<DS2408Model>(rom, latch_bits, std::move(channels.levels));
}

}  // namespace qb::sim
