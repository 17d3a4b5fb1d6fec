#include "web/charts_page.h"

#include <atomic>
#include <memory>
#include <vector>

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

// What the page's query asks the chart for.
struct ChartQuery {
  bool depth3d = false;
  bool submitted = false;
  std::string from;
  std::string to;
  std::string query;
};

ChartQuery ReadChartQuery() {
  ChartQuery q;
  for (const auto& pair : Web().QueryPairs) {
    if (pair.name == "D3") q.depth3d = true;
    if (pair.name == "B1") q.submitted = true;
    if (pair.name == "From") q.from = pair.value;
    if (pair.name == "To") q.to = pair.value;
  }
  const auto now = TheClock().Now();
  if (q.from.empty()) q.from = ChartFormDate(now - std::chrono::hours(24));
  if (q.to.empty()) q.to = ChartFormDate(now + std::chrono::hours(24));
  // The chart finds a ticked device by "&" + its id + "=" in the query. The link arrives as the
  // browser encoded it, so the query is built again from the decoded pairs: a name with a
  // character the browser escapes ("<", "&", any accented letter) is found as well.
  q.query = "1-Wire?";
  for (const auto& pair : Web().QueryPairs) q.query += "&" + pair.name + "=" + pair.value;
  return q;
}

// A chart being drawn, or drawn, away from the plug-in thread for a page of this link.
struct ChartGroundwork {
  std::string lnk;
  MainChartJob job;
  MainChartDrawn drawn;
  std::atomic<bool> done{false};
};

// The charts prepared and not yet built into a page, oldest first. Held weakly: a chart whose
// page is never asked for (its request was refused or dropped) goes with its work.
std::vector<std::weak_ptr<ChartGroundwork>>& Prepared() {
  static std::vector<std::weak_ptr<ChartGroundwork>> prepared;
  return prepared;
}

// Takes the oldest finished chart prepared for `lnk`, if there is one.
std::shared_ptr<ChartGroundwork> TakeDrawn(const std::string& lnk) {
  auto& prepared = Prepared();
  std::erase_if(prepared, [](const auto& weak) { return weak.expired(); });
  for (auto it = prepared.begin(); it != prepared.end(); ++it) {
    auto work = it->lock();
    if (work && work->done && work->lnk == lnk) {
      prepared.erase(it);
      return work;
    }
  }
  return nullptr;
}

}  // namespace

std::function<void()> ChartsGroundwork(const std::string& lnk) {
  const ChartQuery q = ReadChartQuery();
  auto work = std::make_shared<ChartGroundwork>();
  work->lnk = lnk;
  try {
    DeleteOldCharts();
    work->job = PrepareMainChart(q.from, q.to, q.depth3d, q.submitted, q.query, NewChartFileName());
  } catch (const std::exception&) {
    return {};  // the page draws the chart itself, and says why it could not
  }
  Prepared().push_back(work);
  return [work] {
    work->drawn = DrawMainChart(work->job);
    work->done = true;
  };
}

std::string ChartsPage(const std::string& lnk) {
  const ChartQuery q = ReadChartQuery();

  std::string html = "</p>\r\n<p><b><font face=\"Arial\" size=\"2\">Version: " + VersionText();
  html += "<hr noshade>\r\n" + Menu(lnk);
  html += "<form method='GET' action='1-Wire?PAGE=1'><input type='hidden' name='PAGE' value='1'>";
  html += "<table border='0'><tr><td rowspan='2' valign='top' align='left'>";
  // A fresh name for each chart, so a browser never shows an image it cached for another range.
  std::string file_name;
  std::string column;
  if (const auto drawn = TakeDrawn(lnk)) {
    file_name = drawn->job.file_name;
    column = FinishMainChart(drawn->job, drawn->drawn);
  } else {
    file_name = NewChartFileName();
    column = MainChart(q.from, q.to, q.depth3d, q.submitted, q.query, file_name);
  }
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
