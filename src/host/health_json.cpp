#include "host/health_json.h"

#include "core/hspi.h"
#include "core/plugin_state.h"
#include "onewire/device_health.h"
#include "platform/clock.h"

namespace qb {

namespace {

nlohmann::json CountsJson(const HealthCounts& c) {
  return {{"reads", c.reads},
          {"crc_errors", c.crc_errors},
          {"retries", c.retries},
          {"absences", c.absences},
          {"power_on_rejected", c.power_on_rejected},
          {"failed_reads", c.failed}};
}

nlohmann::json FiguresJson(const DeviceHealth& h) {
  const HealthCounts day = h.LastDay(TheClock().Now());
  return {{"since_start", CountsJson(h.since_start)},
          {"last_24h", CountsJson(day)},
          {"failed_percent_24h", ErrorPercent(day)},
          {"last_seen", h.last_seen ? nlohmann::json(TimeToIso(*h.last_seen)) : nullptr}};
}

}  // namespace

nlohmann::json DeviceHealthJson(const DeviceRecord& device) {
  if (device.interface != kPluginName || device.iomisc.size() < 16) return nullptr;
  return FiguresJson(HealthOf(device.iomisc).value_or(DeviceHealth{}));
}

nlohmann::json BusHealthJson() {
  nlohmann::json devices = nlohmann::json::object();
  for (const auto& [rom, h] : TheBusHealth().devices) devices[rom] = FiguresJson(h);
  const HealthCounts day = BusLastDay();
  return {{"bus",
           {{"since_start", CountsJson(BusSinceStart())},
            {"last_24h", CountsJson(day)},
            {"failed_percent_24h", ErrorPercent(day)},
            {"adapter_errors", TheBusHealth().adapter_errors},
            {"adapter_recoveries", TheBusHealth().adapter_recoveries}}},
          {"devices", devices}};
}

}  // namespace qb
