#include "access/ds2409.h"

#include "access/families.h"

namespace qb::access {

namespace {
constexpr uint8_t kStatusReadWrite = 0x5A;
constexpr uint8_t kAllLinesOff = 0x66;
constexpr uint8_t kDirectOnMain = 0xA5;
constexpr uint8_t kSmartOnMain = 0xCC;
constexpr uint8_t kSmartOnAux = 0x33;
constexpr uint8_t kReadOnly = 0x18;  // status control bits 3 and 4: no write

constexpr uint8_t kMainOff = 0x01;
constexpr uint8_t kAuxOff = 0x04;
constexpr uint8_t kSmartMainFlag = 0x01;
}  // namespace

uint8_t DS2409Container::StatusReadWrite(uint8_t control) {
  uint8_t info = 0;
  // The part sends no CRC here; the confirmation byte repeats the info byte, and a difference
  // is treated as a transfer error. Writing the same settings again is harmless.
  WithRetries([&] {
    Select();
    uint8_t buf[4] = {kStatusReadWrite, control, 0xFF, 0xFF};
    Adapter().Master().Block(buf, sizeof buf);
    Adapter().Reset();
    if (buf[2] != buf[3]) CrcMismatch("the status info byte");
    info = buf[2];
  });
  return info;
}

void DS2409Container::LineCommand(uint8_t command) {
  WithRetries([&] {
    Select();
    uint8_t buf[2] = {command, 0xFF};
    Adapter().Master().Block(buf, sizeof buf);
    Adapter().Reset();
    if (buf[1] != command) CrcMismatch("the confirmation of command " + FamilyText(command) + "h");
  });
}

uint8_t DS2409Container::SmartOn(uint8_t command) {
  uint8_t response = 0xFF;
  WithRetries([&] {
    Select();
    // The command, the reset stimulus, then the reset response and the confirmation byte.
    uint8_t buf[4] = {command, 0xFF, 0xFF, 0xFF};
    Adapter().Master().Block(buf, sizeof buf);
    Adapter().Reset();
    if (buf[3] != command) CrcMismatch("the confirmation of command " + FamilyText(command) + "h");
    response = buf[2];
  });
  return response;
}

DeviceState DS2409Container::readDevice() {
  return {StatusReadWrite(kReadOnly), 0x00};
}

void DS2409Container::writeDevice(const DeviceState& state) {
  CheckStateSize(state, 2, "writeDevice");
  const uint8_t want = state[0];
  // The control output: bit 5 manual mode, bit 6 the branch it follows, bit 7 its transistor
  // (manual mode); bits 3 and 4 zero to write.
  const bool manual = want & 0x80;
  const bool control_bit = want & 0x40;
  uint8_t control = manual ? 0x20 : 0x00;
  if (manual && control_bit) control |= 0x80;
  if (!manual && control_bit) control |= 0x40;
  const uint8_t now = StatusReadWrite(control);
  const bool main_wanted = !(want & kMainOff);
  const bool aux_wanted = !(want & kAuxOff);
  if (main_wanted && aux_wanted) Fail("the main and the auxiliary branch cannot both be connected");
  const bool main_now = !(now & kMainOff);
  const bool aux_now = !(now & kAuxOff);
  if (main_wanted && !main_now) {
    if (state[1] & kSmartMainFlag) {
      SmartOn(kSmartOnMain);
    } else {
      LineCommand(kDirectOnMain);
    }
  } else if (aux_wanted && !aux_now) {
    SmartOn(kSmartOnAux);
  } else if (!main_wanted && !aux_wanted && (main_now || aux_now)) {
    LineCommand(kAllLinesOff);
  }
}

SwitchChannel DS2409Container::ChannelAt(int channel, const DeviceState& state) const {
  return {(state[0] >> (channel == 0 ? 1 : 3) & 1) != 0,
          !(state[0] & (channel == 0 ? kMainOff : kAuxOff)),
          (state[0] >> (channel == 0 ? 4 : 5) & 1) != 0};
}

void DS2409Container::setLatchState(int channel, bool on, bool smart, DeviceState& state) {
  CheckChannel(channel, state, "setLatchState");
  const uint8_t mine = channel == 0 ? kMainOff : kAuxOff;
  const uint8_t other = channel == 0 ? kAuxOff : kMainOff;
  if (on) {
    state[0] = static_cast<uint8_t>((state[0] & ~mine) | other);
  } else {
    state[0] = static_cast<uint8_t>(state[0] | mine);
  }
  if (channel == 0) {
    state[1] =
        static_cast<uint8_t>(smart ? (state[1] | kSmartMainFlag) : (state[1] & ~kSmartMainFlag));
  }
}

void DS2409Container::clearActivity() {
  const uint8_t before = StatusReadWrite(kReadOnly);
  LineCommand(kAllLinesOff);
  if (!(before & kMainOff)) LineCommand(kDirectOnMain);
  if (!(before & kAuxOff)) SmartOn(kSmartOnAux);
}

std::unique_ptr<OneWireContainer> MakeDS2409Container() {
  return std::make_unique<DS2409Container>();
}

}  // namespace qb::access
