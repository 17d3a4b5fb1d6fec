#include "onewire/temp_alarms.h"

#include "access/container.h"
#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/bound_container.h"
#include "platform/user_interface.h"
#include "registry/records.h"

namespace qb {

bool HasTempAlarms(const std::string& rom) {
  try {
    BoundContainer b(rom, 3);
    return b.ok() && b.c().hasTemperatureAlarms();
  } catch (const std::exception&) {
    return false;
  }
}

int LimitOfHexByte(const std::string& hex) {
  if (hex.size() != 2) return 0;
  int value = 0;
  for (char ch : hex) {
    const int digit = ch >= '0' && ch <= '9'   ? ch - '0'
                      : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                      : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                               : -1;
    if (digit < 0) return 0;
    value = value * 16 + digit;
  }
  // TH and TL are two's complement bytes: everything above 127 is below zero.
  return value > 127 ? value - 256 : value;
}

bool TempAlarmActive(const std::string& rom, bool under) {
  if (rom.empty()) return false;
  try {
    BoundContainer b(rom, 3);
    if (!b.ok()) return false;
    access::OneWireContainer& c = b.c();
    if (!c.IsAlarming()) return false;
    const access::DeviceState state = c.readDevice();
    if (FamilyCode(rom) == "21") {
      return c.getAlarmStatus(
          under ? access::TEMPERATURE_LOW_ALARM : access::TEMPERATURE_HIGH_ALARM, state);
    }
    // The limits as the device holds them in EEPROM: TH and TL are scratchpad bytes 2 and 3.
    c.recallE2();
    const std::string pad = access::StateToHex(c.readDevice());
    if (pad.size() < 8) return false;
    const int high = LimitOfHexByte(pad.substr(4, 2));
    const int low = LimitOfHexByte(pad.substr(6, 2));
    const double temperature = c.getTemperature(state);
    return under ? temperature <= low : temperature >= high;
  } catch (const std::exception&) {
    return false;
  }
}

namespace {

// The temperature channel of a device, when it is in the registry. Looked up without letting
// events run (the registry's own lookups do, once per record): the read cycle asks for every
// thermometer on every cycle.
std::shared_ptr<DSDevice> TemperatureChannel(const std::string& rom_id) {
  const auto roms = gROMs().ROMlist;
  for (const auto& r : roms) {
    if (!r || r->ROM != rom_id || !r->Devices) continue;
    const auto devices = r->Devices;
    for (const auto& d : devices->DevList) {
      if (d && d->ROM == rom_id + "M") return d;
    }
    return nullptr;
  }
  return nullptr;
}

}  // namespace

void TemperatureAlarmReaction::DeviceAlarming(const std::string& rom,
                                              const std::function<void()>& read_now) {
  PluginState& p = Plugin();
  // Held by value: the dialog, the read and the log below may let events run that change the
  // registry.
  const std::string rom_id = rom.substr(0, 16);
  // The channel is taken first and held by shared ownership, so the alarm is reported even when
  // the device is deleted while the dialog shows it.
  const auto channel = TemperatureChannel(rom_id);
  const auto dialog = p.parts.dialog;
  auto show = [&] {
    Skip([&] {
      if (dialog && dialog->IsOpen()) dialog->ShowDeviceNode(rom_id, kAlarmColour);
    });
  };
  show();
  const Settings& s = p.settings;
  if (s.PollAlarming) {
    Skip(read_now);
    show();  // again, with the value just read
  }
  // A thermometer not read since it was found raises its alarm flag from its power-on value
  // (85 degrees), not from a temperature: nothing is reported until it has a reading.
  if (!channel || !channel->HasReading()) return;
  channel->InAlarm = true;
  const std::string location = channel->HSLocation, name = channel->HSName,
                    shown = channel->HSString;
  if (s.LogAlarms)
    WriteLog(LogClass::ErrorsAlarms, "1-Wire Device Alarm",
             location + " " + name + " Value= " + shown);
  if (s.AlarmMode == 1) {
    Skip([] { UI().Beep(); });
  } else if (s.AlarmMode == 2) {
    // The host queues the speech; the read cycle goes on at once.
    Skip([&] { Host().Speak(s.AlarmSpeech + " " + location + " " + name); });
  }
}

void TemperatureAlarmReaction::DeviceNotAlarming(const std::string& rom) {
  const auto channel = TemperatureChannel(rom.substr(0, 16));
  if (!channel || !channel->InAlarm) return;
  channel->InAlarm = false;
  // The alarm is logged on every cycle it lasts; its end once.
  if (Plugin().settings.LogAlarms)
    WriteLog(
        LogClass::ErrorsAlarms, "1-Wire Device Alarm",
        channel->HSLocation + " " + channel->HSName + " Alarm ended, Value= " + channel->HSString);
}

}  // namespace qb
