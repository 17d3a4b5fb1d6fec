#include "sim/ds2890.h"

#include <stdexcept>

#include "sim/models.h"

namespace qb::sim {

namespace {
constexpr uint8_t kReadPosition = 0xF0;
constexpr uint8_t kWritePosition = 0x0F;
constexpr uint8_t kReadControl = 0xAA;
constexpr uint8_t kWriteControl = 0x55;
constexpr uint8_t kIncrement = 0xC3;
constexpr uint8_t kDecrement = 0x99;
constexpr uint8_t kRelease = 0x96;

bool ValidControl(uint8_t v) {
  return v == 0x0C || v == 0x4C;
}
}  // namespace

DS2890Model::DS2890Model(const access::RomId& rom, uint8_t wiper)
    : SimDevice(rom), wiper_(wiper), power_on_wiper_(wiper) {}

void DS2890Model::Move(bool up) {
  if (up && wiper_ < 255) ++wiper_;
  if (!up && wiper_ > 0) --wiper_;
  step_ = Step::Stepping;
  Send(wiper_);
}

void DS2890Model::OnFunctionCommand(uint8_t command) {
  command_ = command;
  zeros_ = false;
  switch (command) {
    case kReadPosition:
      step_ = Step::Done;
      Send(std::vector<uint8_t>{control_, wiper_});
      return;
    case kReadControl:
      step_ = Step::Done;
      Send(std::vector<uint8_t>{kFeatures, control_});
      return;
    case kWritePosition:
    case kWriteControl:
      step_ = Step::Value;
      return;
    case kIncrement:
    case kDecrement:
      Move(command == kIncrement);
      return;
    default:
      Ignore();
      return;
  }
}

void DS2890Model::OnDataByte(uint8_t byte) {
  switch (step_) {
    case Step::Value:
      value_ = byte;
      step_ = Step::Release;
      Send(byte);  // echoed for the master to check
      return;
    case Step::Release:
      step_ = Step::Done;
      if (byte != kRelease || (command_ == kWriteControl && !ValidControl(value_))) {
        Ignore();  // nothing changes; the line reads ones
        return;
      }
      if (command_ == kWritePosition) {
        wiper_ = value_;
      } else {
        control_ = value_;
      }
      zeros_ = true;  // accepted: the master reads zeros
      return;
    case Step::Stepping:
      // Increment and Decrement may follow each other without a reset.
      if (byte == kIncrement || byte == kDecrement) {
        Move(byte == kIncrement);
      } else {
        Ignore();
      }
      return;
    default:
      return;
  }
}

void DS2890Model::OnSendDone() {
  if (step_ == Step::Done) zeros_ = true;
}

std::unique_ptr<SimDevice> MakeDS2890Model(const access::RomId& rom, const nlohmann::json& device) {
  uint8_t wiper = 0;
  if (device.is_object() && device.contains("wiper")) {
    const nlohmann::json& w = device["wiper"];
    if (!w.is_number_integer() || w.get<int64_t>() < 0 || w.get<int64_t>() > 255) {
      throw std::invalid_argument("device " + rom.ToString() +
                                  " \"wiper\" must be a whole number from 0 to 255");
    }
    wiper = static_cast<uint8_t>(w.get<int64_t>());
  }
  return std::make_unique<DS2890Model>(rom, wiper);
}

}  // namespace qb::sim
