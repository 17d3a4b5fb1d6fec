#include "sim/ds2413.h"

#include "sim/ds2405.h"
#include "sim/models.h"

namespace qb::sim {

namespace {
constexpr uint8_t kPioAccessRead = 0xF5;
constexpr uint8_t kPioAccessWrite = 0x5A;
}  // namespace

PioPair::PioPair(std::array<bool, 2> conducting, std::array<std::unique_ptr<ValueSource>, 2> levels)
    : levels_(std::move(levels)) {
  for (size_t c = 0; c < 2; ++c) latch_[c] = !conducting[c];
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

bool DS2413Model::FollowValues(SimDevice& edited) {
  auto* e = dynamic_cast<DS2413Model*>(&edited);
  if (!e) return false;
  pio_.FollowLevels(e->pio_);
  return true;
}

void DS2413Model::OnFunctionCommand(uint8_t command) {
  switch (command) {
    case kPioAccessRead:
      step_ = Step::Reading;
      Send(pio_.Status(Seconds()));
      return;
    case kPioAccessWrite:
      step_ = Step::Output;
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
  switch (step_) {
    case Step::Output:
      outputs_ = byte;
      step_ = Step::Complement;
      return;
    case Step::Complement:
      if (byte != static_cast<uint8_t>(~outputs_)) {
        Ignore();
        return;
      }
      step_ = Step::Output;
      if (failing_writes_ > 0) {
        --failing_writes_;
        Send({0x55, pio_.Status(Seconds())});
        return;
      }
      pio_.Write(outputs_);
      Send({0xAA, pio_.Status(Seconds())});
      return;
    default:
      return;
  }
}

std::unique_ptr<SimDevice> MakeDS2413Model(const access::RomId& rom, const nlohmann::json& device) {
  auto latches = ParseChannelList(rom, device, "latches", 2);
  auto levels = ParseChannelList(rom, device, "levels", 2);
  // Power-on: both outputs off, the pull-ups hold the pins high.
  std::array<bool, 2> conducting{false, false};
  for (size_t c = 0; c < latches.size(); ++c) conducting[c] = latches[c]->BoolAt(0);
  std::array<std::unique_ptr<ValueSource>, 2> sources;
  for (size_t c = 0; c < 2; ++c)
    sources[c] = c < levels.size() ? std::move(levels[c]) : Constant(1);
  return std::make_unique<DS2413Model>(rom, PioPair(conducting, std::move(sources)));
}

}  // namespace qb::sim
