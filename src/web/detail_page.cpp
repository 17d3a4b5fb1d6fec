#include "web/detail_page.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "logging/database_logging.h"
#include "logging/todays_history.h"
#include "onewire/counter_total.h"
#include "onewire/device_clock.h"
#include "onewire/device_config.h"
#include "onewire/device_info.h"
#include "onewire/device_reading.h"
#include "onewire/temp_alarms.h"
#include "registry/records.h"
#include "registry/value_text.h"
#include "web/calibration_html.h"
#include "web/channel_alarm.h"
#include "web/health_html.h"
#include "web/html.h"
#include "web/memory_banks_html.h"
#include "web/page_frame.h"
#include "web/query.h"
#include "web/replace_html.h"
#include "web/web_state.h"

namespace qb {

namespace {

std::string Menu(const std::string& lnk) {
  return MenuLinks(EscapeHtml(lnk), {0, 1, 2, 3});
}

// A channel record of the device by its full key, never created: a page request must not add
// records to the registry.
std::shared_ptr<DSDevice> Existing(const std::shared_ptr<DSROM>& rom, const std::string& key) {
  if (!rom || !rom->Devices) return nullptr;
  const auto devices = rom->Devices->DevList;
  for (const auto& d : devices) {
    if (d && d->ROM == key) return d;
  }
  return nullptr;
}

int CountChannels(const std::shared_ptr<DSROM>& rom, char letter) {
  if (!rom || !rom->Devices) return 0;
  const auto devices = rom->Devices->DevList;
  return static_cast<int>(std::count_if(devices.begin(), devices.end(), [&](const auto& d) {
    return d && d->ROM.size() > 16 && d->ROM[16] == letter;
  }));
}

std::string FunctionMenu(const std::string& rom_id, const std::shared_ptr<DSROM>& rom) {
  const uint32_t caps = rom ? static_cast<uint32_t>(rom->Caps) : 0;
  const bool humid = rom && rom->DS2438Humid != 0;
  std::string menu;
  auto item = [&](const char* text, const char* suffix) {
    menu += MakeLink("1-Wire?ROMID=" + EscapeHtml(rom_id) + suffix, text) + " | ";
  };
  if (caps & 0x1) item("Temp", "M");
  if ((caps & 0x2) && !humid) item("AD1", "G");
  if ((caps & 0x4) && humid) item("Humidity", "N");
  if ((caps & 0x4) && !humid) item("AD2", "H");
  if (caps & 0x200) item("AD3", "I");
  if (caps & 0x8) {
    item("AD Inputs", "L");
    item("AD Outputs", "S");
  }
  if (caps & 0x1000) item("Counters", "K");
  if (caps & 0x10) item("Memory", "X");
  if (caps & 0x80) item("Time", "Y");
  if (caps & 0x100) item("Switch", "S");
  return menu + MakeLink("1-Wire?ROMID=" + EscapeHtml(rom_id), "Info");
}

// The step of a thermometer's readings in the unit shown, from the resolution its record holds.
// The DS18S20's stored resolution only chooses how it is read: below half a degree its count
// registers refine the half-degree reading to 1/16 degree.
double ReadingStep(const std::string& rom_id, double resolution) {
  if (resolution <= 0) return 0;
  double step = resolution;
  if (FamilyCode(rom_id) == "10") step = resolution < 0.5 ? 0.0625 : 0.5;
  return Plugin().settings.Range ? step * 9 / 5 : step;
}

// A step with at least `decimals` decimals and as many more as it needs to be shown exactly
// (0.0625, not 0.063 or 0.1).
std::string StepText(double step, int decimals) {
  int d = std::max(decimals, 0);
  while (d < 6 && std::abs(std::round(step * std::pow(10.0, d)) / std::pow(10.0, d) - step) > 1e-9)
    ++d;
  return FormatDecimals(step, d);
}

std::string Name(const DSDevice& d) {
  return EscapeHtml(d.HSLocation + " " + d.HSName);
}

// One row of a channel table: the channel's name, its label, its value.
std::string ChannelRow(const std::string& name_cell, const std::string& label_cell,
                       const std::string& value_cell) {
  return "<tr><td class=\"tableroweven\">" + name_cell + "</td>\r" + label_cell + "</td>\r" +
         value_cell + "\r</tr>\r";
}

std::string ValueCell(const DSDevice& d) {
  return "<td class=\"tablerowodd\">" + EscapeHtml(d.HSString) + "</td>";
}

constexpr const char* kTableOpen = "<table border=\"1\" cellpadding=\"0\" cellspacing=\"0\">\r";

std::string SwitchTable(const std::string& rom_id, const std::shared_ptr<DSROM>& rom) {
  std::string html = kTableOpen;
  if (FamilyCode(rom_id) == "20") {
    // The DS2450's four outputs; an output without a host device says so.
    for (int i = 0; i < 4; ++i) {
      const auto d = Existing(rom, rom_id + "S" + std::to_string(i));
      const std::string label =
          "<td class=\"tableroweven\">Switch " + std::string(1, static_cast<char>('A' + i));
      const std::string value =
          (!d || d->dc == -1) ? std::string("<td class=\"tablerowodd\">No Device Created</td>")
                              : ValueCell(*d);
      html += ChannelRow(d ? Name(*d) : std::string(), label, value);
    }
  } else {
    // Every other switch: the DS2405 (05), the DS2406 (12) and the DS2409 (1F) have the switch
    // bit that offers "Switch" in the function menu, so each gets its latch and level rows here.
    // A table limited to the families 05 and 06 would leave the DS2406 and DS2409 pages empty
    // (06 is a memory button, without switches); a family without switch channels gets an
    // empty table.
    const int channels = CountChannels(rom, 'S');
    for (int i = 0; i < channels; ++i) {
      const std::string n = std::to_string(i);
      if (const auto s = Existing(rom, rom_id + "S" + n)) {
        html += ChannelRow(Name(*s), "<td class=\"tableroweven\">Switch " + n, ValueCell(*s));
      }
      if (const auto p = Existing(rom, rom_id + "P" + n)) {
        html += ChannelRow(Name(*p), "<td class=\"tableroweven\">PIO " + n, ValueCell(*p));
      }
    }
  }
  return html + "</table>\r";
}

std::string CounterTable(const std::string& rom_id, const std::shared_ptr<DSROM>& rom) {
  std::string html = kTableOpen;
  const int counters = CountChannels(rom, 'K');
  for (int i = 0; i < counters; ++i) {
    const std::string n = std::to_string(i);
    if (const auto d = Existing(rom, rom_id + "K" + n)) {
      html += ChannelRow(Name(*d), "<td class=\"tableroweven\">Counter " + n, ValueCell(*d));
      // The counter-total option: the count continues when the chip starts again from 0.
      const std::string key = EscapeHtml(d->ROM);
      html +=
          "<tr><td class=\"tableroweven\" colspan=\"3\"><label><input type=\"checkbox\" "
          "name=\"CounterTotal\" value=\"" +
          key + "\"" + (CounterTotalOn(d->ROM) ? " checked" : "") +
          "> Keep the total when the counter starts again from 0</label>" +
          MakeHidden("CounterTotalShown", key) + "</td></tr>\r";
    }
  }
  if (counters > 0) {
    html +=
        "<tr><td class=\"tableroweven\" colspan=\"3\"><input type=\"submit\" "
        "class=\"formbutton\" name=\"SaveCounters\" value=\"Save\"></td></tr>\r";
  }
  return html + "</table>\r";
}

std::string InputTable(const std::string& rom_id, const std::shared_ptr<DSROM>& rom) {
  std::string html = kTableOpen;
  for (int i = 0; i < 4; ++i) {
    const std::string key = rom_id + std::string(1, static_cast<char>('G' + i));
    const auto d = Existing(rom, key);
    if (!d) continue;
    const std::string name =
        d->LogtoDB != 0 ? MakeLink("1-Wire?ROMID=" + EscapeHtml(key), Name(*d)) : Name(*d);
    html += ChannelRow(name, "<td class=\"tableroweven\">A/D " + std::to_string(i), ValueCell(*d));
  }
  return html + "</table>\r";
}

// The device's description, its lines as lines of the page.
std::string InfoSection(const std::string& rom_id) {
  std::string info;
  Skip([&] { info = DeviceInfo(rom_id, true); });
  std::string html;
  for (char c : EscapeHtml(info)) {
    if (c == '\n') {
      html += "<br>";
    } else {
      html += c;
    }
  }
  return html;
}

// A potentiometer's wiper position and the form that sets it (posted to the dispatch's level
// handler, which sends the host's "On" command with the position).
std::string LevelSection(const DSDevice& record) {
  std::string html = "<table border=\"0\" cellpadding=\"0\" cellspacing=\"1\"><tr>";
  html += "<td class=\"tablecellwav\">Wiper Position</td><td class=\"tableroweven\">" +
          EscapeHtml(record.HSString) + "</td></tr></table><br>";
  if (record.dc == -1) return html + "No Device Created<br>";
  std::string current = record.HSString;
  if (current.empty() || current.find_first_not_of("0123456789") != std::string::npos)
    current = "0";
  html +=
      "Level (0 to 255): <input class=\"text\" type=\"number\" name=\"Level\" min=\"0\" "
      "max=\"255\" size=\"4\" value=\"" +
      current + "\"> <button type=\"submit\" class=\"formbutton\" name=\"SetLevel\" value=\"" +
      EscapeHtml(record.ROM) + "\">Set level</button><br>";
  return html;
}

}  // namespace

std::string ReadingTable(const std::shared_ptr<DSDevice>& record, const std::string& label,
                         const std::string& unit) {
  const Settings& s = Plugin().settings;
  const std::string rom_id = record->ROM.substr(0, 16);
  const bool temperature = !record->ROM.empty() && record->ROM.back() == 'M';
  std::string html = "<table border=\"0\" cellpadding=\"0\" cellspacing=\"1\"><tr>";
  html += "<td class=\"tablecellwav\">Current " + label + "</td><td class=\"tableroweven\">" +
          EscapeHtml(record->HSString) + (s.Append ? std::string() : unit) + "</td></tr>";
  if (temperature) {
    // What the sensor can do is asked once per record; the limits below are read every time.
    if (record->hasTempResolution == -1) {
      Skip([&] { record->hasTempResolution = HasSelectableResolution(rom_id) ? 1 : 0; });
    }
    // A device that could not be asked is asked again on the next build.
    if (record->TempResolution <= 0) {
      Skip([&] { record->TempResolution = GetTempResolution(rom_id); });
    }
    const double step = ReadingStep(rom_id, record->TempResolution);
    html += "<tr><td class=\"tablecellwav\">Resolution</td><td class=\"tableroweven\">" +
            (step > 0 ? StepText(step, s.SigFigs) + TempUnit() : std::string()) + "</td></tr>";
  }
  const auto parent = gROMs().FindParent(rom_id);
  if (record->hasTemperatureAlarms == -1 && parent && (parent->Caps & 0x1)) {
    Skip([&] { record->hasTemperatureAlarms = HasTempAlarms(rom_id) ? 1 : 0; });
  }
  if (temperature && record->hasTemperatureAlarms == 1) {
    Skip([&] {
      const auto [low, high] = GetTempAlarms(rom_id);
      record->LoAlarm = static_cast<int32_t>(low);
      record->HiAlarm = static_cast<int32_t>(high);
    });
    // A limit the value has reached is marked as an alarm; no value read yet reaches none.
    const bool known = ValueShown(*record);
    const double reading = ReadNumber(record->HSString);
    // The limits in the unit of the value they are compared with.
    const int low = LimitShown(record->LoAlarm), high = LimitShown(record->HiAlarm);
    auto cell = [&](bool reached, int limit) {
      return std::string(known && reached
                             ? std::string("<td class=\"tablecelldim ") + kAlarmClass + "\">"
                             : std::string("<td class=\"tableroweven\">")) +
             std::to_string(limit) + TempUnit() + "</td></tr>";
    };
    html += "<tr><td class=\"tablecellwav\">Low Alarm</td>" + cell(reading <= low, low);
    html += "<tr><td class=\"tablecellwav\">High Alarm</td>" + cell(reading >= high, high);
  }
  html += "</table><br>";
  if (record->LogtoDB != 0 && Plugin().settings.chkDBLog) {
    // The history marks today's readings that reached this thermometer's limits; a channel
    // without limits has none to reach.
    auto db = ReadingsDatabase();
    const bool limits = temperature && record->hasTemperatureAlarms == 1;
    constexpr double kNone = std::numeric_limits<double>::infinity();
    db->low_threshold = limits ? LimitShown(record->LoAlarm) : -kNone;
    db->high_threshold = limits ? LimitShown(record->HiAlarm) : kNone;
    Skip([&] { html += TodaysHistory(*db, *record, unit); });
  }
  return html;
}

std::string SetTimePost(const std::string& rom_id) {
  const std::string lnk = "1-Wire?ROMID=" + rom_id + "Y";
  const auto rom = rom_id.size() == 16 ? gROMs().FindParent(rom_id) : nullptr;
  if (!rom || !(rom->Caps & 0x80) || !IsNotGuest()) {
    // Refused: the clock page as it is (or the unknown device's page), with the reason's status.
    ParseQuery(lnk);
    std::string page = DeviceDetailPage(lnk);
    if (rom && !IsNotGuest()) {
      Web().Answer.status = 403;
      page += "<p>Guest cannot make changes: the device time was not set.</p>";
    } else if (rom) {
      Web().Answer.status = 400;
      page += "<p>This device has no clock to set.</p>";
    }
    return page;
  }
  Skip([&] { SetClock(kSetTime, rom_id); });
  std::string user;
  Skip([&] { user = Host().WEBLoggedInUser(); });
  Skip([&] {
    Host().writelog("1-Wire", "Device time of " + rom_id + " set to PC time from the web page" +
                                  (user.empty() ? std::string() : " by " + user));
  });
  Web().Answer.redirect = lnk;
  ParseQuery(lnk);
  return DeviceDetailPage(lnk);
}

std::string DeviceDetailPage(const std::string& lnk) {
  const auto& pairs = Web().QueryPairs;
  const std::string key = pairs.empty() ? std::string() : pairs.front().value;
  const std::string rom_id = key.substr(0, std::min<size_t>(16, key.size()));
  const char letter17 = key.size() > 16 ? key[16] : '\0';
  const char last = key.empty() ? '\0' : key.back();
  // Shared: the bus operations below let events run, and a rescan meanwhile may drop the device
  // from the registry.
  const auto rom = key.size() >= 16 ? gROMs().FindParent(rom_id) : nullptr;

  std::string html = "<form method=\"post\">\r\n<p><h3></p>\r\n</h3>";
  html += "<p><b><font face=\"Arial\" size=\"2\">Version: " + VersionText() + "<hr noshade>\r\n";
  html += Menu(lnk) + "<br>" + FunctionMenu(rom_id, rom);
  html += "<hr noshade><table border= \"0\" width=\"100%\"><tr><td valign='top' width=\"30%\">";
  html += "<font face=\"Arial\" size=\"2\" color=\"#000000\">";

  const auto record = Existing(rom, key);
  const bool named =
      letter17 != 'S' && letter17 != 'P' && letter17 != 'K' && last != 'X' && last != 'Y' && record;
  html += "Device: <b>" + (named ? Name(*record) : EscapeHtml(rom_id)) + "</b><br><br>";
  if (rom && rom->ChainPosition > 0) {
    // The place along the cable the chain scan found (1 nearest the start of the chain).
    html += "Position: <b>" + std::to_string(rom->ChainPosition) + "</b> along the cable<br><br>";
  }

  if (!rom) {
    // Said in words and with the status: an empty page would look like a device without data.
    Web().Answer.status = 404;
    html += "<p>There is no 1-Wire device " + EscapeHtml(rom_id) +
            " on this bus (it may have been removed, or the link is mistyped).</p>";
  } else {
    auto reading = [&](const std::string& label, const std::string& unit) {
      if (!record) return;
      html += ReadingTable(record, label, unit);
      if (IsNotGuest()) html += CalibrationForm(record->ROM);
    };
    if (key.size() == 16) {
      html += InfoSection(rom_id);
    } else if (last == 'G') {
      reading("AD1 Reading", "V");
    } else if (last == 'H') {
      reading("AD2 Reading", "V");
    } else if (last == 'J') {
      reading("AD4 Reading", "V");
    } else if (last == 'M') {
      reading("Temperature", TempUnit());
    } else if (last == 'N') {
      reading("Humidity", "%");
    } else if (letter17 == 'T' && record) {
      html += LevelSection(*record);
    } else if (last == 'I') {
      if (rom->Caps & 0x8) {
        reading("AD3 Reading", "V");
      } else {
        reading("Reading", "mV");
      }
    } else if (letter17 == 'S' || letter17 == 'P') {
      html += SwitchTable(rom_id, rom);
    } else if (letter17 == 'K') {
      html += CounterTable(rom_id, rom);
    } else if (letter17 == 'L') {
      html += InputTable(rom_id, rom);
    } else if (last == 'X') {
      html += ShowMemoryBanks(key);
    } else if (last == 'Y') {
      // The clock is set by the page's button, a post (SetTimePost); a link never changes it.
      Skip([&] { html += ShowDevTime(rom_id); });
    }
    html += HealthSection(rom_id);
    if (IsNotGuest() && record && record->dc != -1) html += ReplaceForm(key);
  }
  html += "</td></tr></table></form>\r\n";
  return html + Menu(lnk);
}

}  // namespace qb
