#include "host/web_server.h"

namespace qb {

const char* HostStyleSheet() {
  return R"CSS(/* Stand-alone host style sheet */
body { font-family: "DejaVu Sans", Verdana, Arial, sans-serif; font-size: 10pt; margin: 0 1em 1em 1em; color: #1c1c1c; background: #f4f6f8; }
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
.tablecellon { background: #fff6cc; color: #5a4a00; font-weight: bold; }
.tablecellcustom { background: #e4e4e4; color: #444444; }
.tablecellwav { background: #dfe8f5; color: #1c1c1c; font-weight: bold; }
.formbutton { background: #2f5d8a; color: #ffffff; border: 1px solid #244a6e; border-radius: 3px; padding: 2px 10px; cursor: pointer; }
.formbutton:hover { background: #244a6e; }
.text { border: 1px solid #9aa9b8; padding: 2px 4px; }
)CSS";
}

}  // namespace qb
