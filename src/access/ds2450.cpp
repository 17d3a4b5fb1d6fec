#include "access/ds2450.h"

#include <algorithm>
#include <cmath>

#include "access/crc.h"
#include "access/families.h"

namespace qb::access {

namespace {

constexpr uint8_t kFamily = 0x20;

constexpr uint8_t kReadMemory = 0xAA;
constexpr uint8_t kWriteMemory = 0x55;
constexpr uint8_t kConvert = 0x3C;

constexpr uint16_t kControlPage = 0x08;
constexpr uint16_t kPageSize = 8;

// First control/status byte of a channel.
constexpr uint8_t kResolutionBits = 0x0F;
constexpr uint8_t kOc = 0x40;
constexpr uint8_t kOe = 0x80;
constexpr uint8_t kControlWritable = 0xCF;  // bits 4 and 5 always read 0
// Second control/status byte.
constexpr uint8_t kIr = 0x01;
constexpr uint8_t kAel = 0x04;
constexpr uint8_t kAeh = 0x08;
constexpr uint8_t kAfl = 0x10;
constexpr uint8_t kAfh = 0x20;
constexpr uint8_t kStatusSettings = kIr | kAel | kAeh;  // what the master sets

constexpr double kLowRange = 2.56;
constexpr double kHighRange = 5.12;

constexpr std::chrono::milliseconds kBusyGrace{20};

size_t ControlAt(int channel) {
  return kControlPage + 2 * static_cast<size_t>(channel);
}
size_t StatusAt(int channel) {
  return ControlAt(channel) + 1;
}
size_t AlarmAt(int channel, int type) {
  return 0x10 + 2 * static_cast<size_t>(channel) + static_cast<size_t>(type);
}

void SetBit(uint8_t& byte, uint8_t bit, bool on) {
  byte = static_cast<uint8_t>(on ? byte | bit : byte & ~bit);
}

}  // namespace

DS2450Container::DS2450Container() : OneWireContainer(kFamily) {}

std::chrono::milliseconds DS2450Container::ConversionTime(int bits) {
  const int micros = bits * 80 + 160;
  return std::chrono::milliseconds((micros + 999) / 1000);
}

std::chrono::microseconds DS2450Container::AllChannelsConversionTime(const DeviceState& state) {
  if (state.size() != kStateSize) ThrowBusError("DS2450", "a device state of 24 bytes is needed");
  int micros = 160;
  for (int c = 0; c < 4; ++c) {
    const int code = state[ControlAt(c)] & kResolutionBits;
    micros += 80 * (code == 0 ? 16 : code);
  }
  return std::chrono::microseconds(micros);
}

void DS2450Container::CheckChannel(int channel) const {
  if (channel < 0 || channel > 3) Fail("there is no A/D channel " + std::to_string(channel));
}

void DS2450Container::CheckType(int type) const {
  if (type != AD_ALARM_LOW && type != AD_ALARM_HIGH)
    Fail("unknown alarm type " + std::to_string(type));
}

void DS2450Container::CheckState(const DeviceState& state, const char* call) const {
  CheckStateSize(state, kStateSize, call);
}

double DS2450Container::Range(int channel, const DeviceState& state) const {
  return (state[StatusAt(channel)] & kIr) ? kHighRange : kLowRange;
}

int DS2450Container::Bits(int channel, const DeviceState& state) const {
  const int code = state[ControlAt(channel)] & kResolutionBits;
  return code == 0 ? 16 : code;
}

std::vector<uint8_t> DS2450Container::ReadMemory(uint16_t address, size_t length) {
  BusMaster& m = Adapter().Master();
  Select();
  uint8_t head[3] = {kReadMemory, static_cast<uint8_t>(address & 0xFF),
                     static_cast<uint8_t>(address >> 8)};
  for (uint8_t b : head) m.TouchByte(b);
  std::vector<uint8_t> out;
  out.reserve(length);
  bool first = true;
  while (out.size() < length) {
    // The device sends up to the end of the page, then the inverted CRC16: of the command,
    // address and data for the first page, of the data alone for the pages after it.
    const size_t in_page = kPageSize - (address + out.size()) % kPageSize;
    std::vector<uint8_t> buf(in_page + 2, 0xFF);
    m.Block(buf.data(), buf.size());
    uint16_t seed = 0;
    if (first) seed = Crc16(head, sizeof head);
    if (!Crc16Matches(buf.data(), in_page, seed, buf[in_page], buf[in_page + 1])) {
      CrcMismatch("reading memory page " + std::to_string((address + out.size()) / kPageSize));
    }
    first = false;
    const size_t take = std::min(in_page, length - out.size());
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<long>(take));
  }
  return out;
}

void DS2450Container::WriteMemory(uint16_t address, const std::vector<uint8_t>& bytes) {
  BusMaster& m = Adapter().Master();
  Select();
  m.TouchByte(kWriteMemory);
  m.TouchByte(static_cast<uint8_t>(address & 0xFF));
  m.TouchByte(static_cast<uint8_t>(address >> 8));
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto at = static_cast<uint16_t>(address + i);
    m.TouchByte(bytes[i]);
    uint8_t reply[3] = {0xFF, 0xFF, 0xFF};
    m.Block(reply, sizeof reply);
    // The first CRC16 covers the command, address and data; for each later byte the device loads
    // its CRC register with the (incremented) address and shifts the data byte in.
    bool crc_ok;
    if (i == 0) {
      const uint8_t covered[4] = {kWriteMemory, static_cast<uint8_t>(at & 0xFF),
                                  static_cast<uint8_t>(at >> 8), bytes[i]};
      crc_ok = Crc16Matches(covered, sizeof covered, 0, reply[0], reply[1]);
    } else {
      crc_ok = Crc16Matches(&bytes[i], 1, at, reply[0],
                            reply[1]);  // the CRC register starts as the address
    }
    if (!crc_ok) {
      CrcMismatch("writing memory address " + std::to_string(at));
    }
    // The read-back travels without a CRC of its own; a mismatch is retried like one.
    if (reply[2] != bytes[i]) CrcMismatch("the read-back of memory address " + std::to_string(at));
  }
}

DeviceState DS2450Container::readDevice() {
  DeviceState state;
  WithRetries([&] { state = ReadMemory(0, kStateSize); });
  return state;
}

void DS2450Container::writeDevice(const DeviceState& state) {
  CheckState(state, "writeDevice");
  WithRetries([&] {
    // What the device holds now, so that only changed bytes are written and its own flags are
    // kept as they are.
    const std::vector<uint8_t> now = ReadMemory(kControlPage, 16);
    std::vector<uint8_t> wanted(16);
    for (size_t i = 0; i < 16; ++i) {
      const uint8_t from_state = state[kControlPage + i];
      if (i >= 8) {
        wanted[i] = from_state;  // alarm limits
      } else if (i % 2 == 0) {
        wanted[i] = from_state & kControlWritable;
      } else {
        // POR asks the master to set the channel up; writing the settings is that, so it is
        // cleared here (otherwise the device stays in the alarm search for good).
        wanted[i] = static_cast<uint8_t>((from_state & kStatusSettings) | (now[i] & (kAfl | kAfh)));
      }
    }
    for (size_t i = 0; i < 16;) {
      if (wanted[i] == now[i]) {
        ++i;
        continue;
      }
      size_t end = i;
      while (end < 16 && wanted[end] != now[end]) ++end;
      WriteMemory(static_cast<uint16_t>(kControlPage + i),
                  std::vector<uint8_t>(wanted.begin() + static_cast<long>(i),
                                       wanted.begin() + static_cast<long>(end)));
      i = end;
    }
  });
}

void DS2450Container::doADConvert(int channel, DeviceState& state) {
  CheckChannel(channel);
  CheckState(state, "doADConvert");
  BusMaster& m = Adapter().Master();
  const auto time = ConversionTime(Bits(channel, state));
  const auto mask = static_cast<uint8_t>(1u << channel);
  const auto at = 2 * static_cast<size_t>(channel);
  // Converts the channel with its result preset as `preset` (read-out control: per channel the
  // upper bit presets all ones, the lower all zeros) and returns pages 0 and 1 read back.
  auto convert = [&](uint8_t preset) {
    WithRetries([&] {
      Select();
      const uint8_t command[3] = {kConvert, mask, static_cast<uint8_t>(preset << (2 * channel))};
      for (uint8_t b : command) m.TouchByte(b);
      // The conversion starts once the CRC16 has been read; a device powered from the bus needs
      // the strong pull-up for it, one on VCC does not mind it.
      const uint8_t crc_low = m.TouchByte(0xFF);
      const uint8_t crc_high = m.TouchByteWithPower(0xFF, time);
      if (!Crc16Matches(command, sizeof command, 0, crc_low, crc_high))
        CrcMismatch("the convert command");
    });
    for (auto waited = std::chrono::milliseconds(0); !m.TouchBit(true);
         waited += std::chrono::milliseconds(1)) {
      if (waited >= kBusyGrace) Fail("the conversion did not finish");
      m.Wait(std::chrono::milliseconds(1));
    }
    std::vector<uint8_t> pages;
    WithRetries([&] { pages = ReadMemory(0, 16); });
    return pages;
  };
  auto result = [&](const std::vector<uint8_t>& pages) { return pages[at] | pages[at + 1] << 8; };
  // A part powered from the bus browns out in a conversion without the strong pull-up and keeps
  // whatever its result held: preset, that is all ones. All ones is also a true full scale at
  // 16 bits, so such a result is converted again preset to all zeros; a result that keeps both
  // presets was never converted, and is no reading of 0 V or of full scale.
  std::vector<uint8_t> pages = convert(0x02);
  if (result(pages) == 0xFFFF) {
    pages = convert(0x01);
    if (result(pages) == 0x0000)
      Fail(
          "the conversion did not run (the result kept its preset): a part powered from the "
          "bus needs the strong pull-up, which this adapter does not give");
  }
  std::copy(pages.begin(), pages.begin() + 8, state.begin());
  // Take over the alarm flags the conversion set; the settings in the state stay as they are.
  for (int c = 0; c < 4; ++c) {
    const size_t status = StatusAt(c);
    state[status] =
        static_cast<uint8_t>((state[status] & ~(kAfl | kAfh)) | (pages[status] & (kAfl | kAfh)));
  }
}

double DS2450Container::getADVoltage(int channel, const DeviceState& state) const {
  CheckChannel(channel);
  CheckState(state, "getADVoltage");
  const auto at = 2 * static_cast<size_t>(channel);
  const unsigned raw = state[at] | state[at + 1] << 8;
  return raw / 65536.0 * Range(channel, state);
}

bool DS2450Container::isADOverRange(int channel, const DeviceState& state) const {
  CheckChannel(channel);
  CheckState(state, "isADOverRange");
  const auto at = 2 * static_cast<size_t>(channel);
  const unsigned raw = state[at] | state[at + 1] << 8;
  const int bits = Bits(channel, state);
  return raw >> (16 - bits) == (1u << bits) - 1;
}

std::vector<double> DS2450Container::getADRanges(int channel) const {
  CheckChannel(channel);
  return {kLowRange, kHighRange};
}

double DS2450Container::getADRange(int channel, const DeviceState& state) const {
  CheckChannel(channel);
  CheckState(state, "getADRange");
  return Range(channel, state);
}

void DS2450Container::setADRange(int channel, double range, DeviceState& state) {
  CheckChannel(channel);
  CheckState(state, "setADRange");
  if (!(range > 0) || !std::isfinite(range))
    Fail("no input range of " + std::to_string(range) + " V");
  // The nearer of the two ranges (2.55 and 5.10, the highest readings, count as well).
  SetBit(state[StatusAt(channel)], kIr, range > (kLowRange + kHighRange) / 2);
}

std::vector<double> DS2450Container::getADResolutions(int channel, double range) const {
  CheckChannel(channel);
  if (!(range > 0) || !std::isfinite(range))
    Fail("no input range of " + std::to_string(range) + " V");
  std::vector<double> out;
  for (int bits = 1; bits <= 16; ++bits) out.push_back(range / std::ldexp(1.0, bits));
  return out;
}

double DS2450Container::getADResolution(int channel, const DeviceState& state) const {
  CheckChannel(channel);
  CheckState(state, "getADResolution");
  return Range(channel, state) / std::ldexp(1.0, Bits(channel, state));
}

void DS2450Container::setADResolution(int channel, double resolution, DeviceState& state) {
  CheckChannel(channel);
  CheckState(state, "setADResolution");
  if (!(resolution > 0) || !std::isfinite(resolution)) {
    Fail("no resolution of " + std::to_string(resolution) + " V");
  }
  // The bit count whose step is nearest to the one asked for, at the channel's range.
  const double exact = std::log2(Range(channel, state) / resolution);
  const int bits = static_cast<int>(std::clamp(std::lround(exact), 1L, 16L));
  uint8_t& control = state[ControlAt(channel)];
  control = static_cast<uint8_t>((control & ~kResolutionBits) | (bits == 16 ? 0 : bits));
}

double DS2450Container::getADAlarm(int channel, int type, const DeviceState& state) const {
  CheckChannel(channel);
  CheckType(type);
  CheckState(state, "getADAlarm");
  return state[AlarmAt(channel, type)] / 256.0 * Range(channel, state);
}

void DS2450Container::setADAlarm(int channel, int type, double value, DeviceState& state) {
  CheckChannel(channel);
  CheckType(type);
  CheckState(state, "setADAlarm");
  if (!std::isfinite(value)) Fail("no alarm limit of " + std::to_string(value) + " V");
  const long step = std::lround(value / Range(channel, state) * 256.0);
  state[AlarmAt(channel, type)] = static_cast<uint8_t>(std::clamp(step, 0L, 255L));
}

bool DS2450Container::getADAlarmEnable(int channel, int type, const DeviceState& state) const {
  CheckChannel(channel);
  CheckType(type);
  CheckState(state, "getADAlarmEnable");
  return state[StatusAt(channel)] & (type == AD_ALARM_LOW ? kAel : kAeh);
}

void DS2450Container::setADAlarmEnable(int channel, int type, bool enable, DeviceState& state) {
  CheckChannel(channel);
  CheckType(type);
  CheckState(state, "setADAlarmEnable");
  SetBit(state[StatusAt(channel)], type == AD_ALARM_LOW ? kAel : kAeh, enable);
}

bool DS2450Container::hasADAlarmed(int channel, int type, const DeviceState& state) const {
  CheckChannel(channel);
  CheckType(type);
  CheckState(state, "hasADAlarmed");
  return state[StatusAt(channel)] & (type == AD_ALARM_LOW ? kAfl : kAfh);
}

bool DS2450Container::isOutputEnabled(int channel, const DeviceState& state) const {
  CheckChannel(channel);
  CheckState(state, "isOutputEnabled");
  return state[ControlAt(channel)] & kOe;
}

bool DS2450Container::getOutputState(int channel, const DeviceState& state) const {
  CheckChannel(channel);
  CheckState(state, "getOutputState");
  return !(state[ControlAt(channel)] & kOc);
}

void DS2450Container::setOutput(int channel, bool enable, bool state_on, DeviceState& state) {
  CheckChannel(channel);
  CheckState(state, "setOutput");
  uint8_t& control = state[ControlAt(channel)];
  SetBit(control, kOe, enable);
  SetBit(control, kOc, !state_on);
}

std::unique_ptr<OneWireContainer> MakeDS2450Container() {
  return std::make_unique<DS2450Container>();
}

}  // namespace qb::access
