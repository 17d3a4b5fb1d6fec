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

ConfirmedWrite::Answer PioPair::WriteByte(uint8_t byte, double seconds) {
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
  switch (command) {
    case kPioAccessRead:
      step_ = Step::Reading;
      Send(pio_.Status(Seconds()));
      return;
    case kPioAccessWrite:
      step_ = Step::Writing;
      pio_.StartWrite();
      return;
    default:
      Ignore();
      return;
  }
}

void DS2413Model::OnSendDone() {
  if (step_ == Step::Reading) Send(pio_.Status(Seconds()));
}

void DS2413Model::OnDataByte(uint8_t byte) {
  if (step_ != Step::Writing) return;
  const auto answer = pio_.WriteByte(byte, Seconds());
  if (answer.stop) Ignore();
  if (!answer.send.empty()) Send(answer.send);
}

std::unique_ptr<SimDevice> MakeDS2413Model(const access::RomId& rom, const nlohmann::json& device) {
  return std::make_unique<DS2413Model>(rom, PioPair(ParseSwitchChannels<2>(rom, device)));
}

}  // namespace qb::sim
