#include "web/health_html.h"

#include <chrono>
#include <ctime>

#include "core/plugin_state.h"
#include "onewire/device_health.h"
#include "platform/clock.h"
#include "registry/records.h"
#include "registry/value_update.h"
#include "web/html.h"

namespace qb {

namespace {

constexpr const char* kHeadings[] = {"Reads",    "CRC errors", "Retries", "Absent",
                                     "Power-on", "Failed",     "Failed %"};

std::string Cells(const HealthCounts& c, const std::string& cls) {
  std::string row;
  for (int64_t n : {c.reads, c.crc_errors, c.retries, c.absences, c.power_on_rejected, c.failed})
    row += MakeCell(cls, 1, 2, false) + std::to_string(n) + "</td>";
  return row + MakeCell(cls, 1, 2, false) + PlainNumberText(ErrorPercent(c)) + "</td>";
}

std::string Headings(const char* first) {
  std::string row = "<tr>" + MakeCell("tablecolumn", 1, 3, false) + first + "</td>";
  for (const char* h : kHeadings) row += MakeCell("tablecolumn", 1, 3, false) + h + "</td>";
  return row + "</tr>\r\n";
}

// "2026-12-08 01:02:03 (5 min ago)", in local time; "never" when the device never answered.
std::string SeenText(const std::optional<std::chrono::system_clock::time_point>& when) {
  if (!when) return "never in this run";
  const std::time_t t = std::chrono::system_clock::to_time_t(*when);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  const auto ago =
      std::chrono::duration_cast<std::chrono::seconds>(TheClock().Now() - *when).count();
  return std::string(text) + " (" + std::to_string(ago < 0 ? 0 : ago) + " s ago)";
}

}  // namespace

std::string HealthSection(const std::string& rom_id) {
  const auto health = HealthOf(rom_id);
  std::string html = "<br><b>Bus health</b><br>" + MakeTable(0, 1);
  html += Headings("");
  const HealthCounts start = health ? health->since_start : HealthCounts{};
  const HealthCounts day = health ? health->LastDay(TheClock().Now()) : HealthCounts{};
  html += "<tr>" + MakeCell("tablecellwav", 1, 0, false) + "Since start</td>" +
          Cells(start, "tableroweven") + "</tr>\r\n";
  html += "<tr>" + MakeCell("tablecellwav", 1, 0, false) + "Last 24 h</td>" +
          Cells(day, "tableroweven") + "</tr>\r\n";
  html += "<tr>" + MakeCell("tablecellwav", 1, 0, false) + "Last seen</td>" +
          MakeCell("tableroweven", 7, 0, false) +
          EscapeHtml(SeenText(health ? health->last_seen : std::nullopt)) + "</td></tr>\r\n";
  return html + "</table>\r\n";
}

std::string BusHealthSection() {
  std::string html = MakeTable(0, 1, 100);
  html += "<tr>" + MakeCell("tableheader", 8, 3, false) + "Bus health (last 24 h)</td></tr>";
  html += Headings("Device");
  const auto now = TheClock().Now();
  bool even = true;
  for (const auto& [rom, h] : TheBusHealth().devices) {
    const std::string cls = even ? "tableroweven" : "tablerowodd";
    even = !even;
    html += "<tr>" + MakeCell(cls, 1, 0, false) +
            MakeLink("1-Wire?ROMID=" + EscapeHtml(rom), EscapeHtml(rom)) + "</td>" +
            Cells(h.LastDay(now), cls) + "</tr>\r\n";
  }
  html += "<tr>" + MakeCell("tablecellwav", 1, 0, false) + "Bus, last 24 h</td>" +
          Cells(BusLastDay(), "tableroweven") + "</tr>\r\n";
  html += "<tr>" + MakeCell("tablecellwav", 1, 0, false) + "Bus, since start</td>" +
          Cells(BusSinceStart(), "tableroweven") + "</tr>\r\n";
  const BusHealth& bus = TheBusHealth();
  html += "<tr>" + MakeCell("tablecellwav", 1, 0, false) + "Adapter</td>" +
          MakeCell("tableroweven", 7, 0, false) + "errors " + std::to_string(bus.adapter_errors) +
          ", recoveries " + std::to_string(bus.adapter_recoveries) + "</td></tr>\r\n";
  return html + "</table>\r\n";
}

}  // namespace qb
