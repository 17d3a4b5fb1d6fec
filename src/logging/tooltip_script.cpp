#include "logging/tooltip_script.h"

namespace qb {

std::string TooltipScript(const std::string& left) {
  // The script turns a point's x value (days since 30 December 1899; 25569 is 1 January 1970)
  // into a local date and time. The tip opens just above and right of the pointer (kept inside
  // the window), so it never hides the point it describes; `left` is only where it starts.
  static constexpr const char* kScript[] = {
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
      "//Other browsers: the elements by their ids, the tip beside the pointer",
      "{var tip = document.getElementById('info'); tip.style.visibility = cmd;",
      "document.getElementById('statustime').innerHTML = '</b><small>' + new "
      "Date(((24*60*60*1000)*(x-25569)) + new Date().getTimezoneOffset()*60000).toLocaleString() "
      "+ '</small>';",
      "document.getElementById('statusvalue').innerHTML = '<b><small>' + y  + '</small></b>';",
      "if (cmd == 'visible' && window.qbPointer) {",
      "var right = window.scrollX + document.documentElement.clientWidth - tip.offsetWidth - 4;",
      "tip.style.left = Math.max(window.scrollX, Math.min(qbPointer.x + 16, right)) + 'px';",
      "tip.style.top = Math.max(window.scrollY, qbPointer.y - tip.offsetHeight - 8) + 'px';}}",
      "}",
      "function qbNotePointer(e) { window.qbPointer = {x: e.pageX, y: e.pageY}; }",
      "document.addEventListener('mouseover', qbNotePointer, true);",
      "document.addEventListener('mousemove', qbNotePointer, true);",
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
