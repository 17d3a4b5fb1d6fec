#include "access/ds2438.h"

#include <algorithm>
#include <cmath>

#include "access/crc.h"
#include "access/families.h"

namespace qb::access {

namespace {

constexpr uint8_t kFamily = 0x26;

// Function commands.
constexpr uint8_t kWriteScratchpad = 0x4E;
constexpr uint8_t kReadScratchpad = 0xBE;
constexpr uint8_t kCopyScratchpad = 0x48;
constexpr uint8_t kRecallMemory = 0xB8;
constexpr uint8_t kConvertT = 0x44;
constexpr uint8_t kConvertV = 0xB4;

// The longest each operation takes by the datasheet; the device is polled for its busy bit
// afterwards, so a slow part is waited for a little longer rather than read too early.
constexpr std::chrono::milliseconds kTemperatureTime{10};
constexpr std::chrono::milliseconds kVoltageTime{10};
constexpr std::chrono::milliseconds kCopyTime{10};
// The current A/D converts 36.41 times a second once IAD is set.
constexpr std::chrono::milliseconds kCurrentPeriod{28};
// How long past the datasheet time a busy device is polled before it counts as failed.
constexpr std::chrono::milliseconds kBusyGrace{50};

constexpr uint8_t kConfigBits = 0x0F;  // IAD, CA, EE, AD: the writable status bits
constexpr uint8_t kThresholdBits = 0xC0;
constexpr uint16_t kNoReading = 0xFFFF;

constexpr double kVoltageLsb = 0.01;         // volts per voltage register step
constexpr double kTemperatureLsb = 0.03125;  // degrees per step of the 13-bit reading

uint16_t Word(const DeviceState& s, size_t at) {
  return static_cast<uint16_t>(s[at] | (s[at + 1] << 8));
}

void PutWord(DeviceState& s, size_t at, uint16_t value) {
  s[at] = static_cast<uint8_t>(value & 0xFF);
  s[at + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

DS2438Container::DS2438Container() : OneWireContainer(kFamily) {}

void DS2438Container::CheckState(const DeviceState& state, const char* call) const {
  CheckStateSize(state, kStateSize, call);
}

DS2438Container::Page DS2438Container::ReadPage(uint8_t page) {
  BusMaster& m = Adapter().Master();
  Select();
  m.TouchByte(kRecallMemory);
  m.TouchByte(page);
  Select();
  m.TouchByte(kReadScratchpad);
  m.TouchByte(page);
  uint8_t buf[9];
  std::fill(std::begin(buf), std::end(buf), 0xFF);
  m.Block(buf, sizeof buf);
  if (!Crc8Matches(buf, sizeof buf)) CrcMismatch("reading page " + std::to_string(page));
  // A line held low reads as all zeros, which pass the CRC8 check. Page 0 (status, temperature,
  // voltage, current) is never all zeros on a working part; other pages may well be.
  if (page == 0 && std::all_of(std::begin(buf), std::end(buf), [](uint8_t b) { return b == 0; }))
    CrcMismatch("page 0 (read as all zeros)");
  Page out;
  std::copy(buf, buf + 8, out.begin());
  return out;
}

void DS2438Container::WaitWhileBusy(std::chrono::milliseconds limit, const char* what) {
  BusMaster& m = Adapter().Master();
  for (auto waited = std::chrono::milliseconds(0);; waited += std::chrono::milliseconds(1)) {
    if (m.TouchBit(true)) return;
    if (waited >= limit) Fail(std::string(what) + " did not finish");
    m.Wait(std::chrono::milliseconds(1));
  }
}

void DS2438Container::Convert(uint8_t command, std::chrono::milliseconds time, const char* what) {
  BusMaster& m = Adapter().Master();
  Select();
  m.TouchByte(command);
  m.Wait(time);
  WaitWhileBusy(kBusyGrace, what);
}

DS2438Container::Page DS2438Container::WritePage0(uint8_t mask, uint8_t bits,
                                                  std::optional<uint8_t> threshold) {
  mask &= kConfigBits;
  bits &= mask;
  if (threshold) *threshold &= kThresholdBits;
  Page page{};
  WithRetries([&] { page = ReadPage(0); });
  const auto matches = [&](const Page& p) {
    return (p[0] & mask) == bits && (!threshold || (p[7] & kThresholdBits) == *threshold);
  };
  if (matches(page)) return page;

  Page wanted = page;
  wanted[0] = static_cast<uint8_t>((page[0] & kConfigBits & ~mask) | bits);
  if (threshold) wanted[7] = *threshold;
  BusMaster& m = Adapter().Master();
  WithRetries([&] {
    Select();
    m.TouchByte(kWriteScratchpad);
    m.TouchByte(0);
    for (uint8_t b : wanted) m.TouchByte(b);
    // Read the scratchpad back before copying, so a byte garbled on the way in never reaches
    // the EEPROM.
    Select();
    m.TouchByte(kReadScratchpad);
    m.TouchByte(0);
    uint8_t buf[9];
    std::fill(std::begin(buf), std::end(buf), 0xFF);
    m.Block(buf, sizeof buf);
    if (!Crc8Matches(buf, sizeof buf)) CrcMismatch("reading back the scratchpad");
    if ((buf[0] & kConfigBits) != wanted[0] ||
        (buf[7] & kThresholdBits) != (wanted[7] & kThresholdBits)) {
      CrcMismatch("verifying the written scratchpad");
    }
  });
  Select();
  m.TouchByte(kCopyScratchpad);
  m.TouchByte(0);
  m.Wait(kCopyTime);
  WaitWhileBusy(kBusyGrace, "copying the configuration to EEPROM");
  WithRetries([&] { page = ReadPage(0); });
  if (!matches(page)) Fail("the status/configuration register did not take the new setting");
  return page;
}

DeviceState DS2438Container::readDevice() {
  Page page{};
  WithRetries([&] { page = ReadPage(0); });
  DeviceState state(page.begin(), page.end());
  state.resize(kStateSize);
  PutWord(state, 8, last_vdd_.value_or(kNoReading));
  PutWord(state, 10, last_vad_.value_or(kNoReading));
  return state;
}

void DS2438Container::writeDevice(const DeviceState& state) {
  CheckState(state, "writeDevice");
  WritePage0(kConfigBits, state[0], state[7]);
}

void DS2438Container::doTemperatureConvert(DeviceState& state) {
  CheckState(state, "doTemperatureConvert");
  Convert(kConvertT, kTemperatureTime, "the temperature conversion");
  Page page{};
  WithRetries([&] { page = ReadPage(0); });
  std::copy(page.begin(), page.end(), state.begin());
}

double DS2438Container::getTemperature(const DeviceState& state) const {
  CheckState(state, "getTemperature");
  // 13 bits, two's complement, left-aligned in the 16-bit register: the low three bits are 0.
  const auto raw = static_cast<int16_t>(Word(state, 1));
  return (raw >> 3) * kTemperatureLsb;
}

double DS2438Container::getTemperatureResolution(const DeviceState& state) const {
  CheckState(state, "getTemperatureResolution");
  return kTemperatureLsb;
}

void DS2438Container::doADConvert(int channel, DeviceState& state) {
  if (channel < DS2438_CHANNEL_VDD || channel > DS2438_CHANNEL_VSENSE) {
    Fail("there is no A/D channel " + std::to_string(channel));
  }
  CheckState(state, "doADConvert");
  Page page{};
  if (channel == DS2438_CHANNEL_VSENSE) {
    // The current register follows the sense voltage on its own while IAD is set; when it was
    // off, switch it on and give the converter one conversion period before reading.
    WithRetries([&] { page = ReadPage(0); });
    if ((page[0] & DS2438_IAD_FLAG) == 0) {
      WritePage0(DS2438_IAD_FLAG, DS2438_IAD_FLAG);
      Adapter().Master().Wait(kCurrentPeriod);
      WithRetries([&] { page = ReadPage(0); });
    }
    std::copy(page.begin(), page.end(), state.begin());
    return;
  }
  const uint8_t ad = channel == DS2438_CHANNEL_VDD ? DS2438_AD_FLAG : 0;
  WritePage0(DS2438_AD_FLAG, ad);
  Convert(kConvertV, kVoltageTime, "the voltage conversion");
  WithRetries([&] { page = ReadPage(0); });
  // The voltage register holds whichever input the AD flag selected; never file a reading under
  // the wrong input.
  if ((page[0] & DS2438_AD_FLAG) != ad) Fail("the A/D input changed during the conversion");
  std::copy(page.begin(), page.end(), state.begin());
  const auto raw = static_cast<uint16_t>(Word(state, 3) & 0x03FF);
  if (channel == DS2438_CHANNEL_VDD) {
    last_vdd_ = raw;
    PutWord(state, 8, raw);
  } else {
    last_vad_ = raw;
    PutWord(state, 10, raw);
  }
}

double DS2438Container::getADVoltage(int channel, const DeviceState& state) const {
  if (channel == DS2438_CHANNEL_VSENSE) {
    CheckState(state, "getADVoltage");
    // The current register counts the sense voltage in steps of 1/4096 V.
    return static_cast<int16_t>(Word(state, 5)) / 4096.0;
  }
  if (channel != DS2438_CHANNEL_VDD && channel != DS2438_CHANNEL_VAD) {
    Fail("there is no A/D channel " + std::to_string(channel));
  }
  CheckState(state, "getADVoltage");
  const uint16_t raw = Word(state, channel == DS2438_CHANNEL_VDD ? 8 : 10);
  if (raw == kNoReading) {
    Fail(std::string("no ") + (channel == DS2438_CHANNEL_VDD ? "Vdd" : "Vad") +
         " reading in this state: call doADConvert first");
  }
  return (raw & 0x03FF) * kVoltageLsb;
}

double DS2438Container::getCurrent(const DeviceState& state) const {
  CheckState(state, "getCurrent");
  // Sign-extended two's complement: I = register / (4096 * Rsense).
  return static_cast<int16_t>(Word(state, 5)) / (4096.0 * kSenseResistorOhms);
}

bool DS2438Container::getFlag(int flag) {
  if (flag <= 0 || (flag & ~kConfigBits) != 0) Fail("unknown status flag " + std::to_string(flag));
  Page page{};
  WithRetries([&] { page = ReadPage(0); });
  return (page[0] & flag) == flag;
}

void DS2438Container::setFlag(int flag, bool value) {
  if (flag <= 0 || (flag & ~kConfigBits) != 0) Fail("unknown status flag " + std::to_string(flag));
  const auto mask = static_cast<uint8_t>(flag);
  WritePage0(mask, value ? mask : 0);
}

std::unique_ptr<OneWireContainer> MakeDS2438Container() {
  return std::make_unique<DS2438Container>();
}

}  // namespace qb::access
