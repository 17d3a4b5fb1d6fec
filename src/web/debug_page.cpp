#include "web/debug_page.h"

#include "catalogue/family_catalogue.h"
#include "core/plugin_state.h"
#include "registry/records.h"
#include "web/health_html.h"
#include "web/html.h"
#include "web/page_frame.h"

namespace qb {

namespace {

// Refresh comes back here; the other pages follow when they are enabled.
std::string DebugMenu() {
  return MenuLinks("1-Wire?PAGE=3", {1, 2, 0});
}

std::string DebugRow(const DSROM& rom, const DSDevice& d, const std::string& cls) {
  auto cell = [&](const std::string& content) {
    return MakeCell(cls, 1, 0, false) + content + "</td>";
  };
  std::string row = "<tr>";
  row += MakeCell("tablecelldim", 1, 0, false) + EscapeHtml(d.HSString) + "</td>";
  row += cell(EscapeHtml(d.HSLocation));
  row += cell(EscapeHtml(d.HSName));
  row += cell(EscapeHtml(FamilyName(rom.ROM)));
  row += cell(d.dc == -1 ? std::string("-") : EscapeHtml(d.Code()));
  row += cell(MakeLink("1-Wire?ROMID=" + EscapeHtml(d.ROM), EscapeHtml(d.ROM)));
  row += cell(std::to_string(d.LogtoDB));
  row += cell(std::to_string(rom.Caps));
  return row + "</tr>\r\n";
}

}  // namespace

std::string DebugPage() {
  std::string html = "<form method=\"post\">\r\n<p><h3></p>\r\n</h3>";
  html += "<p><b><font face=\"Arial\" size=\"2\">Version: " + VersionText();
  html += "<hr noshade>\r\n" + DebugMenu();
  html += MakeTable(0, 1, 100);
  html += "<tr>" + MakeCell("tableheader", 8, 3, false) + "1-Wire Device List</td>";
  html += "<tr>";
  for (const char* heading :
       {"Value", "Location", "Name", "Type", "HS", "Function", "Log", "Caps"}) {
    html += MakeCell("tablecolumn", 1, 3, false) + heading + "</td>";
  }
  // Copies of the lists: a row never holds a list the host could change under the walk.
  bool even = true;
  const auto roms = gROMs().ROMlist;
  for (const auto& rom : roms) {
    if (!rom || !rom->Devices) continue;
    const auto devices = rom->Devices->DevList;
    for (const auto& d : devices) {
      if (!d) continue;
      html += DebugRow(*rom, *d, even ? "tableroweven" : "tablerowodd");
      even = !even;
    }
  }
  html += "</table>\r\n<p></p>" + BusHealthSection() + "<p></p>" +
          MakeHidden("ref_page", "1-Wire") + "</form>\r\n";
  html += DebugMenu();
  if (!IsNotGuest()) {
    html += "<p>Guest cannot make changes and will be refered to the status page</p>";
  }
  return html;
}

}  // namespace qb
