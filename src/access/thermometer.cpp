#include "access/thermometer.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "access/crc.h"

namespace qb::access {

namespace {

// Copy Scratchpad needs at most 10 ms to write the EEPROM.
constexpr std::chrono::milliseconds kCopyTime{10};
// Longest a device may go on signalling busy after the time its datasheet gives.
constexpr std::chrono::milliseconds kBusyGrace{250};
constexpr std::chrono::milliseconds kPollStep{5};

bool AllBytesAre(const uint8_t* data, size_t n, uint8_t value) {
  return std::all_of(data, data + n, [value](uint8_t b) { return b == value; });
}

}  // namespace

void ThermometerContainer::CheckState(const DeviceState& state, const char* call) const {
  CheckStateSize(state, StateSize(), call);
}

DeviceState ThermometerContainer::ReadScratchpadOnce() {
  Select();
  BusMaster& m = Adapter().Master();
  m.TouchByte(kReadScratchpad);
  DeviceState pad(kScratchpadSize, 0xFF);
  m.Block(pad.data(), pad.size());
  // A line held low reads as all zeros and a device gone silent as all ones; the first passes
  // the CRC8 check, so neither is taken for a scratchpad.
  if (AllBytesAre(pad.data(), pad.size(), 0x00) || AllBytesAre(pad.data(), pad.size(), 0xFF)) {
    CrcMismatch("the scratchpad (read as all " + std::string(pad[0] ? "ones" : "zeros") + ")");
  }
  if (!Crc8Matches(pad.data(), pad.size())) CrcMismatch("the scratchpad");
  known_pad_ = pad;
  known_rom_ = rom_;
  known_adapter_ = &Adapter();
  return pad;
}

DeviceState ThermometerContainer::ReadScratchpad() {
  DeviceState pad;
  WithRetries([&] { pad = ReadScratchpadOnce(); });
  return pad;
}

DeviceState ThermometerContainer::readDevice() {
  return ReadScratchpad();
}

bool ThermometerContainer::WritableDiffers(const DeviceState& a, const DeviceState& b) const {
  for (size_t i = 0; i < WritableBytes(); ++i) {
    const uint8_t mask = WritableMask(i);
    if ((a[kAlarmHigh + i] & mask) != (b[kAlarmHigh + i] & mask)) return true;
  }
  return false;
}

void ThermometerContainer::WaitWhileBusy(std::chrono::milliseconds limit, const char* what) {
  BusMaster& m = Adapter().Master();
  for (std::chrono::milliseconds waited{0};; waited += kPollStep) {
    if (m.TouchBit(true)) return;
    if (waited >= limit) Fail(std::string(what) + " did not finish");
    m.Wait(kPollStep);
  }
}

void ThermometerContainer::writeDevice(const DeviceState& state) {
  CheckState(state, "writeDevice");
  // Only what differs from the device goes out, so an unchanged state costs no EEPROM cycle.
  const DeviceState current = ReadScratchpad();
  if (!WritableDiffers(state, current)) return;

  // Write Scratchpad has no CRC: read the scratchpad back and write again when it did not take.
  WithRetries([&] {
    Select();
    BusMaster& m = Adapter().Master();
    m.TouchByte(kWriteScratchpad);
    for (size_t i = 0; i < WritableBytes(); ++i) m.TouchByte(state[kAlarmHigh + i]);
    if (WritableDiffers(state, ReadScratchpadOnce())) {
      throw CrcError(getName(), "the scratchpad of " + getName() + " " + rom_.ToString() +
                                    " did not take the values written");
    }
  });

  // Copy to EEPROM under strong pull-up (a parasite-powered part draws its write current from
  // it); an externally powered part then reports busy until the write is done.
  Select();
  Adapter().Master().TouchByteWithPower(kCopyScratchpad, kCopyTime);
  WaitWhileBusy(kBusyGrace, "copying the scratchpad to EEPROM");

  // Recall what the EEPROM now holds: a copy that did not happen must not pass as done.
  DeviceState stored;
  WithRetries([&] {
    Select();
    Adapter().Master().TouchByte(kRecallE2);
    WaitWhileBusy(kBusyGrace, "recalling the EEPROM");
    stored = ReadScratchpadOnce();
  });
  if (WritableDiffers(state, stored))
    Fail("the EEPROM does not hold the alarm limits and configuration written");
}

void ThermometerContainer::Convert(std::chrono::milliseconds duration) {
  // A transaction cut off (a lost adapter reply, after which the adapter was resynchronised and
  // the bus reset) is run again from the start: a conversion may be started any number of times.
  WithRetries([&] {
    Select();
    BusMaster& m = Adapter().Master();
    m.TouchByteWithPower(kConvertT, duration);
    // An externally powered device holds read slots low until its conversion is done; a
    // parasite-powered one has finished under the strong pull-up and leaves the line high.
    WaitWhileBusy(kBusyGrace, "the temperature conversion");
  });
}

void ThermometerContainer::doTemperatureConvert(DeviceState& state) {
  CheckState(state, "doTemperatureConvert");
  try {
    // The time of the resolution the device has now, which a state changed but not yet written
    // may not show: that of the scratchpad this container last read from the device (as a caller
    // does with readDevice right before), else read now.
    std::chrono::milliseconds duration = ConversionTime(state);
    if (ConversionTimeVaries()) {
      const bool known = known_pad_ && known_rom_ == rom_ && known_adapter_ == &Adapter();
      duration = ConversionTime(known ? *known_pad_ : ReadScratchpad());
    }
    Convert(duration);
    state = ReadScratchpad();
    // The scratchpad read after the conversion shows the resolution the device converted at. When
    // that needs longer than the pull-up was held (the configuration was changed behind this
    // container's back, or a brown-out reloaded it from EEPROM), a parasite-powered device may not
    // have finished: convert again for the time it needs.
    if (ConversionTimeVaries() && ConversionTime(state) > duration) {
      Convert(ConversionTime(state));
      state = ReadScratchpad();
    }
  } catch (...) {
    known_pad_.reset();  // read afresh next time
    throw;
  }
}

double ThermometerContainer::getTemperatureAlarm(int type, const DeviceState& state) const {
  CheckState(state, "getTemperatureAlarm");
  if (type == ALARM_HIGH) return static_cast<int8_t>(state[kAlarmHigh]);
  if (type == ALARM_LOW) return static_cast<int8_t>(state[kAlarmLow]);
  Fail("getTemperatureAlarm: unknown alarm type " + std::to_string(type) + " (0 low, 1 high)");
}

void ThermometerContainer::setTemperatureAlarm(int type, double value, DeviceState& state) {
  CheckState(state, "setTemperatureAlarm");
  if (type != ALARM_HIGH && type != ALARM_LOW) {
    Fail("setTemperatureAlarm: unknown alarm type " + std::to_string(type) + " (0 low, 1 high)");
  }
  // TH and TL hold whole degrees; a value a rounding error away from one is taken as that one.
  const double whole = std::round(value);
  if (!std::isfinite(value) || std::fabs(value - whole) > 1e-6) {
    Fail("setTemperatureAlarm: the alarm limits are whole degrees, " + std::to_string(value) +
         " is not");
  }
  if (whole < kThermometerMinC || whole > kThermometerMaxC) {
    Fail("setTemperatureAlarm: " + std::to_string(static_cast<int>(whole)) +
         " C is outside the range of the " + getName() + " (" + std::to_string(kThermometerMinC) +
         " to " + std::to_string(kThermometerMaxC) + " C)");
  }
  state[type == ALARM_HIGH ? kAlarmHigh : kAlarmLow] =
      static_cast<uint8_t>(static_cast<int8_t>(whole));
}

void ThermometerContainer::recallE2() {
  known_pad_.reset();  // the EEPROM's configuration replaces the scratchpad's
  Select();
  Adapter().Master().TouchByte(kRecallE2);
  WaitWhileBusy(kBusyGrace, "recalling the EEPROM");
}

bool ThermometerContainer::isExternalPowerSupplied(const DeviceState& state) {
  CheckState(state, "isExternalPowerSupplied");
  // A parasite-powered part pulls the read slot after Read Power Supply low.
  Select();
  BusMaster& m = Adapter().Master();
  m.TouchByte(kReadPowerSupply);
  return m.TouchBit(true);
}

}  // namespace qb::access
