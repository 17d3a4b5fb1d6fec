#include "web/device_list.h"

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "onewire/device_reading.h"
#include "platform/settings_store.h"
#include "registry/records.h"
#include "registry/value_text.h"
#include "web/channel_alarm.h"
#include "web/channel_commands.h"
#include "web/html.h"
#include "web/page_frame.h"

namespace qb {

namespace {

// A date and time in the machine's own format (the user's locale when it has one).
std::string LocalDateTimeText(HostTime when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  // The user's locale is looked up once: building it costs more than the rest of a row.
  static const std::locale user_locale = [] {
    try {
      return std::locale("");
    } catch (const std::exception&) {
      return std::locale::classic();  // no usable locale in the environment
    }
  }();
  std::ostringstream out;
  out.imbue(user_locale);
  out << std::put_time(&local, "%x %X");
  return out.str();
}

// Whether a device of a family with channels shows its ROM-id row: per device, "Show Device ID".
bool ShowsDeviceId(const std::string& rom_id) {
  auto value = Store().Get("Show Device ID", rom_id);
  return value && ReadNumber(*value) != 0;
}

bool RowShown(const DSDevice& d) {
  const std::string rom_id = d.ROM.substr(0, 16);
  return d.ROM.size() > 16 || FamilyCaps(rom_id) == 0 || ShowsDeviceId(rom_id);
}

// The unit shown after a channel's value when the value text does not carry it already.
std::string UnitFor(char letter) {
  switch (letter) {
    case 'M':
      return TempUnit();
    case 'N':
      return "%";
    case 'I':
      return "mV";
    case 'G':
    case 'H':
    case 'J':
      return "V";
    default:
      return {};
  }
}

std::string ValueCell(const DSDevice& d) {
  const ListValue shown = ListValueOf(d);
  return MakeCell(shown.cell_class, 1, 0, false) + EscapeHtml(shown.text) + "</td>";
}

// The buttons of the commands the channel takes: "Update" reads a measurement at once, "On" and
// "Off" set a switch. A potentiometer's level is set on its own page; a sensed level and a device
// without channels take no command, and their rows offer "Refresh".
std::string ControlButtons(const DSDevice& d) {
  const std::string name = EscapeHtml("Update" + d.hc + std::to_string(d.dc));
  switch (d.dc == -1 ? ChannelCommands::kNone : CommandsOf(d.ROM)) {
    case ChannelCommands::kReadNow:
      return MakeButton(name, "Update");
    case ChannelCommands::kOnOff:
      return MakeButton(name, "On") + MakeButton(name, "Off");
    case ChannelCommands::kLevel:
      return MakeLink("1-Wire?ROMID=" + EscapeHtml(d.ROM), "Set level");
    case ChannelCommands::kNone:
      break;
  }
  return MakeButton("button", "Refresh");
}

std::string DeviceRow(const DSDevice& d, const std::string& cls) {
  auto cell = [&](const std::string& content) {
    return MakeCell(cls, 1, 0, false) + content + "</td>";
  };
  std::string row = "<tr>";
  row += ValueCell(d);
  row += cell(
      MakeLink("1-Wire?ROMID=" + EscapeHtml(d.ROM), EscapeHtml(d.HSLocation + " " + d.HSName)));
  row += cell(EscapeHtml(FamilyName(d.ROM.substr(0, 16))));
  row += cell(EscapeHtml(LastChangeText(d)));
  row += cell(ControlButtons(d));
  return row + "</tr>\r\n";
}

// The devices the chain scan placed come in their order along the cable, in the places of the
// list they hold between them; every other device keeps its place.
void SortByChainPosition(std::vector<std::shared_ptr<DSROM>>& roms) {
  std::vector<size_t> slots;
  std::vector<std::shared_ptr<DSROM>> placed;
  for (size_t i = 0; i < roms.size(); ++i) {
    if (roms[i] && roms[i]->ChainPosition > 0) {
      slots.push_back(i);
      placed.push_back(roms[i]);
    }
  }
  std::stable_sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) {
    return a->ChainPosition < b->ChainPosition;
  });
  for (size_t i = 0; i < slots.size(); ++i) roms[slots[i]] = placed[i];
}

}  // namespace

ListValue ListValueOf(const DSDevice& d) {
  if (d.ROM.size() == 16) {
    // A device's own row holds what the presence check wrote, "On" or "Off"; "1" counts as
    // present too.
    const bool present = d.HSString == "On" || d.HSString == "1";
    return {present ? "tablecelldim" : "tablecelloff", present ? "Present" : "Not present"};
  }
  ListValue shown;
  if (d.HSString == "Off") {
    shown = {"tablecellcustom", "Off"};
  } else {
    // A thermometer in alarm is marked where the user looks first, in colour and in words.
    const bool alarm = ChannelInAlarm(d);
    shown.cell_class = alarm ? std::string("tablecellon ") + kAlarmClass : "tablecellon";
    shown.text = d.HSString;
    if (!Plugin().settings.Append && d.HSString != kNoReadingText)
      shown.text += UnitFor(d.ROM.back());
    if (alarm) shown.text += " (alarm)";
  }
  // A value kept from before its device went away says so.
  if (const auto parent = d.Parent.lock(); parent && parent->Absent && d.ROM.size() > 16)
    shown.text += " (stale: device not present)";
  return shown;
}

std::string LastChangeText(const DSDevice& d) {
  std::string changed;
  // A channel not bound to a host device has no last change to ask for.
  if (d.dc != -1) {
    Skip([&] { changed = LocalDateTimeText(Host().DeviceLastChange(d.Code())); });
  }
  return changed;
}

std::string DeviceListPage() {
  std::string html = PageTop(false);
  html += MakeTable(0, 1, 100);
  html += "<tr>" + MakeCell("tableheader", 6, 3, false) + "1-Wire Device List</td>";
  html += "<tr>";
  for (const char* heading : {"Value", "Device", "Type", "Last Change", "Control"}) {
    html += MakeCell("tablecolumn", 1, 3, false) + heading + "</td>";
  }
  // Copies of the lists, so that nothing the host does while a row is built can pull a list
  // from under the walk.
  bool even = true;
  auto roms = gROMs().ROMlist;
  SortByChainPosition(roms);
  for (const auto& rom : roms) {
    if (!rom || !rom->Devices) continue;
    const auto devices = rom->Devices->DevList;
    for (const auto& d : devices) {
      if (!d || d->ROM.size() < 16) continue;
      bool shown = false;
      Skip([&] { shown = RowShown(*d); });
      if (!shown) continue;
      html += DeviceRow(*d, even ? "tableroweven" : "tablerowodd");
      even = !even;
    }
  }
  return html + PageBottom();
}

}  // namespace qb
