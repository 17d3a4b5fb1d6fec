#include "access/ds2406.h"

#include "access/crc.h"
#include "access/families.h"

namespace qb::access {

namespace {

constexpr uint8_t kReadStatus = 0xAA;
constexpr uint8_t kWriteStatus = 0x55;
constexpr uint8_t kChannelAccess = 0xF5;

// Channel Control Byte 1 for reading the info byte: initial mode read (IM), channel A, CRC16
// after every byte, so the info byte is covered by the CRC of the first data byte.
constexpr uint8_t kReadInfoControl = 0x40 | 0x04 | 0x01;
constexpr uint8_t kAlr = 0x80;

bool Crc16Ok(const std::vector<uint8_t>& data, uint8_t low, uint8_t high) {
  return Crc16Matches(data.data(), data.size(), 0, low, high);
}

}  // namespace

uint8_t DS2406Container::ReadChannelInfo(bool reset_activity) {
  uint8_t info = 0;
  WithRetries([&] {
    Select();
    uint8_t buf[7] = {kChannelAccess,
                      static_cast<uint8_t>(kReadInfoControl | (reset_activity ? kAlr : 0)),
                      0xFF,
                      0xFF,
                      0xFF,
                      0xFF,
                      0xFF};
    Adapter().Master().Block(buf, sizeof buf);
    Adapter().Reset();
    // Command, both control bytes, the info byte and one byte of samples, then the CRC16.
    if (!Crc16Matches(buf, 5, 0, buf[5], buf[6])) CrcMismatch("the channel-info byte");
    info = buf[3];
  });
  return info;
}

std::vector<uint8_t> DS2406Container::ReadStatus(int address) {
  if (address < 0 || address > 7)
    Fail("status memory address " + std::to_string(address) + " is outside 0 to 7");
  std::vector<uint8_t> data;
  WithRetries([&] {
    Select();
    std::vector<uint8_t> buf = {kReadStatus, static_cast<uint8_t>(address), 0x00};
    buf.resize(3 + (8 - static_cast<size_t>(address)) + 2, 0xFF);
    Adapter().Master().Block(buf.data(), buf.size());
    Adapter().Reset();
    const size_t n = buf.size() - 2;
    if (!Crc16Matches(buf.data(), n, 0, buf[n], buf[n + 1])) CrcMismatch("the status memory");
    data.assign(buf.begin() + 3, buf.begin() + static_cast<std::ptrdiff_t>(n));
  });
  return data;
}

void DS2406Container::WriteStatusByte7(uint8_t value) {
  value &= 0x7F;  // the supply indication is read-only
  WithRetries([&] {
    Select();
    BusMaster& m = Adapter().Master();
    std::vector<uint8_t> buf = {kWriteStatus, 0x07, 0x00, value, 0xFF, 0xFF};
    m.Block(buf.data(), buf.size());
    // The CRC16 of command, address and data comes back before anything is taken over; on a
    // mismatch the reset abandons the write.
    if (!Crc16Ok({buf[0], buf[1], buf[2], buf[3]}, buf[4], buf[5])) {
      Adapter().Reset();
      CrcMismatch("the Write Status echo");
    }
    // Byte 7 is SRAM: a byte of ones instead of a programming pulse takes the value over, and
    // the device then sends the byte as stored.
    m.TouchByte(0xFF);
    const uint8_t stored = m.TouchByte(0xFF);
    Adapter().Reset();
    if ((stored & 0x7F) != value) CrcMismatch("the status byte read back");
  });
}

DeviceState DS2406Container::readDevice() {
  const uint8_t info = ReadChannelInfo(false);
  const std::vector<uint8_t> status = ReadStatus(7);
  return {info, status[0]};
}

void DS2406Container::writeDevice(const DeviceState& state) {
  CheckStateSize(state, 2, "writeDevice");
  WriteStatusByte7(state[1]);
}

int DS2406Container::ChannelsIn(const DeviceState& state) const {
  return (state[0] & 0x40) ? 2 : 1;
}

SwitchChannel DS2406Container::ChannelAt(int channel, const DeviceState& state) const {
  return {(state[0] >> (2 + channel) & 1) != 0,
          !(state[0] >> channel & 1),  // flip-flop 0: the transistor conducts
          (state[0] >> (4 + channel) & 1) != 0};
}

void DS2406Container::setLatchState(int channel, bool on, bool, DeviceState& state) {
  CheckChannel(channel, state, "setLatchState");
  const uint8_t info_bit = static_cast<uint8_t>(1u << channel);
  const uint8_t status_bit = static_cast<uint8_t>(1u << (5 + channel));
  if (on) {
    state[0] = static_cast<uint8_t>(state[0] & ~info_bit);
    state[1] = static_cast<uint8_t>(state[1] & ~status_bit);
  } else {
    state[0] = static_cast<uint8_t>(state[0] | info_bit);
    state[1] = static_cast<uint8_t>(state[1] | status_bit);
  }
}

void DS2406Container::clearActivity() {
  ReadChannelInfo(true);
}

void DS2406Container::setSearchConditions(int channel, int source, int polarity,
                                          DeviceState& state) {
  CheckStateSize(state, 2, "setSearchConditions");
  if (channel != CHANNEL_A && channel != CHANNEL_B && channel != CHANNEL_BOTH) {
    Fail("search channel " + std::to_string(channel) +
         " is not CHANNEL_A, CHANNEL_B or CHANNEL_BOTH");
  }
  if (source != SOURCE_ACTIVITY_LATCH && source != SOURCE_FLIP_FLOP && source != SOURCE_PIO) {
    Fail("search source " + std::to_string(source) +
         " is not SOURCE_ACTIVITY_LATCH, SOURCE_FLIP_FLOP or SOURCE_PIO");
  }
  if (polarity != POLARITY_ZERO && polarity != POLARITY_ONE) {
    Fail("search polarity " + std::to_string(polarity) + " is not POLARITY_ZERO or POLARITY_ONE");
  }
  const uint8_t css = static_cast<uint8_t>(channel << 3 | source << 1 | polarity);
  state[1] = static_cast<uint8_t>((state[1] & 0xE0) | css);
}

std::unique_ptr<OneWireContainer> MakeDS2406Container() {
  return std::make_unique<DS2406Container>();
}

}  // namespace qb::access
