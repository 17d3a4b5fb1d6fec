#include "web/settings_page.h"

#include <array>
#include <charconv>
#include <optional>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "core/settings.h"
#include "logging/database_logging.h"
#include "onewire/onewire_state.h"
#include "onewire/temperature_scale.h"
#include "platform/clock.h"
#include "platform/database.h"
#include "platform/settings_store.h"
#include "registry/records.h"
#include "registry/value_text.h"
#include "web/html.h"
#include "web/page_frame.h"
#include "web/query.h"
#include "web/web_state.h"

namespace qb {

namespace {

// The devices of each kind that the read cycle polls (temperature, A/D, current sense), counted
// as the cycle counts them. The page counts the registry itself rather than running a read
// cycle: a page is built while the poll holds off, and a cycle started from it would stop at its
// first device and leave every count at 0.
std::array<int, 3> DevicesOfEachKind() {
  std::array<int, 3> found = {0, 0, 0};
  const auto roms = gROMs().ROMlist;
  for (const auto& rom : roms) {
    if (!rom) continue;
    const auto caps = static_cast<uint32_t>(rom->Caps);
    if (caps & kCapTemperature) ++found[0];
    if (caps & kCapSupplyVoltage) ++found[1];
    if (FamilyName(rom->ROM) == "DS2438") ++found[2];
  }
  return found;
}

std::string Checked(bool on) {
  return on ? "checked " : "";
}

std::string Menu() {
  const auto& enabled = Plugin().settings.WebPages;
  std::string menu;
  if (enabled[0]) menu += MakeLink("1-Wire?PAGE=0", "1-Wire") + " | ";
  if (enabled[1]) menu += MakeLink("1-Wire?PAGE=1", "Chart Page") + " | ";
  if (enabled[3]) menu += MakeLink("1-Wire?PAGE=3", "Debug Page");
  return menu;
}

std::string RowTitle(const std::string& title, int rowspan = 1) {
  std::string cell = "<tr><td class=\"tablecolumn\"";
  if (rowspan > 1) cell += " rowspan=\"" + std::to_string(rowspan) + "\"";
  return cell + "></b>" + title + "</td>\r";
}

std::string TextInput(const std::string& name, int size, const std::string& value) {
  return "<input class=\"text\" type=\"text\" name=\"" + name + "\" size=\"" +
         std::to_string(size) + "\" value=\"" + EscapeHtml(value) + "\">";
}

// One poll-count row: how often a kind is read, how many were found, and what that means.
std::string PollCountRow(const std::string& cls, const std::string& label, const std::string& field,
                         int32_t count, int found) {
  const int32_t seconds = Plugin().settings.CycleSeconds;
  const long long product = static_cast<long long>(seconds) * count * found;
  std::string row = "<tr><td class=\"" + cls + "\">" + label + "</td>\r";
  row += "<td class=\"" + cls + "\">" + TextInput(field, 3, std::to_string(count)) + "\r\n";
  row += "Cycles \r<b>Found " + std::to_string(found) + "</b> Devices, \r";
  row += "will Poll every " + std::to_string(seconds) + "x" + std::to_string(count) + "x" +
         std::to_string(found) + "=<b>" + std::to_string(product) + "</b> Seconds</td></tr>\r";
  return row;
}

std::string Radio(const std::string& name, const std::string& value, bool on,
                  const std::string& caption) {
  return "<input type=\"radio\" " + Checked(on) + "name=\"" + name + "\" value=\"" + value + "\">" +
         caption + "\r";
}

std::string Checkbox(const std::string& name, bool on, const std::string& caption) {
  return "<input type=\"checkbox\" name=\"" + name + "\" value=\"ON\"" +
         (on ? std::string(" checked") : std::string()) + ">" + caption + "\r";
}

// The readings table's newest row, as the live check that logging works. The statement is the
// engine's own form of "the top row by date"; names are quoted, nothing is pasted in as SQL.
std::string TestQuery(const Settings& s) {
  return "SELECT " + QuoteName(s.Fields[0]) + "," + QuoteName(s.Fields[1]) + "," +
         QuoteName(s.Fields[2]) + " FROM " + QuoteName(s.Table) + " ORDER BY " +
         QuoteName(s.Fields[1]) + " DESC LIMIT 1;";
}

std::string TestResult(const std::string& sql) {
  auto db = ReadingsDatabase();
  std::string result;
  try {
    auto connection = db->Connect();
    auto rows = connection->Execute(sql);
    if (rows && !rows->Eof()) {
      for (int32_t i = 0; i < rows->FieldCount(); ++i) {
        const Field f = rows->Item(i);
        result += EscapeHtml(f.Name + "=" + f.AsText()) + " \r";
      }
    }
  } catch (const std::exception& e) {
    // The page still shows; the row says why there is no result.
    result = "Error: " + EscapeHtml(e.what());
  }
  Skip([&] { db->Release(); });
  return result;
}

std::string DatabaseBlock(const Settings& s) {
  std::string html = RowTitle("Database:", 7);
  html += "<td class=\"tablerowodd\">" + Checkbox("DBLog", s.chkDBLog, "Log to Database");
  html += Checkbox("DBChanges", s.chkChanges, "Only log if changed");
  html += Checkbox("DBKeepOpen", s.chkDBKeepOpen, "Keep connection open</td>");
  html += "<td class=\"tablerowodd\">Store Value:<input type=\"radio\" value=\"True\"" +
          std::string(s.DeviceIDByName ? " " : " checked ") + "name=\"dbOpt\">ROM Address\r";
  // Rows named by device follow its name: a renamed device starts a new series.
  html += Radio("dbOpt", "False", s.DeviceIDByName,
                "Device Name<br><font size=\"1\">(a device renamed or moved starts a new series "
                "in the history and charts; ROM Address keeps one)</font></td></tr>");
  html += "<tr><td class=\"tableroweven\">Table Name</td><td class=\"tableroweven\">[" +
          EscapeHtml(s.Table) + "]</td></tr>\r";
  static const char* const kLabels[] = {"Device ID", "Date/Time", "Reading"};
  for (size_t i = 0; i < 3; ++i) {
    html += "<tr><td class=\"tableroweven\">Field " + std::to_string(i) + " (" + kLabels[i] +
            ")</td><td class=\"tableroweven\">[" + EscapeHtml(s.Fields[i]) + "]</td></tr>\r";
  }
  const std::string sql = TestQuery(s);
  html += "<tr><td class=\"tablerowodd\">Test SQL</td><td class=\"tablerowodd\">" +
          EscapeHtml(sql) + "</td></tr>\r";
  html += "<tr><td class=\"tablerowodd\">SQL Result</td><td class=\"tablerowodd\">" +
          TestResult(sql) + "</td></tr>\r";
  return html;
}

std::string HouseCodes() {
  std::string codes;
  for (const auto& code : Plugin().strHouseCodes) codes += code + "  ";
  return EscapeHtml(codes);
}

// A posted whole number; nothing when the text is not one (the live value then stays).
std::optional<int32_t> PostedInt(const std::string& name) {
  const std::string text = GetQueryValue(name);
  size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return std::nullopt;
  const size_t end = text.find_last_not_of(' ') + 1;
  const char* first = text.data() + start;
  if (*first == '+') ++first;
  int32_t value = 0;
  auto [ptr, ec] = std::from_chars(first, text.data() + end, value);
  if (ec != std::errc() || ptr != text.data() + end) return std::nullopt;
  return value;
}

bool PostedOn(const std::string& name) {
  return GetQueryValue(name) == "ON";
}

void ApplyPost(Settings& s) {
  s.Range = GetQueryValue("bFahren") == "True";
  if (auto v = PostedInt("polltime")) s.CycleSeconds = *v;
  if (s.CycleSeconds < 1) s.CycleSeconds = 1;
  s.chkTimer = PostedOn("TimerOn");
  s.PollAlarming = PostedOn("AlwaysPoll");
  if (auto v = PostedInt("pollTemp")) s.PollTemp = *v;
  if (auto v = PostedInt("pollAD")) s.PollAD = *v;
  if (auto v = PostedInt("pollI")) s.PollI = *v;
  s.BusConvert = PostedOn("BusConvert") ? 1 : 0;
  if (auto v = PostedInt("AlarmMode")) s.AlarmMode = *v;
  s.LogAlarms = PostedOn("LogAlarms");
  s.Alarming = PostedOn("bAlarming");
  s.Presence = PostedOn("bPresence");
  if (auto v = PostedInt("Log")) s.DebugLevel = *v;
  if (auto v = PostedInt("iSigFig"); v && *v >= 0 && *v <= 255) {
    s.SigFigs = static_cast<uint8_t>(*v);
  }
  s.chkDBLog = PostedOn("DBLog");
  s.chkChanges = PostedOn("DBChanges");
  s.chkDBKeepOpen = PostedOn("DBKeepOpen");
  s.DeviceIDByName = GetQueryValue("dbOpt") != "True";
  if (auto v = PostedInt("DefPage")) s.DefaultPage = *v;
  for (size_t i = 0; i < 4; ++i) s.WebPages[i] = PostedOn("Showpage" + std::to_string(i));
  // A default page that is switched off gives way to the first page that is on.
  const bool default_on =
      s.DefaultPage >= 0 && s.DefaultPage <= 3 && s.WebPages[static_cast<size_t>(s.DefaultPage)];
  if (!default_on) {
    for (int i = 0; i < 4; ++i) {
      if (s.WebPages[static_cast<size_t>(i)]) {
        s.DefaultPage = i;
        break;
      }
    }
  }
  s.Speech = CleanNumberText(GetQueryValue("speechOL"));
  s.AlarmSpeech = CleanNumberText(GetQueryValue("speechOA"));
  ApplySettingsLimits(s);
}

void StorePosted(const Settings& s) {
  static const char* const kKeys[] = {
      "Default Page", "PollAlarming", "chkTimer",   "Debug",         "PollCycle",
      "PollTemp",     "PollAD",       "PollI",      "SigFigs",       "Range",
      "Speech",       "Alarm Speech", "Alarm Mode", "Log Alarms",    "Alarming",
      "Presence",     "chkDBLog",     "chkChanges", "chkDBKeepOpen", "DeviceID",
      "Web Page0",    "Web Page1",    "Web Page2",  "Web Page3",     "BusConvert"};
  SettingsStore& store = Store();
  SettingsBatch batch(store);
  for (const char* key : kKeys) {
    Skip([&] { store.Set(kSettingsSection, key, SettingText(s, key)); });
  }
}

}  // namespace

namespace {

// The page, with a note under the buttons: that the settings were saved, or that a guest's
// change was refused.
std::string SettingsPageWith(const std::string& note);

}  // namespace

std::string SettingsPage(const std::string&) {
  // After a saved post the browser is sent here with "saved=1": the page confirms it.
  return SettingsPageWith(GetQueryValue("saved") == "1" ? "Settings saved." : "");
}

namespace {

std::string SettingsPageWith(const std::string& note) {
  // A copy: the test query lets events run, and a post handled meanwhile changes the settings.
  const Settings s = Plugin().settings;
  const auto found = DevicesOfEachKind();

  std::string html = "<form method=\"post\">\r\n" + MakeHidden("ref_page", "1-Wire") +
                     MakeHidden("SETTINGS", "On") + "</p>\r\n";
  html += "<p><b><font face=\"Arial\" size=\"2\">Version: " + VersionText();
  html += "<b>  Settings Page</b><hr noshade>\r\n" + Menu();
  html += "<table border=\"1\" cellpadding=\"0\" cellspacing=\"0\">\r";

  html += RowTitle("Speech on load:") + "<td colspan=\"2\" class=\"tablerowodd\"> " +
          TextInput("speechOL", 70, s.Speech) + "<br></td></tr>\r";
  html += RowTitle("Speech on Alarm:") + "<td colspan=\"2\" class=\"tableroweven\">" +
          TextInput("speechOA", 70, s.AlarmSpeech) + "</td></tr>\r";
  html += RowTitle("Temperature Display:") + "<td colspan=\"2\" class=\"tablerowodd\">";
  html += "<input type=\"radio\" value=\"False\"" + std::string(s.Range ? " " : " checked ") +
          "name=\"bFahren\">Centigrade\r";
  html += Radio("bFahren", "True", s.Range, "Fahrenheit") + "</td></tr>\r";

  html += RowTitle("Poll:<br>(0=Never)", 5) + "<td colspan=\"2\" class=\"tableroweven\"> ";
  html += "Every " + TextInput("polltime", 3, std::to_string(s.CycleSeconds)) + "\r\n";
  html += "Seconds\r" + Checkbox("TimerOn", s.chkTimer, "Timer Enabled") +
          Checkbox("BusConvert", s.BusConvert == 1,
                   "Convert all thermometers at once (each read every temperature poll)") +
          "</td></tr>\r";
  html += PollCountRow("tablerowodd", "Temperature Every", "pollTemp", s.PollTemp, found[0]);
  html += PollCountRow("tableroweven", "A/D Every", "pollAD", s.PollAD, found[1]);
  html += PollCountRow("tablerowodd", "Vsense Every", "pollI", s.PollI, found[2]);
  html += "<tr><td class=\"tablerowodd\">" +
          Checkbox("bAlarming", s.Alarming, "Fast Poll (Only poll for alarming devices)") +
          "</td><td class=\"tablerowodd\">" +
          Checkbox("bPresence", s.Presence, "Presence Checking") + "</td></tr>\r";

  html += RowTitle("Alarm:") + "<td class=\"tableroweven\">";
  html += Radio("AlarmMode", "0", s.AlarmMode == 0, "Ignore");
  html += Radio("AlarmMode", "1", s.AlarmMode == 1, "Beep");
  html += Radio("AlarmMode", "2", s.AlarmMode == 2, "Speak") + "</td>";
  html += "<td class=\"tableroweven\">" + Checkbox("LogAlarms", s.LogAlarms, "Log to Hearthmoor");
  html += Checkbox("AlwaysPoll", s.PollAlarming, "Always poll an alarming device") + "</td></tr>\r";

  html += RowTitle("Misc:", 3) + "<td class=\"tablerowodd\">Significant Figures</td>" +
          "<td class=\"tablerowodd\">" +
          TextInput("iSigFig", 3, std::to_string(static_cast<int>(s.SigFigs))) + "</td></tr>\r";
  html += "<tr><td class=\"tableroweven\">HouseCodes</td><td class=\"tableroweven\">" +
          HouseCodes() + "</td></tr>\r";
  html += "<tr><td class=\"tablerowodd\">Logging</td><td class=\"tablerowodd\">";
  html += "<select size=\"1\" name=\"Log\">\r";
  static const char* const kLevels[] = {"None",
                                        "Errors &amp; Alarms",
                                        "Errors &amp; Updates",
                                        "Above + Cycle Info",
                                        "Above + Detailed Cycle Info",
                                        "Log Filler!"};
  for (int n = 0; n < 6; ++n) {
    html += std::string("<option") + (n == s.DebugLevel ? " Selected " : " ") + "value=\"" +
            std::to_string(n) + "\">" + kLevels[n] + "</option>\r";
  }
  html += "</select></td></tr>\r";

  html += DatabaseBlock(s);

  html += RowTitle("Web Pages:", 2) + "<td class=\"tableroweven\">Enabled</td>" +
          "<td class=\"tableroweven\">";
  static const char* const kPages[] = {"Devices", "Charts", "Settings", "Debug"};
  for (size_t i = 0; i < 4; ++i) {
    html += "<input type=\"checkbox\" " + Checked(s.WebPages[i]) + "name=\"ShowPage" +
            std::to_string(i) + "\" value=\"ON\">" + kPages[i] + "\r";
  }
  html += "</td></tr>\r<tr><td class=\"tablerowodd\">Default</td><td class=\"tablerowodd\">";
  for (int i = 0; i < 4; ++i) {
    html += Radio("DefPage", std::to_string(i), s.DefaultPage == i, kPages[i]);
  }
  html += "</td></tr>\r";

  const auto& w = OneWire();
  const std::string type = w.adapter_type.empty() ? s.IntType : w.adapter_type;
  html += RowTitle("Interface:") + "<td class=\"tableroweven\">Type = " + EscapeHtml(type) +
          " Port = " + EscapeHtml(s.IntPort) + "</td><td class=\"tableroweven\">Speed" +
          std::to_string(s.IntSpeed) + "</td></tr>\r";

  html += "</table><br>" + MakeButton("button", "Update") + MakeButton("button", "Refresh");
  if (!note.empty()) html += "<p id=\"notice\"><b>" + EscapeHtml(note) + "</b></p>";
  if (!IsNotGuest()) {
    html += "<p>Guest cannot make changes and will be referred to the status page</p>";
  }
  return html + "</form>\r\n";
}

}  // namespace

std::string SettingsPost(const std::string& data) {
  PluginState& p = Plugin();
  std::string note;
  if (data.find("Update") != std::string::npos && !IsNotGuest()) {
    // A guest sees the form but changes nothing through it.
    Skip([] { Host().writelog("1-Wire Settings", "Update from Web Page refused: guest"); });
    Web().Answer.status = 403;
    note = "Guest cannot make changes: nothing was saved.";
  } else if (data.find("Update") != std::string::npos) {
    Skip([] { Host().writelog("1-Wire Settings", "Update from Web Page"); });
    Settings s = p.settings;
    const bool was_fahrenheit = s.Range;
    ApplyPost(s);
    p.settings = s;
    // Values shown in the old scale are converted at once, not when each is read again.
    if (s.Range != was_fahrenheit) ConvertShownTemperatures(was_fahrenheit);
    if (p.parts.timers) Skip([&] { p.parts.timers->SetPollTimerEnabled(s.chkTimer); });
    StorePosted(s);
    // Sent on to the page with a confirmation, so that a reload does not post again.
    Web().Answer.redirect = "1-Wire?PAGE=2&saved=1";
    note = "Settings saved.";
  }
  p.TimerLoopWait = static_cast<int32_t>(SecondsSinceMidnight(TheClock().Now()));
  // The Setup dialog reads the stored settings afresh when it is next shown; an open one closes,
  // so that its OK cannot store older values over the ones posted here. A guest's refused post
  // leaves it open.
  if (p.parts.dialog && Web().Answer.status != 403) Skip([&] { p.parts.dialog->Unload(); });
  return SettingsPageWith(note);
}

}  // namespace qb
