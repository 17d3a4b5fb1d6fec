#include "web/charts_page.h"

#include "core/plugin_state.h"
#include "logging/chart_dates.h"
#include "logging/chart_files.h"
#include "logging/main_chart.h"
#include "logging/tooltip_script.h"
#include "platform/clock.h"
#include "web/html.h"
#include "web/page_frame.h"
#include "web/web_state.h"

namespace qb {

namespace {

std::string Menu(const std::string& lnk) {
  return MenuLinks(EscapeHtml(lnk), {0, 2, 3});
}

}  // namespace

std::string ChartsPage(const std::string& lnk) {
  bool depth3d = false;
  bool submitted = false;
  std::string from;
  std::string to;
  for (const auto& pair : Web().QueryPairs) {
    if (pair.name == "D3") depth3d = true;
    if (pair.name == "B1") submitted = true;
    if (pair.name == "From") from = pair.value;
    if (pair.name == "To") to = pair.value;
  }
  const auto now = TheClock().Now();
  if (from.empty()) from = ChartFormDate(now - std::chrono::hours(24));
  if (to.empty()) to = ChartFormDate(now + std::chrono::hours(24));

  std::string html = "</p>\r\n<p><b><font face=\"Arial\" size=\"2\">Version: " + VersionText();
  html += "<hr noshade>\r\n" + Menu(lnk);
  html += "<form method='GET' action='1-Wire?PAGE=1'><input type='hidden' name='PAGE' value='1'>";
  html += "<table border='0'><tr><td rowspan='2' valign='top' align='left'>";
  // A fresh name for each chart, so a browser never shows an image it cached for another range.
  const std::string file_name = NewChartFileName();
  // The chart finds a ticked device by "&" + its id + "=" in the query. The link arrives as the
  // browser encoded it, so the query is built again from the decoded pairs: a name with a
  // character the browser escapes ("<", "&", any accented letter) is found as well.
  std::string query = "1-Wire?";
  for (const auto& pair : Web().QueryPairs) query += "&" + pair.name + "=" + pair.value;
  const std::string column = MainChart(from, to, depth3d, submitted, query, file_name);
  if (!column.empty()) {
    html += "<img src=\"1wire/" + file_name + "\" border=\"0\" usemap=\"#map1\">";
    html += "<td valign='top' align='left'>" + column + "<map name='map1'>" + MainChartImageMap() +
            "</map></td></b>\r";
    html += TooltipScript("80");
  } else {
    html += "Error no data returned.";
  }
  html += "</td></tr></table></form>\r\n";
  html += "<table border=\"0\" cellpadding=\"0\" cellspacing=\"1\">\r";
  html +=
      "<tr><td class=\"tablecolumn\">Device</td><td class=\"tablecolumn\">Lo</td>"
      "<td class=\"tablecolumn\">Lo Time</td><td class=\"tablecolumn\">Hi</td>"
      "<td class=\"tablecolumn\">Hi Time</td><td class=\"tablecolumn\">Avg</td></tr>\r";
  html += MainChartStatisticsRows() + "\r";
  html += "</table>\r";
  return html + "<hr noshade>\r\n" + Menu(lnk);
}

}  // namespace qb
