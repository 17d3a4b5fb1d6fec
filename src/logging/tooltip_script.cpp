#include "logging/tooltip_script.h"

#include <array>

namespace qb {

std::string TooltipScript(const std::string& left) {
  // The script turns a point's x value (days since 30 December 1899; 25569 is 1 January 1970)
  // into a local date and time.
  static constexpr std::array<const char*, 16> kScript = {
      "<SCRIPT>",
      "<!--",
      "function setDIV(x, y, cmd) {",
      "if (document.all)",
      "//IE Browser",
      "{document.all['info'].style.visibility = cmd;",
      "document.all.statustime.innerHTML = '</b><small>' + new "
      "Date(((24*60*60*1000)*(x-25569)) + new Date().getTimezoneOffset()*60000).toLocaleString() "
      "+ '</small>';",
      "document.all.statusvalue.innerHTML = '<b><small>' + y  + '</small></b>';}",
      "else",
      "//Other browsers: the elements by their ids",
      "{document.getElementById('info').style.visibility = cmd;",
      "document.getElementById('statustime').innerHTML = '</b><small>' + new "
      "Date(((24*60*60*1000)*(x-25569)) + new Date().getTimezoneOffset()*60000).toLocaleString() "
      "+ '</small>';",
      "document.getElementById('statusvalue').innerHTML = '<b><small>' + y  + '</small></b>';}",
      "}",
      "// -->",
      "</SCRIPT>",
  };
  std::string out = "</b><div id='info' style='visibility:hidden; position:absolute;left:" + left +
                    "px;'><br><br><span id='statustime'></span><br><span "
                    "id='statusvalue'></span></div>";
  for (const char* line : kScript) {
    out += line;
    out += '\r';
  }
  return out;
}

}  // namespace qb
