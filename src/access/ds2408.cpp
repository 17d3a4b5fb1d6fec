#include "access/ds2408.h"

#include "access/crc.h"
#include "access/families.h"

namespace qb::access {

namespace {
constexpr uint8_t kReadPioRegisters = 0xF0;
constexpr uint8_t kChannelAccessWrite = 0x5A;
constexpr uint8_t kWriteSearchRegister = 0xCC;
constexpr uint8_t kResetActivity = 0xC3;
constexpr uint8_t kConfirmation = 0xAA;
constexpr uint8_t kFirstRegister = 0x88;
constexpr size_t kStateSize = 6;
// The control/status bits a write keeps: PLS, CT, ROS, and PORL (writing 0 clears it).
constexpr uint8_t kControlWritable = 0x0F;
}  // namespace

DeviceState DS2408Container::readDevice() {
  DeviceState state;
  WithRetries([&] {
    Select();
    // Command, target address 0088h, the eight registers 88h to 8Fh, then the inverted CRC16
    // of everything from the command on.
    uint8_t buf[3 + 8 + 2] = {kReadPioRegisters, kFirstRegister, 0x00};
    for (size_t i = 3; i < sizeof buf; ++i) buf[i] = 0xFF;
    Adapter().Master().Block(buf, sizeof buf);
    Adapter().Reset();
    if (!Crc16Matches(buf, 11, 0, buf[11], buf[12])) CrcMismatch("the PIO registers");
    state.assign(buf + 3, buf + 3 + kStateSize);
  });
  return state;
}

void DS2408Container::writeDevice(const DeviceState& state) {
  CheckStateSize(state, kStateSize, "writeDevice");
  const DeviceState now = readDevice();
  const uint8_t control = state[5] & kControlWritable;
  if (state[3] != now[3] || state[4] != now[4] || control != (now[5] & kControlWritable)) {
    // Write Conditional Search Register has no CRC: the registers are read back.
    WithRetries([&] {
      Select();
      uint8_t buf[6] = {kWriteSearchRegister, 0x8B, 0x00, state[3], state[4], control};
      Adapter().Master().Block(buf, sizeof buf);
      Adapter().Reset();
      const DeviceState back = readDevice();
      if (back[3] != state[3] || back[4] != state[4] || (back[5] & 0x07) != (control & 0x07) ||
          (back[5] & 0x08) > (control & 0x08)) {
        CrcMismatch("the conditional search registers read back");
      }
    });
  }
  if (state[1] == now[1]) return;
  // Channel-Access Write: the byte and its complement, then AAh and the new pin levels. Anything
  // else means the device did not take the byte (or its answer was garbled): sent again, and
  // after the last attempt the failure is raised, never taken for switched outputs.
  WithRetries([&] {
    Select();
    uint8_t buf[5] = {kChannelAccessWrite, state[1], static_cast<uint8_t>(~state[1]), 0xFF, 0xFF};
    Adapter().Master().Block(buf, sizeof buf);
    Adapter().Reset();
    if (buf[3] != kConfirmation) CrcMismatch("the channel write confirmation");
  });
}

SwitchChannel DS2408Container::ChannelAt(int channel, const DeviceState& state) const {
  return {(state[0] >> channel & 1) != 0, !(state[1] >> channel & 1),
          (state[2] >> channel & 1) != 0};
}

void DS2408Container::setLatchState(int channel, bool on, bool, DeviceState& state) {
  CheckChannel(channel, state, "setLatchState");
  const auto bit = static_cast<uint8_t>(1u << channel);
  state[1] = on ? static_cast<uint8_t>(state[1] & ~bit) : static_cast<uint8_t>(state[1] | bit);
}

void DS2408Container::clearActivity() {
  WithRetries([&] {
    Select();
    uint8_t buf[2] = {kResetActivity, 0xFF};
    Adapter().Master().Block(buf, sizeof buf);
    Adapter().Reset();
    if (buf[1] != kConfirmation) CrcMismatch("the activity reset confirmation");
  });
}

void DS2408Container::setSearchConditions(int channel, int source, int polarity,
                                          DeviceState& state) {
  CheckStateSize(state, kStateSize, "setSearchConditions");
  if (channel < 1 || channel > 0xFF)
    Fail("search channel mask " + std::to_string(channel) + " selects none of channels 0 to 7");
  if (source != SOURCE_ACTIVITY_LATCH && source != SOURCE_PIO) {
    Fail("search source " + std::to_string(source) +
         " is not SOURCE_ACTIVITY_LATCH or SOURCE_PIO (the " + getName() +
         " cannot search on its output latches)");
  }
  if (polarity != POLARITY_ZERO && polarity != POLARITY_ONE)
    Fail("search polarity " + std::to_string(polarity) + " is not POLARITY_ZERO or POLARITY_ONE");
  state[3] = static_cast<uint8_t>(channel);
  state[4] = polarity == POLARITY_ONE ? static_cast<uint8_t>(channel) : 0;
  // OR of the watched channels; the RSTZ mode (ROS) is the board's and stays as it is; the
  // power-on flag is cleared now that the device is set up again.
  uint8_t control = static_cast<uint8_t>(state[5] & 0x04);
  if (source == SOURCE_ACTIVITY_LATCH) control |= 0x01;
  state[5] = static_cast<uint8_t>((state[5] & 0x80) | control);
}

std::unique_ptr<OneWireContainer> MakeDS2408Container() {
  return std::make_unique<DS2408Container>();
}

}  // namespace qb::access
