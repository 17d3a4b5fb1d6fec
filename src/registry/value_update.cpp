#include "registry/value_update.h"

#include <clocale>
#include <cmath>
#include <cstdio>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/hspi.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/row_identity.h"
#include "registry/value_text.h"

namespace qb {

namespace {

double NumberOf(const ChannelValue& v) {
  return std::holds_alternative<double>(v) ? std::get<double>(v)
                                           : ReadNumber(std::get<std::string>(v));
}

std::string TextOf(const ChannelValue& v) {
  return std::holds_alternative<double>(v) ? PlainNumberText(std::get<double>(v))
                                           : std::get<std::string>(v);
}

}  // namespace

std::string PlainNumberText(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string text = buf;
  const std::lconv* lc = std::localeconv();
  const std::string point = lc && lc->decimal_point && *lc->decimal_point ? lc->decimal_point : ".";
  if (const auto dot = text.find('.'); dot != std::string::npos && point != ".")
    text.replace(dot, 1, point);
  return text;
}

bool UpdateHSDev(DSDevice& record, const ChannelValue& value, const std::string& unit, bool raw,
                 bool over_range) {
  // A channel without a host device yet (before the enumeration tick creates it) has nowhere to
  // show its value: nothing to write, and no host call that could only fail.
  if (record.dc == -1 || record.hc.empty()) return false;
  const std::string code = record.Code();
  try {
    if (!record.AddressUpdated) {
      UpdateEPROMAddress(record.hc, std::to_string(record.dc), record.ROM);
      record.AddressUpdated = true;
    }
    const Settings& settings = Plugin().settings;
    const float adj = static_cast<float>(ReadNumber(Store().GetOr("Adjustment", record.ROM, "0")));
    const double number = NumberOf(value);
    // A raw count is compared with what the host shows even at 0: a counter created at 0 shows
    // no text until its first write, and a hub would report it as unknown for as long as it
    // stays at 0.
    const bool raw_number = raw && std::holds_alternative<double>(value);
    if (record.HSString == kNoReadingText) {
      // The first reading since the host device was created: whatever it is (0 included), the
      // host shows no value yet and gets this one.
    } else if (!unit.empty() || number != 0 || raw_number) {
      bool unchanged;
      if (settings.Append && !raw) {
        // The host keeps the reading times 1000 and a text with its unit: compare with the
        // reading last written instead of reading either back.
        unchanged = number + adj == record.Reading;
      } else {
        const std::string shown = Host().DeviceString(code);
        const double current =
            static_cast<double>(RoundHalfEvenInt(ReadNumber(CleanNumberText(shown))));
        unchanged = number + adj == current && !(raw_number && shown.empty());
      }
      // The same number with the mark come or gone (a new range or resolution) is a change.
      const bool marked = record.HSString.ends_with(kOverRangeText);
      if (unchanged && marked == over_range) {
        WriteLog(LogClass::Trace, "1-Wire UpdateHSDev", "No Update Required");
        return false;
      }
    } else if (TextOf(value) == record.HSString) {
      return false;
    }
    WriteLog(LogClass::Updates, "1-Wire UpdateHSDev",
             "ROM=" + record.ROM + " Value = " + TextOf(value) +
                 " Adjustment = " + PlainNumberText(adj) + " DC=" + code);
    const std::string text = TextOf(value);
    double reading;
    if (std::holds_alternative<std::string>(value) && text == "Off") {
      Host().SetDeviceValue(code, 0);
      Host().SetDeviceStatus(code, 3);
      Host().SetDeviceString(code, text);
      record.HSString = "Off";
      reading = 0;
    } else if (std::holds_alternative<std::string>(value) && text == "On") {
      Host().SetDeviceValue(code, 100);
      Host().SetDeviceStatus(code, 2);
      Host().SetDeviceString(code, text);
      record.HSString = "On";
      reading = 1;
    } else if (raw || !settings.Append) {
      reading = number + adj;
      const std::string shown =
          (raw ? PlainNumberText(reading) : FormatDecimals(reading, settings.SigFigs)) +
          (over_range ? kOverRangeText : "");
      Host().SetDeviceString(code, shown);
      record.HSString = shown;
      Host().SetDeviceValue(code, reading);
    } else {
      reading = number + adj;
      const std::string shown =
          FormatDecimals(reading, settings.SigFigs) + unit + (over_range ? kOverRangeText : "");
      Host().SetDeviceString(code, shown);
      Host().SetDeviceValue(
          code, static_cast<double>(static_cast<int32_t>(RoundHalfEvenInt(reading * 1000))));
      record.HSString = shown;
    }
    record.Reading = reading;
    Host().SetDeviceLastChange(code, Plugin().ReadingTime.value_or(TheClock().Now()));
    return true;
  } catch (const std::exception& e) {
    std::string shown;
    try {
      shown = Host().DeviceString(code);
    } catch (const std::exception&) {
    }
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR (UpdateHSDev)",
             "Error: " + std::to_string(ErrorNumber(e)) + " - " + e.what() + " DevStr= " + shown +
                 " Value=" + TextOf(value));
    return false;
  }
}

namespace {

template <typename Set>
void SetOnHostDevice(const std::string& lookup, Set set) {
  try {
    const int32_t count = Host().DeviceCount();
    for (int32_t i = 1; i <= count; ++i) {
      auto d = Host().GetDevice(i);
      if (d->iomisc() == lookup && d->interface() == kPluginName) {
        set(*d);
        return;
      }
    }
  } catch (const std::exception&) {
  }
}

}  // namespace

std::string ResolveChartName(const std::string& text) {
  if (!Plugin().settings.DeviceIDByName) return text;
  // Another program's rows (another bus name) name none of this program's channels.
  const std::string own = WithoutBusName(text);
  const std::string key = own.empty() ? std::string() : gROMs().FindbyHSLocationAndHSName(own);
  return key.empty() ? text : key;
}

void NotePresence(DSROM& rom, bool present) {
  const bool first = !rom.PresenceKnown;
  rom.PresenceKnown = true;
  // The first check of a run always tells the host, which may still show the device stale from
  // the run before; after that only changes are told.
  if (rom.Absent != present && !first) return;
  const auto now = TheClock().Now();
  if (rom.Absent == present && present) {
    const auto away = std::chrono::duration_cast<std::chrono::seconds>(now - rom.AbsentSince);
    WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F",
             "Device " + rom.ROM + " is present again after " + std::to_string(away.count()) +
                 " s; its values are read again");
  } else if (!present) {
    rom.AbsentSince = now;
    WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F",
             "Device " + rom.ROM +
                 " is not present; its host devices keep the last values read, marked stale");
  }
  rom.Absent = !present;
  // A copy of the list: the host calls below may let a request change it.
  const auto devices = rom.Devices;
  const auto channels = devices ? devices->DevList : std::vector<std::shared_ptr<DSDevice>>{};
  for (const auto& d : channels) {
    if (d->dc == -1 || d->hc.empty()) continue;
    Skip([&] { Host().SetDeviceStale(d->Code(), !present); });
  }
}

void TakeHostNames(const std::string& key, const std::string& name, const std::string& location) {
  if (key.size() < 16) return;
  auto rom = gROMs().FindParent(key);
  if (!rom) return;
  const auto devices = rom->Devices;
  for (const auto& d : devices->DevList) {
    if (d->ROM != key) continue;
    d->HSName = name;
    d->HSLocation = location;
    return;
  }
}

void RenameHSDevice(const std::string& key, const std::string& new_name) {
  const std::string lookup = (FamilyCaps(key) & kCapSwitch) ? key + "P0" : key;
  auto record = gROMs().FindDev(key);
  SetOnHostDevice(lookup, [&](HostDevice& d) { d.set_name(new_name); });
  if (record) record->HSName = new_name;
}

void RelocateHSDevice(const std::string& key, const std::string& new_location) {
  auto record = gROMs().FindDev(key);
  SetOnHostDevice(key, [&](HostDevice& d) { d.set_Location(new_location); });
  if (record) record->HSLocation = new_location;
}

}  // namespace qb
