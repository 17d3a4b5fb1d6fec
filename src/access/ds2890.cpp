#include "access/ds2890.h"

#include "access/families.h"

namespace qb::access {

namespace {
constexpr uint8_t kReadPosition = 0xF0;
constexpr uint8_t kWritePosition = 0x0F;
constexpr uint8_t kReadControl = 0xAA;
constexpr uint8_t kWriteControl = 0x55;
constexpr uint8_t kIncrement = 0xC3;
constexpr uint8_t kDecrement = 0x99;
constexpr uint8_t kRelease = 0x96;

constexpr uint8_t kChargePump = 0x40;

// The control register addresses wiper 1 when bits 0-1 are 00 and bits 2-3 their complement.
bool ValidControl(uint8_t control) {
  return (control & 0x0F) == 0x0C && (control & 0xB0) == 0;
}
}  // namespace

void DS2890Container::CheckState(const DeviceState& state, const char* call) const {
  CheckStateSize(state, 2, call);
}

std::pair<uint8_t, uint8_t> DS2890Container::ReadAgreed(uint8_t command, const char* what) {
  std::pair<uint8_t, uint8_t> result;
  // Three reads that must all agree: the chance that noise garbles them all alike is small
  // enough even on a bus that corrupts a third of all answers.
  WithRetries([&] {
    uint8_t reads[3][3];
    for (auto& r : reads) {
      r[0] = command;
      r[1] = r[2] = 0xFF;
      Select();
      Adapter().Master().Block(r, 3);
    }
    Adapter().Reset();
    for (const auto& r : reads) {
      if (r[1] != reads[0][1] || r[2] != reads[0][2]) CrcMismatch(what);
    }
    result = {reads[0][1], reads[0][2]};
  });
  return result;
}

DeviceState DS2890Container::readDevice() {
  const auto [features, control] = ReadAgreed(kReadControl, "the feature and control registers");
  if (!ValidControl(static_cast<uint8_t>(control & ~kChargePump)))
    Fail("the control register reads " + FamilyText(control) + "h, not a value the part takes");
  return {features, control};
}

int DS2890Container::getWiperPosition() {
  const auto [control, position] = ReadAgreed(kReadPosition, "the wiper position");
  if (!ValidControl(static_cast<uint8_t>(control & ~kChargePump)))
    Fail("the wiper position came with an invalid control register");
  return position;
}

bool DS2890Container::WriteWithRelease(uint8_t command, uint8_t value) {
  bool accepted = false;
  WithRetries([&] {
    Select();
    BusMaster& m = Adapter().Master();
    uint8_t buf[3] = {command, value, 0xFF};
    m.Block(buf, sizeof buf);
    if (buf[2] != value) {
      // The echo differs: the release code is not sent and the reset leaves all unchanged.
      Adapter().Reset();
      CrcMismatch("the echo of the written value");
    }
    m.TouchByte(kRelease);
    accepted = m.TouchByte(0xFF) == 0x00;
    Adapter().Reset();
  });
  return accepted;
}

bool DS2890Container::setWiperPosition(int position) {
  if (position < 0 || position > 255) return false;
  const auto value = static_cast<uint8_t>(position);
  if (WriteWithRelease(kWritePosition, value)) return true;
  // No zeros after the release code: the device refused, unless only that answer was garbled.
  return getWiperPosition() == position;
}

int DS2890Container::Step(uint8_t command) {
  // A step is not repeated on an error (it would move the wiper twice); the new position is
  // taken from a checked read instead of the single unprotected answer.
  Select();
  Adapter().Master().TouchByte(command);
  Adapter().Master().TouchByte(0xFF);
  Adapter().Reset();
  return getWiperPosition();
}

int DS2890Container::increment() {
  return Step(kIncrement);
}
int DS2890Container::decrement() {
  return Step(kDecrement);
}

void DS2890Container::writeDevice(const DeviceState& state) {
  CheckState(state, "writeDevice");
  const uint8_t control = state[1];
  if (!ValidControl(static_cast<uint8_t>(control & ~kChargePump))) {
    Fail("control register value " + FamilyText(control) +
         "h is not one the part takes (0Ch or 4Ch)");
  }
  if (readDevice()[1] == control) return;
  if (!WriteWithRelease(kWriteControl, control) && readDevice()[1] != control) {
    Fail("the device refused the control register value " + FamilyText(control) + "h");
  }
}

double DS2890Container::potentiometerResistance(const DeviceState& state) const {
  CheckState(state, "potentiometerResistance");
  static constexpr double kOhms[] = {5.0, 10.0, 50.0, 100.0};
  return kOhms[state[0] >> 6 & 0x03];
}

bool DS2890Container::isLinear(const DeviceState& state) const {
  CheckState(state, "isLinear");
  return state[0] & 0x01;
}

bool DS2890Container::wiperSettingsAreVolatile(const DeviceState& state) const {
  CheckState(state, "wiperSettingsAreVolatile");
  return state[0] & 0x02;
}

bool DS2890Container::isChargePumpOn(const DeviceState& state) const {
  CheckState(state, "isChargePumpOn");
  return state[1] & kChargePump;
}

void DS2890Container::setChargePump(bool on, DeviceState& state) {
  CheckState(state, "setChargePump");
  state[1] = static_cast<uint8_t>(on ? (state[1] | kChargePump) : (state[1] & ~kChargePump));
}

int DS2890Container::numberOfWiperSettings(const DeviceState& state) const {
  CheckState(state, "numberOfWiperSettings");
  return 32 << (state[0] >> 4 & 0x03);
}

std::unique_ptr<OneWireContainer> MakeDS2890Container() {
  return std::make_unique<DS2890Container>();
}

}  // namespace qb::access
