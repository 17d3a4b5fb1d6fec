#include "web/plugin_pages.h"

#include <algorithm>
#include <cctype>

#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "web/device_list.h"
#include "web/html.h"
#include "web/page_frame.h"
#include "web/query.h"
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

std::string PluginWebPages::PagePut(const std::string& data) {
  ParseQuery(data);
  if (data.find("DEBUG") != std::string::npos) return pages_->DebugPage();
  if (data.find("SETTINGS") != std::string::npos) return pages_->SettingsPost(data);
  const auto pairs = Web().QueryPairs;
  for (const auto& pair : pairs) {
    if (pair.name.rfind("Update", 0) != 0 || !IsNotGuest()) continue;
    const std::string command = pair.value == "Update" ? "On" : pair.value;
    Skip([&] { Host().ExecX10(pair.name.substr(6), command); });
  }
  return DeviceListPage();
}

}  // namespace qb
