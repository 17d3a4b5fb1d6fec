#include "sim/ds2409.h"

#include <stdexcept>

#include "sim/models.h"
#include "sim/switch_channels.h"

namespace qb::sim {

namespace {
constexpr uint8_t kStatusReadWrite = 0x5A;
constexpr uint8_t kAllLinesOff = 0x66;
constexpr uint8_t kDischargeLines = 0x99;
constexpr uint8_t kDirectOnMain = 0xA5;
constexpr uint8_t kSmartOnMain = 0xCC;
constexpr uint8_t kSmartOnAux = 0x33;
}  // namespace

DS2409Model::DS2409Model(const access::RomId& rom, int connected,
                         std::array<std::unique_ptr<ValueSource>, 2> levels)
    : SimDevice(rom), connected_(connected), levels_(std::move(levels)) {
  for (int b = 0; b < 2; ++b) last_level_[static_cast<size_t>(b)] = Level(b);
}

bool DS2409Model::Level(int branch) {
  if (discharging_) return false;
  if (connected_ == branch) return true;
  return levels_[static_cast<size_t>(branch)]->BoolAt(Seconds());
}

bool DS2409Model::ControlOn() const {
  if (manual_) return control_on_;
  return connected_ == (control_aux_ ? 1 : 0);
}

void DS2409Model::Sample() {
  for (int b = 0; b < 2; ++b) {
    const bool level = Level(b);
    // An event is a falling edge at a branch that is not connected (a device arriving there
    // sends a presence pulse).
    if (last_level_[static_cast<size_t>(b)] && !level && connected_ != b && !discharging_) {
      events_[static_cast<size_t>(b)] = true;
    }
    last_level_[static_cast<size_t>(b)] = level;
  }
}

uint8_t DS2409Model::StatusInfo() {
  Sample();
  uint8_t info = 0;
  if (connected_ != 0) info |= 0x01;  // 0: main connected
  if (Level(0)) info |= 0x02;
  if (connected_ != 1) info |= 0x04;  // 0: auxiliary connected
  if (Level(1)) info |= 0x08;
  if (events_[0]) info |= 0x10;
  if (events_[1]) info |= 0x20;
  if (manual_ ? control_on_ : control_aux_) info |= 0x40;
  if (manual_) info |= 0x80;
  return info;
}

void DS2409Model::OnReset() {
  Sample();
  awaiting_ = false;
}

bool DS2409Model::Alarming() {
  Sample();
  return events_[0] || events_[1];
}

void DS2409Model::Connect(int branch) {
  discharging_ = false;
  connected_ = branch;
  Sample();
}

void DS2409Model::OnFunctionCommand(uint8_t command) {
  command_ = command;
  switch (command) {
    case kStatusReadWrite:
    case kSmartOnMain:
    case kSmartOnAux:
      awaiting_ = true;  // the status control byte, or the reset stimulus
      return;
    case kAllLinesOff:
      Connect(-1);
      events_ = {false, false};
      Send(command);
      return;
    case kDischargeLines:
      connected_ = -1;
      discharging_ = true;
      Sample();
      Send(command);
      return;
    case kDirectOnMain:
      Connect(0);
      Send(command);
      return;
    default:
      Ignore();
      return;
  }
}

void DS2409Model::OnDataByte(uint8_t byte) {
  if (!awaiting_) return;
  awaiting_ = false;
  if (command_ == kStatusReadWrite) {
    // Bits 3 and 4 both 0 allow the write; bit 5 selects manual mode, bit 6 the branch the
    // control output follows in auto mode, bit 7 the control output in manual mode.
    if ((byte & 0x18) == 0) {
      manual_ = byte & 0x20;
      control_aux_ = byte & 0x40;
      control_on_ = byte & 0x80;
    }
    const uint8_t info = StatusInfo();
    Send(std::vector<uint8_t>{info, info});  // the info byte, then the same as confirmation
    return;
  }
  // Smart-On: the branch is switched off, a reset goes out on it, and it is connected. Nothing
  // behind the branch is modelled, so no presence pulse answers (FFh).
  Connect(command_ == kSmartOnMain ? 0 : 1);
  Send(std::vector<uint8_t>{0xFF, command_});
}

std::unique_ptr<SimDevice> MakeDS2409Model(const access::RomId& rom, const nlohmann::json& device) {
  auto branches = ParseSwitchChannels<2>(rom, device);
  int connected = -1;  // power-on: both branches off
  for (size_t b = 0; b < 2; ++b) {
    if (!branches.conducting[b]) continue;
    if (connected >= 0) {
      throw std::invalid_argument(
          "device " + rom.ToString() +
          " \"latches\": the main and the auxiliary branch cannot both be connected");
    }
    connected = static_cast<int>(b);
  }
  return std::make_unique<DS2409Model>(rom, connected, std::move(branches.levels));
}

bool DS2409Model::FollowValues(SimDevice& edited) {
  return FollowSameModel<DS2409Model>(edited,
                                      [&](DS2409Model& e) { levels_ = std::move(e.levels_); });
}

}  // namespace qb::sim
