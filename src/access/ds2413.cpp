#include "access/ds2413.h"

#include "access/families.h"

namespace qb::access {

namespace {
constexpr uint8_t kPioAccessRead = 0xF5;
constexpr uint8_t kPioAccessWrite = 0x5A;
constexpr uint8_t kConfirmation = 0xAA;
}  // namespace

std::optional<uint8_t> PioAccessWrite(DSPortAdapter& adapter, uint8_t command, uint8_t outputs) {
  uint8_t buf[5] = {command, outputs, static_cast<uint8_t>(~outputs), 0xFF, 0xFF};
  adapter.Master().Block(buf, sizeof buf);
  adapter.Reset();
  if (buf[3] != kConfirmation || !PioStatusValid(buf[4])) return std::nullopt;
  return buf[4];
}

std::optional<uint8_t> PioAccessRead(DSPortAdapter& adapter) {
  uint8_t buf[2] = {kPioAccessRead, 0xFF};
  adapter.Master().Block(buf, sizeof buf);
  adapter.Reset();
  if (!PioStatusValid(buf[1])) return std::nullopt;
  return buf[1];
}

void DS2413Container::CheckChannel(int channel, const DeviceState& state, const char* call) const {
  CheckStateSize(state, 1, call);
  if (channel < 0 || channel > 1) Fail("has no channel " + std::to_string(channel));
}

DeviceState DS2413Container::readDevice() {
  uint8_t status = 0;
  WithRetries([&] {
    Select();
    const auto read = PioAccessRead(Adapter());
    if (!read) CrcMismatch("the PIO status byte");
    status = *read;
  });
  return {status};
}

void DS2413Container::writeDevice(const DeviceState& state) {
  CheckStateSize(state, 1, "writeDevice");
  const uint8_t outputs = PioOutputByte(state[0]);
  // A wrong confirmation means the device did not take the byte (or its answer was garbled):
  // the write is sent again, and after the last attempt the failure is raised, never taken for
  // a switched output.
  WithRetries([&] {
    Select();
    const auto status = PioAccessWrite(Adapter(), kPioAccessWrite, outputs);
    if (!status) CrcMismatch("the PIO write confirmation");
    if (PioOutputByte(*status) != outputs) CrcMismatch("the output latches read back");
  });
}

int DS2413Container::getNumberChannels(const DeviceState& state) const {
  CheckStateSize(state, 1, "getNumberChannels");
  return 2;
}

bool DS2413Container::getLevel(int channel, const DeviceState& state) const {
  CheckChannel(channel, state, "getLevel");
  return PioPinLevel(state[0], channel);
}

bool DS2413Container::getLatchState(int channel, const DeviceState& state) const {
  CheckChannel(channel, state, "getLatchState");
  return PioConducts(state[0], channel);
}

void DS2413Container::setLatchState(int channel, bool on, bool, DeviceState& state) {
  CheckChannel(channel, state, "setLatchState");
  const auto bit = static_cast<uint8_t>(1u << (2 * channel + 1));
  state[0] = on ? static_cast<uint8_t>(state[0] & ~bit) : static_cast<uint8_t>(state[0] | bit);
}

std::unique_ptr<OneWireContainer> MakeDS2413Container() {
  return std::make_unique<DS2413Container>();
}

}  // namespace qb::access
