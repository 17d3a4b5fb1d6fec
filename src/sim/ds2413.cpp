#include "sim/ds2413.h"

#include "sim/models.h"
#include "sim/switch_channels.h"

namespace qb::sim {

namespace {
constexpr uint8_t kPioAccessRead = 0xF5;
constexpr uint8_t kPioAccessWrite = 0x5A;
}  // namespace

PioPair::PioPair(SwitchChannels<2> channels) : levels_(std::move(channels.levels)) {
  for (size_t c = 0; c < 2; ++c) latch_[c] = !channels.conducting[c];
}

bool PioPair::PinLevel(int channel, double seconds) {
  return !Conducting(channel) && levels_[static_cast<size_t>(channel)]->BoolAt(seconds);
}

uint8_t PioPair::Status(double seconds) {
  uint8_t low = 0;
  for (int c = 0; c < 2; ++c) {
    if (PinLevel(c, seconds)) low |= static_cast<uint8_t>(1u << (2 * c));
    if (latch_[static_cast<size_t>(c)]) low |= static_cast<uint8_t>(1u << (2 * c + 1));
  }
  return static_cast<uint8_t>((~low & 0x0F) << 4 | low);
}

void PioPair::Write(uint8_t outputs) {
  latch_[0] = outputs & 1;
  latch_[1] = outputs >> 1 & 1;
}

std::optional<std::vector<uint8_t>> PioPair::Begin(uint8_t command, uint8_t write_command,
                                                   double seconds) {
  exchange_ = Exchange::None;
  if (command == kPioAccessRead) {
    exchange_ = Exchange::Reading;
    return std::vector<uint8_t>{Status(seconds)};
  }
  if (command != write_command) return std::nullopt;
  exchange_ = Exchange::Writing;
  write_.Start();
  return std::vector<uint8_t>{};
}

std::optional<uint8_t> PioPair::Again(double seconds) {
  if (exchange_ != Exchange::Reading) return std::nullopt;
  return Status(seconds);
}

std::optional<ConfirmedWrite::Answer> PioPair::Byte(uint8_t byte, double seconds) {
  if (exchange_ != Exchange::Writing) return std::nullopt;
  return write_.Byte(
      byte,
      [&](uint8_t outputs) {
        Write(outputs);
        return Status(seconds);
      },
      [&] { return Status(seconds); });
}

bool DS2413Model::FollowValues(SimDevice& edited) {
  return FollowSameModel<DS2413Model>(edited, [&](DS2413Model& e) { pio_.FollowLevels(e.pio_); });
}

void DS2413Model::OnFunctionCommand(uint8_t command) {
  const auto send = pio_.Begin(command, kPioAccessWrite, Seconds());
  if (!send) {
    Ignore();
  } else if (!send->empty()) {
    Send(*send);
  }
}

void DS2413Model::OnSendDone() {
  if (const auto status = pio_.Again(Seconds())) Send(*status);
}

void DS2413Model::OnDataByte(uint8_t byte) {
  const auto answer = pio_.Byte(byte, Seconds());
  if (!answer) return;
  if (answer->stop) Ignore();
  if (!answer->send.empty()) Send(answer->send);
}

std::unique_ptr<SimDevice> MakeDS2413Model(const access::RomId& rom, const nlohmann::json& device) {
  return std::make_unique<DS2413Model>(rom, PioPair(ParseSwitchChannels<2>(rom, device)));
}

}  // namespace qb::sim
