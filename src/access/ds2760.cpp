#include "access/ds2760.h"

#include <memory>

#include "access/bus_master.h"

namespace qb::access {

namespace {

constexpr uint8_t kFamily = 0x30;
constexpr uint8_t kReadData = 0x69;

// A register pair, MSB first, as a signed 16-bit number.
int16_t Pair(const DeviceState& s, size_t at) {
  return static_cast<int16_t>(s[at] << 8 | s[at + 1]);
}

}  // namespace

DS2760Container::DS2760Container() : OneWireContainer(kFamily) {}

DeviceState DS2760Container::readDevice() {
  // Read Data carries no CRC: the block is read twice and must agree. The measurements change
  // only every few tens of milliseconds, so two reads in a row almost always do; the retry
  // covers the rest.
  BusMaster& m = Adapter().Master();
  DeviceState state;
  WithRetries([&] {
    std::vector<uint8_t> reads[2];
    for (auto& r : reads) {
      Select();
      r.assign(2 + kStateSize, 0xFF);
      r[0] = kReadData;
      r[1] = 0x00;
      m.Block(r.data(), r.size());
    }
    if (reads[0] != reads[1]) CrcMismatch("reading the registers (two reads differ)");
    state.assign(reads[0].begin() + 2, reads[0].end());
  });
  return state;
}

void DS2760Container::doTemperatureConvert(DeviceState& state) {
  CheckState(state, "doTemperatureConvert");
  state = readDevice();
}

double DS2760Container::getTemperature(const DeviceState& state) const {
  CheckState(state, "getTemperature");
  return (Pair(state, kTemperature) >> 5) * kTemperatureStep;
}

double DS2760Container::getTemperatureResolution(const DeviceState& state) const {
  CheckState(state, "getTemperatureResolution");
  return kTemperatureStep;
}

void DS2760Container::CheckChannel(int channel) const {
  if (channel != 0 && channel != DS2438_CHANNEL_VSENSE) {
    Fail("there is no A/D channel " + std::to_string(channel) +
         " (0 is the battery voltage, 2 the sense voltage)");
  }
}

void DS2760Container::doADConvert(int channel, DeviceState& state) {
  CheckChannel(channel);
  CheckState(state, "doADConvert");
  state = readDevice();
}

double DS2760Container::getADVoltage(int channel, const DeviceState& state) const {
  CheckChannel(channel);
  CheckState(state, "getADVoltage");
  if (channel == 0) return (Pair(state, kVoltage) >> 5) * kVoltageStep;
  return (Pair(state, kCurrent) >> 3) * kSenseStep;
}

double DS2760Container::getCurrent(const DeviceState& state) const {
  CheckState(state, "getCurrent");
  return (Pair(state, kCurrent) >> 3) * kSenseStep / kSenseResistorOhms;
}

std::unique_ptr<OneWireContainer> MakeDS2760Container() {
  return std::make_unique<DS2760Container>();
}

}  // namespace qb::access
