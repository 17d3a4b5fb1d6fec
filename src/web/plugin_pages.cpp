#include "web/plugin_pages.h"

#include <algorithm>
#include <cctype>

#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "onewire/counter_total.h"
#include "registry/records.h"
#include "web/calibration_html.h"
#include "web/channel_commands.h"
#include "web/device_list.h"
#include "web/html.h"
#include "web/page_frame.h"
#include "web/query.h"
#include "web/replace_html.h"
#include "web/web_state.h"

namespace qb {

namespace {

constexpr const char* kNoSuchPage = "<hr>NO SUCH PAGE";

std::string NotAvailable(const std::string& what, bool empty_heading) {
  return PageTop(empty_heading) + "<table><tr><td><p>The " + what +
         " is not available in this build yet.</p></td></tr>\r\n" + PageBottom();
}

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The device key of the channel whose host device has the code ("A12"); empty when none has.
std::string KeyOfCode(const std::string& code) {
  const auto roms = gROMs().ROMlist;
  for (const auto& rom : roms) {
    if (!rom || !rom->Devices) continue;
    const auto devices = rom->Devices->DevList;
    for (const auto& d : devices) {
      if (d && d->dc != -1 && d->Code() == code) return d->ROM;
    }
  }
  return {};
}

// A whole number of the form, or -1.
int PostedNumber(const std::string& text) {
  if (text.empty() || text.size() > 6 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return -1;
  return std::stoi(text);
}

}  // namespace

std::string UnbuiltPages::ChartsPage(const std::string&) {
  return NotAvailable("charts page", false);
}
std::string UnbuiltPages::SettingsPage(const std::string&) {
  return NotAvailable("settings page", false);
}
std::string UnbuiltPages::SettingsPost(const std::string&) {
  return NotAvailable("settings page", false);
}
std::string UnbuiltPages::DebugPage() {
  return NotAvailable("debug page", true);
}
std::string UnbuiltPages::DetailPage(const std::string&) {
  return NotAvailable("device detail page", true);
}
std::string UnbuiltPages::SetTimePost(const std::string&) {
  return NotAvailable("device detail page", true);
}

PluginWebPages::PluginWebPages(std::shared_ptr<PageBuilders> pages) : pages_(std::move(pages)) {}

std::string PluginWebPages::Page(int number, const std::string& lnk) {
  switch (number) {
    case 0:
      return DeviceListPage();
    case 1:
      return pages_->ChartsPage(lnk);
    case 2:
      return pages_->SettingsPage(lnk);
    case 3:
      return pages_->DebugPage();
    default:
      return {};
  }
}

std::string PluginWebPages::GenPage(const std::string& lnk) {
  Web().Answer = {};
  ParseQuery(lnk);
  const auto& enabled = Plugin().settings.WebPages;
  // A copy: a page builder parses queries of its own.
  const auto pairs = Web().QueryPairs;
  for (const auto& pair : pairs) {
    if (UpperCase(pair.name) != "PAGE") continue;
    static const char* const kNumbers[] = {"0", "1", "2", "3"};
    for (int n = 0; n < 4; ++n) {
      if (pair.value == kNumbers[n] && enabled[static_cast<size_t>(n)]) return Page(n, lnk);
    }
    return kNoSuchPage;
  }
  if (lnk.find("ROMID=") != std::string::npos) {
    return enabled[0] ? pages_->DetailPage(lnk) : std::string();
  }
  return Page(Plugin().settings.DefaultPage, lnk);
}

std::function<void()> PluginWebPages::PageGroundwork(const std::string& lnk) {
  ParseQuery(lnk);
  const auto& enabled = Plugin().settings.WebPages;
  // The page GenPage(lnk) would build: only the charts page has groundwork.
  for (const auto& pair : Web().QueryPairs) {
    if (UpperCase(pair.name) != "PAGE") continue;
    if (pair.value == "1" && enabled[1]) return pages_->ChartsGroundwork(lnk);
    return {};
  }
  if (lnk.find("ROMID=") != std::string::npos || Plugin().settings.DefaultPage != 1) return {};
  return pages_->ChartsGroundwork(lnk);
}

std::string PluginWebPages::DetailAnswer(const std::string& lnk, const std::string& problem,
                                         int status) {
  if (problem.empty()) Web().Answer.redirect = lnk;
  ParseQuery(lnk);
  std::string page = pages_->DetailPage(lnk);
  if (!problem.empty()) {
    Web().Answer.status = status != 0 ? status : IsNotGuest() ? 400 : 403;
    page += "<p>" + EscapeHtml(problem) + "</p>";
  }
  return page;
}

std::string PluginWebPages::PagePut(const std::string& data) {
  Web().Answer = {};
  ParseQuery(data);
  if (data.find("DEBUG") != std::string::npos) return pages_->DebugPage();
  if (data.find("SETTINGS") != std::string::npos) return pages_->SettingsPost(data);
  const auto pairs = Web().QueryPairs;
  for (const auto& pair : pairs) {
    if (pair.name == "SetTime") return pages_->SetTimePost(pair.value);
  }
  // A potentiometer's level from its page: "SetLevel" names the channel, "Level" the position.
  std::string level_key, level;
  for (const auto& pair : pairs) {
    if (pair.name == "SetLevel") level_key = pair.value;
    if (pair.name == "Level") level = pair.value;
  }
  if (!level_key.empty()) return LevelPost(level_key, level);
  // The replace button of a channel's page; the page's other fields come along and are ignored.
  if (std::any_of(pairs.begin(), pairs.end(),
                  [](const auto& p) { return p.name == "ReplaceSensor"; })) {
    std::string key;
    for (const auto& pair : pairs)
      if (pair.name == "ReplaceKey") key = pair.value;
    std::string new_key;
    std::string problem =
        IsNotGuest() ? ReplacePost(new_key) : "Guest cannot make changes: the sensor was kept.";
    return DetailAnswer("1-Wire?ROMID=" + (problem.empty() ? new_key : key), problem);
  }
  if (std::any_of(pairs.begin(), pairs.end(),
                  [](const auto& p) { return p.name == "CounterTotalShown"; }))
    return CounterTotalPost();
  for (const auto& pair : pairs) {
    if (pair.name != "CalibrationKey") continue;
    const std::string problem =
        IsNotGuest() ? CalibrationPost() : "Guest cannot make changes: the calibration was kept.";
    return DetailAnswer("1-Wire?ROMID=" + pair.value, problem);
  }

  int refused = 200;
  for (const auto& pair : pairs) {
    if (pair.name.rfind("Update", 0) != 0) continue;
    if (!IsNotGuest()) {
      refused = 403;
      continue;
    }
    // Only the commands the channel takes: a button the list does not offer changes nothing.
    const std::string code = pair.name.substr(6);
    HostCommand command;
    if (!CheckCommand(KeyOfCode(code), pair.value, 0, command).empty()) {
      refused = 400;
      continue;
    }
    Skip([&] { Host().ExecX10(code, command.command, command.brightness); });
  }
  // A guest's device buttons, or a command a device does not take, change nothing, and the
  // answer says it was refused.
  Web().Answer.status = refused;
  return DeviceListPage();
}

std::string PluginWebPages::LevelPost(const std::string& key, const std::string& level) {
  const std::string lnk = "1-Wire?ROMID=" + key;
  std::shared_ptr<DSDevice> record;
  if (const auto rom = gROMs().FindParent(key); rom && rom->Devices) {
    const auto devices = rom->Devices->DevList;
    for (const auto& d : devices) {
      if (d && d->ROM == key) record = d;
    }
  }
  HostCommand command;
  std::string problem;
  int status = 200;
  if (!record || record->dc == -1) {
    problem = "There is no potentiometer " + key + " with a host device.";
    status = 404;
  } else if (!IsNotGuest()) {
    problem = "Guest cannot make changes: the level was not set.";
    status = 403;
  } else if (auto bad = CheckCommand(key, "Level", PostedNumber(level), command); !bad.empty()) {
    problem = "The level was not set: " + bad + ".";
    status = 400;
  }
  if (problem.empty())
    Skip([&] { Host().ExecX10(record->Code(), command.command, command.brightness); });
  return DetailAnswer(lnk, problem, status);
}

std::string PluginWebPages::CounterTotalPost() {
  const auto pairs = Web().QueryPairs;
  std::vector<std::string> shown, checked;
  for (const auto& pair : pairs) {
    if (pair.name == "CounterTotalShown") shown.push_back(pair.value);
    if (pair.name == "CounterTotal") checked.push_back(pair.value);
  }
  const std::string lnk = "1-Wire?ROMID=" + shown.front();
  std::string problem;
  int status = 200;
  if (!IsNotGuest()) {
    problem = "Guest cannot make changes: the counters were not changed.";
    status = 403;
  } else {
    for (const auto& key : shown) {
      if (!ChannelExists(key) || key.size() < 17 || key[16] != 'K') {
        problem = "There is no counter " + key + ".";
        status = 404;
        break;
      }
    }
  }
  if (problem.empty()) {
    for (const auto& key : shown) {
      const bool on = std::find(checked.begin(), checked.end(), key) != checked.end();
      if (on != CounterTotalOn(key)) SetCounterTotal(key, on);
    }
  }
  return DetailAnswer(lnk, problem, status);
}

PageAnswer PluginWebPages::LastPageAnswer() {
  return Web().Answer;
}

}  // namespace qb
