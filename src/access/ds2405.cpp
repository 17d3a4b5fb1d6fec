#include "access/ds2405.h"

#include "access/families.h"

namespace qb::access {

namespace {
constexpr uint8_t kConducting = 0x01;
constexpr uint8_t kLevelHigh = 0x02;
}  // namespace

void DS2405Container::UseSpeed() {
  DSPortAdapter& a = Adapter();
  if (a.getSpeed() != speed_) a.setSpeed(speed_);
}

DeviceState DS2405Container::readDevice() {
  UseSpeed();
  DSPortAdapter& a = Adapter();
  // The Active-Only search tells whether the output conducts; a plain search that ends on the
  // device then lets read slots report the pin level without toggling anything.
  const bool conducting = a.isPresent(rom_, true);
  if (!a.isPresent(rom_)) Fail("no device answered on the bus");
  const bool level = a.Master().TouchBit(true);
  a.Reset();
  return {static_cast<uint8_t>((conducting ? kConducting : 0) | (level ? kLevelHigh : 0))};
}

void DS2405Container::writeDevice(const DeviceState& state) {
  CheckStateSize(state, 1, "writeDevice");
  const bool want = state[0] & kConducting;
  UseSpeed();
  DSPortAdapter& a = Adapter();
  if (!a.isPresent(rom_)) Fail("no device answered on the bus");
  if (a.isPresent(rom_, true) == want) return;
  // A toggle is not repeated blindly: a second toggle would undo the first. The level read
  // after the match and a fresh Active-Only search say whether it took.
  Select();
  const bool level = a.Master().TouchBit(true);
  a.Reset();
  if (want && level) Fail("the output was switched on but its pin still reads high");
  if (a.isPresent(rom_, true) != want)
    Fail(std::string("the output did not switch ") + (want ? "on" : "off"));
}

SwitchChannel DS2405Container::ChannelAt(int, const DeviceState& state) const {
  return {(state[0] & kLevelHigh) != 0, (state[0] & kConducting) != 0, false};
}

void DS2405Container::setLatchState(int channel, bool on, bool, DeviceState& state) {
  CheckChannel(channel, state, "setLatchState");
  state[0] = static_cast<uint8_t>(on ? (state[0] | kConducting) : (state[0] & ~kConducting));
}

std::unique_ptr<OneWireContainer> MakeDS2405Container() {
  return std::make_unique<DS2405Container>();
}

}  // namespace qb::access
