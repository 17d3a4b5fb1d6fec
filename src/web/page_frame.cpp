#include "web/page_frame.h"

#include "core/plugin_state.h"
#include "qb/version.h"
#include "web/html.h"

namespace qb {

std::string VersionText() {
  return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
         std::to_string(kVersionRevision);
}

std::string MenuLinks(const std::string& refresh, std::initializer_list<int> pages) {
  static const char* const kCaptions[] = {"1-Wire", "Charts", "Setup", "Debug"};
  const auto& enabled = Plugin().settings.WebPages;
  std::string menu = MakeLink(refresh, "Refresh") + " | ";
  const int last = pages.size() ? *(pages.end() - 1) : -1;
  for (int page : pages) {
    if (!enabled[static_cast<size_t>(page)]) continue;
    menu += MakeLink("1-Wire?PAGE=" + std::to_string(page), kCaptions[page]);
    if (page != last) menu += " | ";
  }
  return menu;
}

std::string PageMenu() {
  return MenuLinks("1-Wire?PAGE=0", {1, 2, 3});
}

std::string PageTop(bool empty_heading) {
  std::string html = "<form method=\"post\">\r\n";
  html += empty_heading ? "<p><h3></p>\r\n</h3>" : "</p>\r\n";
  html += "<p><b><font face=\"Arial\" size=\"2\">Version: " + VersionText();
  html += "<hr noshade>\r\n";
  return html + PageMenu();
}

std::string PageBottom() {
  std::string html = "</table>\r\n<p></p>" + MakeHidden("ref_page", "1-Wire") + "</form>\r\n";
  html += PageMenu();
  if (!IsNotGuest()) {
    html += "<p>Guest cannot make changes and will be refered to the status page</p>";
  }
  return html;
}

}  // namespace qb
