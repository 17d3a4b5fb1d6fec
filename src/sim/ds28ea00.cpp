#include "sim/ds28ea00.h"

#include "sim/models.h"
#include "sim/sim_bus.h"
#include "sim/switch_channels.h"

namespace qb::sim {

namespace {
constexpr uint8_t kPioAccessWrite = 0xA5;
constexpr uint8_t kChain = 0x99;
}  // namespace

DS28EA00Model::DS28EA00Model(const access::RomId& rom, const nlohmann::json& device, PioPair pio)
    : DS18B20Model(rom, device), pio_(std::move(pio)) {}

bool DS28EA00Model::Enabled() const {
  if (!bus()) return true;
  const DS28EA00Model* before = nullptr;
  for (const auto& d : bus()->devices()) {
    if (d.get() == this) break;
    if (auto* m = dynamic_cast<const DS28EA00Model*>(d.get())) before = m;
  }
  return !before || before->chain_ == Chain::Done;
}

bool DS28EA00Model::AnswersConditionalReadRom() {
  return chain_ == Chain::On && Enabled();
}

void DS28EA00Model::OnReset() {
  step_ = Step::None;
  pio_.End();
  DS18B20Model::OnReset();
}

bool DS28EA00Model::FollowValues(SimDevice& edited) {
  auto* e = dynamic_cast<DS28EA00Model*>(&edited);
  if (!e || !DS18B20Model::FollowValues(edited)) return false;
  pio_.FollowLevels(e->pio_);
  return true;
}

void DS28EA00Model::OnFunctionCommand(uint8_t command) {
  if (const auto send = pio_.Begin(command, kPioAccessWrite, Seconds())) {
    step_ = Step::Pio;
    if (!send->empty()) Send(*send);
    return;
  }
  if (command == kChain) {
    step_ = Step::ChainControl;
    return;
  }
  step_ = Step::None;
  DS18B20Model::OnFunctionCommand(command);
}

void DS28EA00Model::OnSendDone() {
  if (const auto status = pio_.Again(Seconds())) Send(*status);
}

void DS28EA00Model::OnDataByte(uint8_t byte) {
  switch (step_) {
    case Step::None:
      DS18B20Model::OnDataByte(byte);
      return;
    case Step::Pio:
      // A PIO read takes no data: bytes written meanwhile go to the thermometer side.
      if (const auto answer = pio_.Byte(byte, Seconds())) {
        if (answer->stop) Ignore();
        if (!answer->send.empty()) Send(answer->send);
      } else {
        DS18B20Model::OnDataByte(byte);
      }
      return;
    case Step::ChainControl:
      byte_ = byte;
      step_ = Step::ChainComplement;
      return;
    case Step::ChainComplement:
      step_ = Step::None;
      if (byte != static_cast<uint8_t>(~byte_)) {
        Ignore();
        return;
      }
      switch (byte_) {
        case 0x5A:
          chain_ = Chain::On;
          break;
        case 0x96:
          if (chain_ == Chain::Off) {
            Ignore();
            return;
          }
          chain_ = Chain::Done;
          break;
        case 0x3C:
          chain_ = Chain::Off;
          break;
        default:
          Ignore();
          return;
      }
      Send(0xAA);
      return;
  }
}

std::unique_ptr<SimDevice> MakeDS28EA00Model(const access::RomId& rom,
                                             const nlohmann::json& device) {
  return std::make_unique<DS28EA00Model>(rom, device, PioPair(ParseSwitchChannels<2>(rom, device)));
}

}  // namespace qb::sim
