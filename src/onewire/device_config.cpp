#include "onewire/device_config.h"

#include "access/container.h"
#include "catalogue/family_catalogue.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/adapter_setup.h"
#include "onewire/bound_container.h"
#include "onewire/device_reading.h"
#include "onewire/onewire_state.h"
#include "platform/settings_store.h"
#include "registry/records.h"
#include "registry/value_text.h"
#include "registry/value_update.h"

namespace qb {

namespace {

using Bound = BoundContainer;

// Reads a device at once with the container an operation bound for it.
void ReadNow(const std::string& rom, int read_type, const Bound& bound) {
  auto record = gROMs().Find(rom.substr(0, 16));
  if (record) ReadDev(*record, rom.substr(0, 16), read_type, bound.container());
}

}  // namespace

bool HasSelectableResolution(const std::string& rom) {
  try {
    Bound b(rom, 3);
    return b.ok() && b.c().hasSelectableTemperatureResolution();
  } catch (const std::exception&) {
    return false;
  }
}

double GetTempResolution(const std::string& rom) {
  // The DS18S20's stored resolution chooses how its readings are taken: below half a degree the
  // count registers refine them. Every other thermometer reports what it measures in: the DS1822
  // has the DS18B20's configuration register, the DS1921 and the battery monitors a fixed step.
  if (FamilyCode(rom) == "10") {
    return ReadNumber(Store().GetOr("Resolution", rom.substr(0, 16), "0.1"));
  }
  try {
    Bound b(rom, 3);
    if (!b.ok()) return 0;
    const access::DeviceState state = b.c().readDevice();
    return b.c().getTemperatureResolution(state);
  } catch (const std::exception&) {
    return 0;
  }
}

void SetTempRes(DSDevice& channel, double resolution) {
  const std::string rom = channel.ROM.substr(0, 16);
  Store().Set("Resolution", rom, PlainNumberText(resolution));
  try {
    Bound b(rom, 2);
    if (!b.ok()) return;
    access::DeviceState state = b.c().readDevice();
    b.c().setTemperatureResolution(resolution, state);
    b.c().writeDevice(state);
    channel.TempResolution = resolution;
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(SetTempRes)", e.what());
  }
}

void SetTempAlarm(const std::string& rom, bool high, double value) {
  try {
    Bound b(rom, 3);
    if (!b.ok()) return;
    access::DeviceState state = b.c().readDevice();
    // The thermochron answers the alarm search for a limit only while its search flag is set.
    if (FamilyCode(rom) == "21") {
      b.c().setFlag(access::CONTROL_REGISTER,
                    high ? access::TEMP_HIGH_SEARCH_FLAG : access::TEMP_LOW_SEARCH_FLAG, true,
                    state);
    }
    b.c().setTemperatureAlarm(high ? access::ALARM_HIGH : access::ALARM_LOW, value, state);
    b.c().writeDevice(state);
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(SetTempAlarm)", e.what());
  }
}

std::pair<double, double> GetTempAlarms(const std::string& rom) {
  std::pair<double, double> limits{0, 0};
  try {
    Bound b(rom, 3);
    if (!b.ok()) return limits;
    const access::DeviceState state = b.c().readDevice();
    limits.first = b.c().getTemperatureAlarm(access::ALARM_LOW, state);
    limits.second = b.c().getTemperatureAlarm(access::ALARM_HIGH, state);
  } catch (const std::exception&) {
  }
  return limits;
}

std::string PowerSource(const std::string& rom) {
  try {
    Bound b(rom, 3);
    if (!b.ok()) return {};
    access::DeviceState state = b.c().readDevice();
    return b.c().isExternalPowerSupplied(state) ? "External" : "Parasitic";
  } catch (const std::exception&) {
    return {};
  }
}

void SetPot(DSDevice& channel, int position) {
  try {
    Bound b(channel.ROM, 2);
    if (!b.ok()) return;
    b.c().setWiperPosition(position);
    ReadNow(channel.ROM, 0, b);
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(SetPot)", e.what());
  }
}

void SetSwitch(DSDevice& channel, bool on) {
  try {
    Bound b(channel.ROM, 2);
    if (!b.ok()) return;
    const int number =
        channel.ROM.size() > 17 ? static_cast<int>(ReadNumber(channel.ROM.substr(17))) : 0;
    access::DeviceState state = b.c().readDevice();
    b.c().setLatchState(number, on, false, state);
    b.c().writeDevice(state);
    ReadNow(channel.ROM, 0, b);
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(SetSwitch)", e.what());
  }
}

void ReadChannel(DSDevice& channel) {
  try {
    const char letter = channel.ROM.size() > 16 ? channel.ROM[16] : '\0';
    const int type = channel.ROM.size() == 16                                             ? 7
                     : (letter == 'G' || letter == 'H' || letter == 'J' || letter == 'N') ? kReadAD
                     : letter == 'I' ? kReadCurrent
                     : letter == 'M' ? kReadTemperature
                                     : 0;
    Bound b(channel.ROM, 2);
    if (!b.ok()) return;
    ReadNow(channel.ROM, type, b);
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(ReadChannel)", e.what());
  }
}

void CheckPresence() {
  const auto adapter = OneWire().adapter;
  if (!adapter) return;
  PrepAdapter(0, false, false, false);
  WriteLog(LogClass::Trace, "1-Wire", "Checking device presence");
  const auto roms = gROMs().ROMlist;
  for (const auto& rom : roms) {
    if (rom->ShowID != 1) continue;
    try {
      if (!SetupContainer(rom->ROM, 2, false)) continue;
      const auto container = SlotContainer(2);
      if (!container) continue;
      const bool present = container->isPresent();
      NotePresence(*rom, present);
      auto self = gROMs().FindDev(rom->ROM);
      if (self) UpdateHSDev(*self, std::string(present ? "On" : "Off"));
    } catch (const std::exception&) {
    }
  }
  ReleaseContainer(2);
  adapter->endExclusive();
}

void AD4Adjust(int channel, int setting, double value, const std::string& key) {
  try {
    // Slot 3: the first reading of a DS2450 applies its stored settings from inside ReadDev,
    // which holds slot 2.
    Bound b(key, 3);
    if (!b.ok()) return;
    access::OneWireContainer& c = b.c();
    access::DeviceState state = c.readDevice();
    switch (setting) {
      case 1:
        c.setADRange(channel, value, state);
        break;
      case 2:
        c.setADResolution(channel, value, state);
        break;
      case 3:
      case 4: {
        const int type = setting == 3 ? access::AD_ALARM_LOW : access::AD_ALARM_HIGH;
        if (value == -1) {
          c.setADAlarmEnable(channel, type, false, state);
        } else {
          c.setADAlarm(channel, type, value, state);
          c.setADAlarmEnable(channel, type, true, state);
        }
        break;
      }
      case 5:
        if (value != -1) c.setOutput(channel, true, value == 1, state);
        break;
      default:
        break;
    }
    c.writeDevice(state);
    c.doADConvert(channel, state);
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(AD4Adjust)", e.what());
  }
}

}  // namespace qb

namespace qb {

std::vector<AD4Channel> AD4Read(const std::string& key) {
  std::vector<AD4Channel> channels;
  try {
    Bound b(key, 3);
    if (!b.ok()) return channels;
    access::OneWireContainer& c = b.c();
    const access::DeviceState state = c.readDevice();
    for (int ch = 0; ch < 4; ++ch) {
      AD4Channel a;
      a.low_enabled = c.getADAlarmEnable(ch, access::AD_ALARM_LOW, state);
      a.high_enabled = c.getADAlarmEnable(ch, access::AD_ALARM_HIGH, state);
      a.low_alarmed = c.hasADAlarmed(ch, access::AD_ALARM_LOW, state);
      a.high_alarmed = c.hasADAlarmed(ch, access::AD_ALARM_HIGH, state);
      a.range = PlainNumberText(c.getADRange(ch, state)) + "V";
      a.resolution = PlainNumberText(c.getADResolution(ch, state));
      a.low_limit = PlainNumberText(c.getADAlarm(ch, access::AD_ALARM_LOW, state));
      a.high_limit = PlainNumberText(c.getADAlarm(ch, access::AD_ALARM_HIGH, state));
      a.output = c.isOutputEnabled(ch, state) && c.getOutputState(ch, state) ? "1" : "0";
      channels.push_back(a);
    }
  } catch (const std::exception&) {
    // What was read so far is shown; a channel that could not be read shows "None".
    while (!channels.empty() && channels.size() < 4) {
      AD4Channel none;
      none.range = none.resolution = none.low_limit = none.high_limit = "None";
      channels.push_back(none);
    }
  }
  return channels;
}

}  // namespace qb
