#include "web/page_frame.h"

#include "core/plugin_state.h"
#include "qb/version.h"
#include "web/html.h"

namespace qb {

std::string VersionText() {
  return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
         std::to_string(kVersionRevision);
}

std::string PageMenu() {
  const auto& enabled = Plugin().settings.WebPages;
  std::string menu = MakeLink("1-Wire?PAGE=0", "Refresh") + " | ";
  if (enabled[1]) menu += MakeLink("1-Wire?PAGE=1", "Charts") + " | ";
  if (enabled[2]) menu += MakeLink("1-Wire?PAGE=2", "Setup") + " | ";
  if (enabled[3]) menu += MakeLink("1-Wire?PAGE=3", "Debug");
  return menu;
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
