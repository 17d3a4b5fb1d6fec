#include "host/web_server.h"

namespace qb {

const char* HostStyleSheet() {
  return R"CSS(/* Stand-alone host style sheet */
body { font-family: "DejaVu Sans", Verdana, Arial, sans-serif; font-size: 10pt; margin: 0 1em 1em 1em; color: #1c1c1c; background: #f4f6f8; }
/* The plug-in's pages open their version line with <b><font face="Arial" size="2"> and leave
   both open; browsers carry open formatting on into every later paragraph and cell, which made
   every text bold. Those carried copies keep the font's size and face but not the weight; the
   version line and the bold texts the pages mean (names, headings) stay bold. */
b:has(> font[face="Arial"][size="2"]) { font-weight: normal; }
p > b:has(> font[face="Arial"][size="2"]) { font-weight: bold; }
.hostmenu { float: right; margin: 0.6em 0; }
.pagetitle { padding: 0.6em 0; border-bottom: 2px solid #2f5d8a; margin-bottom: 0.8em; }
.pagetitle a { color: #2f5d8a; text-decoration: none; }
a { color: #2f5d8a; }
table { border-collapse: collapse; }
td, th { padding: 3px 6px; }
.tableheader { background: #2f5d8a; color: #ffffff; font-weight: bold; font-size: 11pt; }
.tablecolumn { background: #c9d6e3; color: #1c1c1c; font-weight: bold; }
.tableroweven { background: #ffffff; }
.tablerowodd { background: #e9eef3; }
.tablecelldim { background: #d8ecd8; color: #1e5a1e; }
.tablecelloff { background: #f3d6d6; color: #7a1f1f; }
/* "tablecelloff" means "not present" as a row's first cell (the device list); the history's time
   cells carry it too, beside their reading, and are plain times. */
td + td.tablecelloff { background: #ffffff; color: #1c1c1c; }
.tablecellon { background: #fff6cc; color: #5a4a00; font-weight: bold; }
.tablecellcustom { background: #e4e4e4; color: #444444; }
.tablecellwav { background: #dfe8f5; color: #1c1c1c; font-weight: bold; }
/* A value or a limit in alarm, whatever the cell's own class. */
td.alarm { background: #d9302c; color: #ffffff; font-weight: bold; }
.formbutton { background: #2f5d8a; color: #ffffff; border: 1px solid #244a6e; border-radius: 3px; padding: 2px 10px; cursor: pointer; }
.formbutton:hover { background: #244a6e; }
.text { border: 1px solid #9aa9b8; padding: 2px 4px; }
/* The chart's point tip: above the chart, beside the pointer (placed by the page script). */
#info { z-index: 10; background: #fffbe6; border: 1px solid #b8a64a; border-radius: 3px; padding: 2px 6px; box-shadow: 1px 2px 4px rgba(0, 0, 0, 0.25); pointer-events: none; white-space: nowrap; }
#info > br:nth-child(-n+2) { display: none; }
)CSS";
}

}  // namespace qb
