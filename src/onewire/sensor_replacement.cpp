#include "onewire/sensor_replacement.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <utility>

#include "core/host_calls.h"
#include "core/hspi.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/bound_container.h"
#include "onewire/counter_total.h"
#include "onewire/device_config.h"
#include "catalogue/family_catalogue.h"
#include "onewire/onewire_state.h"
#include "onewire/temp_alarms.h"
#include "platform/settings_store.h"
#include "registry/records.h"
#include "registry/row_identity.h"

namespace qb {

namespace {

// Settings kept per channel key, and per ROM id, that go with the sensor's place in the house.
constexpr const char* kKeySections[] = {"Log", "Adjustment", "Calibration", "InitDevice"};
constexpr const char* kRomSections[] = {"DS2438", "Show Device ID", "Resolution"};
// Settings of the old sensor's own that mean nothing for another one.
constexpr const char* kForgottenRomSections[] = {"Last Seen"};

// Holds the bus for the replacement, as a page or command does; puts back what it found.
class BusHold {
 public:
  BusHold() : before_(Plugin().ExternalBusy) { Plugin().ExternalBusy = true; }
  ~BusHold() { Plugin().ExternalBusy = before_; }
  BusHold(const BusHold&) = delete;
  BusHold& operator=(const BusHold&) = delete;

 private:
  bool before_;
};

bool IsRomId(const std::string& text) {
  return text.size() == 16 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Whether the device answers on the bus now.
bool OnTheBus(const std::string& rom) {
  try {
    BoundContainer b(rom, 3);
    return b.ok() && b.c().isPresent();
  } catch (const std::exception&) {
    return false;
  }
}

struct Limits {
  bool known = false;
  double low = 0, high = 0;
};

// The old thermometer's alarm limits: from the device when it still answers, else as the device
// page last read them this run; none when neither knows them.
Limits OldLimits(const std::string& rom, bool present) {
  if (present) {
    try {
      BoundContainer b(rom, 3);
      if (b.ok() && b.c().hasTemperatureAlarms()) {
        const access::DeviceState state = b.c().readDevice();
        return Limits{true, b.c().getTemperatureAlarm(access::ALARM_LOW, state),
                      b.c().getTemperatureAlarm(access::ALARM_HIGH, state)};
      }
    } catch (const std::exception&) {
    }
  }
  if (const auto old = gROMs().FindParent(rom)) {
    for (const auto& channel : old->Devices->DevList) {
      if (channel->hasTemperatureAlarms == 1)
        return Limits{true, double(channel->LoAlarm), double(channel->HiAlarm)};
    }
  }
  return {};
}

struct HostChannel {
  int32_t ref = 0;
  std::string key;
  std::string identifier;  // its rows' identifier when rows name channels by location and name
};

// The plug-in's host devices of a sensor, by the channel suffix of their keys.
std::map<std::string, HostChannel> HostChannelsOf(const std::string& rom) {
  std::map<std::string, HostChannel> found;
  HostApplication& host = Host();
  const int32_t count = host.DeviceCount();
  for (int32_t i = 1; i <= count; ++i) {
    const auto d = host.GetDevice(i);
    if (!d || d->interface() != kPluginName) continue;
    const std::string key = d->iomisc();
    if (key.size() < 16 || key.compare(0, 16, rom) != 0) continue;
    found.emplace(key.substr(16),
                  HostChannel{d->ref(), key, NameIdentifier(d->Location(), d->name())});
  }
  return found;
}

void MoveSetting(const std::string& section, const std::string& from, const std::string& to) {
  SettingsStore& store = Store();
  if (const auto value = store.Get(section, from)) {
    store.Set(section, to, *value);
    store.Remove(section, from);
  } else {
    store.Remove(section, to);
  }
}

// A section named by the channel key (a quad A/D channel's range, resolution, limits, output).
void MoveSection(const std::string& from, const std::string& to) {
  SettingsStore& store = Store();
  for (const auto& name : store.Keys(to)) store.Remove(to, name);
  for (const auto& name : store.Keys(from)) {
    store.Set(to, name, store.GetOr(from, name, ""));
    store.Remove(from, name);
  }
}

void ForgetRecords(const std::string& rom) {
  auto& list = gROMs().ROMlist;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const std::shared_ptr<DSROM>& r) { return r->ROM == rom; }),
             list.end());
}

// "a DS18B20 (family 28)", or the family code alone for a family the catalogue does not name.
std::string Described(const std::string& rom) {
  const std::string name = FamilyName(rom);
  return (name.empty() ? std::string("a device") : "a " + name) + " (family " + FamilyCode(rom) +
         ")";
}

ReplacementResult Refused(ReplacementOutcome outcome, std::string message) {
  ReplacementResult r;
  r.outcome = outcome;
  r.message = std::move(message);
  WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F", "Sensor replacement refused: " + r.message);
  return r;
}

}  // namespace

ReplacementResult ReplaceSensor(const std::string& old_key, const std::string& new_rom_text) {
  if (old_key.size() < 16 || !IsRomId(old_key.substr(0, 16)))
    return Refused(ReplacementOutcome::kNotOurs, "the device is not a channel of a 1-Wire sensor");
  const std::string old_rom = old_key.substr(0, 16);
  const std::string new_rom = Upper(Trimmed(new_rom_text));
  if (!IsRomId(new_rom)) {
    return Refused(ReplacementOutcome::kBadRequest,
                   "\"" + new_rom_text + "\" is not a ROM id (16 hexadecimal digits, such as " +
                       old_rom + ")");
  }
  if (new_rom == old_rom)
    return Refused(ReplacementOutcome::kBadRequest, "the new sensor is the same as the old one");
  if (FamilyCode(new_rom) != FamilyCode(old_rom)) {
    return Refused(ReplacementOutcome::kBadRequest,
                   new_rom + " is " + Described(new_rom) +
                       "; a sensor can only be replaced by one of its own family, " +
                       Described(old_rom));
  }
  if (!OneWire().adapter || !Plugin().AdapterReady) {
    return Refused(ReplacementOutcome::kUnavailable,
                   "the 1-Wire adapter is not ready, so " + new_rom +
                       " cannot be looked for on the bus; try again once it is");
  }

  BusHold hold;
  if (!OnTheBus(new_rom)) {
    return Refused(ReplacementOutcome::kBadRequest,
                   new_rom + " does not answer on the bus; connect the new sensor first");
  }
  const auto old_channels = HostChannelsOf(old_rom);
  if (old_channels.empty()) {
    return Refused(ReplacementOutcome::kNotOurs,
                   old_rom + " has no host devices of the 1-Wire plug-in to move");
  }
  const auto new_channels = HostChannelsOf(new_rom);

  // The history first: the one step that can fail, and nothing else has changed yet.
  std::vector<std::pair<std::string, std::string>> renames = {{old_rom, new_rom}};
  for (const auto& [suffix, old_channel] : old_channels) {
    if (auto it = new_channels.find(suffix); it != new_channels.end())
      renames.emplace_back(it->second.identifier, old_channel.identifier);
  }
  ReplacementResult result;
  try {
    if (Plugin().parts.database) result.rows_moved = Plugin().parts.database->RenameRows(renames);
  } catch (const std::exception& e) {
    return Refused(ReplacementOutcome::kUnavailable,
                   std::string("the readings database could not be changed (") + e.what() +
                       "); nothing was replaced");
  }

  const bool old_present = OnTheBus(old_rom);
  // Alarm limits go over only where the family keeps them (not a thermochron's mission limits).
  const bool thermometer = (FamilyCaps(old_rom) & kCapTemperature) && FamilyCode(old_rom) != "21" &&
                           HasTempAlarms(new_rom);
  const Limits limits = thermometer ? OldLimits(old_rom, old_present) : Limits{};

  SettingsStore& store = Store();
  store.BeginBatch();
  for (const auto& [suffix, old_channel] : old_channels) {
    const std::string to = new_rom + suffix;
    for (const char* section : kKeySections) MoveSetting(section, old_channel.key, to);
    MoveSection(old_channel.key, to);
    CarryCounterTotal(old_channel.key, to);
  }
  for (const char* section : kRomSections) MoveSetting(section, old_rom, new_rom);
  for (const char* section : kForgottenRomSections) store.Remove(section, old_rom);
  store.EndBatch();

  // The new sensor's own host devices go; the old ones take its keys.
  HostApplication& host = Host();
  for (const auto& [suffix, new_channel] : new_channels) {
    if (!old_channels.count(suffix)) continue;
    host.DeleteDevice(new_channel.ref);
    result.removed_refs.push_back(new_channel.ref);
  }
  for (const auto& [suffix, old_channel] : old_channels) {
    if (const auto d = host.GetDevice(old_channel.ref)) d->set_iomisc(new_rom + suffix);
    result.moved_keys.push_back(new_rom + suffix);
  }

  // What this run knew of the old sensor goes with it; the records are made again from the host
  // devices, now bound to the new keys.
  OneWireState& w = OneWire();
  w.health.devices.erase(old_rom);
  w.thermometers.erase(old_rom);
  for (auto it = w.last_raw.begin(); it != w.last_raw.end();)
    it = it->first.compare(0, 16, old_rom) == 0 ? w.last_raw.erase(it) : std::next(it);
  ForgetRecords(old_rom);
  ForgetRecords(new_rom);
  gROMs().Find(new_rom);
  for (const auto& key : result.moved_keys) gROMs().FindDev(key);

  std::string limits_text;
  if (thermometer) {
    if (limits.known) {
      SetTempAlarm(new_rom, false, limits.low);
      SetTempAlarm(new_rom, true, limits.high);
      limits_text = "; alarm limits " + std::to_string(static_cast<int>(limits.low)) + " to " +
                    std::to_string(static_cast<int>(limits.high));
    } else {
      limits_text = "; the old sensor's alarm limits were not known, the new one keeps its own";
    }
  }

  result.outcome = ReplacementOutcome::kDone;
  result.new_rom = new_rom;
  result.message = "Sensor " + old_rom + " replaced by " + new_rom + ": " +
                   std::to_string(old_channels.size()) + " host device(s) moved, " +
                   std::to_string(result.removed_refs.size()) +
                   " host device(s) of the new sensor removed, " +
                   std::to_string(result.rows_moved) + " reading(s) of history moved" + limits_text;
  WriteLog(LogClass::Always, "1-Wire I/F", result.message);
  return result;
}

}  // namespace qb
