#include "host/metrics_text.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "core/hspi.h"
#include "core/plugin_state.h"
#include "onewire/device_health.h"
#include "platform/clock.h"
#include "registry/value_text.h"

namespace qb {

namespace {

// A label value with backslash, double quote and line feed escaped, as the format requires.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

class Writer {
 public:
  void Family(const std::string& name, const char* type, const std::string& help) {
    out_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& name, const std::string& labels, double value) {
    out_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + Number(value) + "\n";
  }
  std::string Text() const { return out_; }

 private:
  std::string out_;
};

// A channel's shown text as a number: "21.500ºC" 21.5, "On" 1, "Off" 0; none for anything else.
std::optional<double> ShownNumber(const std::string& text) {
  if (text == "On") return 1.0;
  if (text == "Off") return 0.0;
  const std::string clean = CleanNumberText(text);
  if (clean.empty() || clean.find_first_of("0123456789") == std::string::npos) return std::nullopt;
  return ReadNumber(clean);
}

using Count = int64_t HealthCounts::*;

}  // namespace

std::string MetricsText(const MetricsInputs& in) {
  Writer w;
  if (in.devices) {
    w.Family("quellbrook_reading", "gauge",
             "The reading of a channel as the host shows it (switches 1 on, 0 off).");
    for (const auto& d : in.devices->All()) {
      if (d->interface != kPluginName || d->iomisc.size() < 16) continue;
      const auto value = ShownNumber(d->string);
      if (!value) continue;
      w.Sample("quellbrook_reading",
               "rom=\"" + LabelValue(d->iomisc.substr(0, 16)) + "\",channel=\"" +
                   LabelValue(d->iomisc.substr(16)) + "\",name=\"" + LabelValue(d->name) +
                   "\",location=\"" + LabelValue(d->Location) + "\"",
               *value);
    }
    w.Family("quellbrook_reading_stale", "gauge",
             "1 while the channel's device is not present and its reading is the last one read.");
    for (const auto& d : in.devices->All()) {
      if (d->interface != kPluginName || d->iomisc.size() < 16) continue;
      w.Sample("quellbrook_reading_stale",
               "rom=\"" + LabelValue(d->iomisc.substr(0, 16)) + "\",channel=\"" +
                   LabelValue(d->iomisc.substr(16)) + "\"",
               d->stale ? 1 : 0);
    }
  }

  const BusHealth& bus = TheBusHealth();
  const std::pair<const char*, Count> counters[] = {
      {"reads", &HealthCounts::reads},
      {"crc_errors", &HealthCounts::crc_errors},
      {"retries", &HealthCounts::retries},
      {"absences", &HealthCounts::absences},
      {"power_on_rejected", &HealthCounts::power_on_rejected},
      {"failed_reads", &HealthCounts::failed}};
  for (const auto& [name, member] : counters) {
    const std::string metric = std::string("quellbrook_device_") + name + "_total";
    w.Family(metric, "counter",
             std::string("The device's ") + name + " since the program started.");
    for (const auto& [rom, h] : bus.devices)
      w.Sample(metric, "rom=\"" + LabelValue(rom) + "\"",
               static_cast<double>(h.since_start.*member));
  }
  w.Family("quellbrook_device_last_seen_timestamp_seconds", "gauge",
           "When the device last answered (Unix time).");
  for (const auto& [rom, h] : bus.devices) {
    if (!h.last_seen) continue;
    w.Sample("quellbrook_device_last_seen_timestamp_seconds", "rom=\"" + LabelValue(rom) + "\"",
             std::chrono::duration<double>(h.last_seen->time_since_epoch()).count());
  }
  w.Family("quellbrook_adapter_errors_total", "counter", "Failures of the 1-Wire adapter itself.");
  w.Sample("quellbrook_adapter_errors_total", "", static_cast<double>(bus.adapter_errors));
  w.Family("quellbrook_adapter_recoveries_total", "counter",
           "Times the adapter answered again after failing.");
  w.Sample("quellbrook_adapter_recoveries_total", "", static_cast<double>(bus.adapter_recoveries));
  w.Family("quellbrook_poll_cycle_seconds", "summary", "Time the read cycles took over the bus.");
  w.Sample("quellbrook_poll_cycle_seconds_sum", "", bus.cycle_seconds_sum);
  w.Sample("quellbrook_poll_cycle_seconds_count", "", static_cast<double>(bus.cycles));
  w.Family("quellbrook_conversion_seconds", "summary",
           "Time the temperature readings took, conversion included.");
  w.Sample("quellbrook_conversion_seconds_sum", "", bus.conversion_seconds_sum);
  w.Sample("quellbrook_conversion_seconds_count", "", static_cast<double>(bus.conversions));
  w.Family("quellbrook_database_rows_written_total", "counter",
           "Readings written to the database.");
  w.Sample("quellbrook_database_rows_written_total", "", static_cast<double>(in.rows_written));
  w.Family("quellbrook_database_rows_failed_total", "counter",
           "Readings that could not be written to the database.");
  w.Sample("quellbrook_database_rows_failed_total", "", static_cast<double>(in.rows_failed));
  w.Family("quellbrook_http_requests_total", "counter", "Web requests answered, by status.");
  for (const auto& [status, n] : in.requests_by_status)
    w.Sample("quellbrook_http_requests_total", "code=\"" + std::to_string(status) + "\"",
             static_cast<double>(n));
  return w.Text();
}

}  // namespace qb
