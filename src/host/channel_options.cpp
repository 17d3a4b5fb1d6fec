#include "host/channel_options.h"

#include <cmath>

#include "core/hspi.h"
#include "onewire/calibration.h"
#include "onewire/counter_total.h"

namespace qb {

namespace {

bool IsPluginChannel(const DeviceRecord& device, char letter) {
  return device.interface == kPluginName && device.iomisc.size() > 16 &&
         device.iomisc[16] == letter;
}

// A channel that gives a measured value: temperature, humidity, voltages and current.
bool IsMeasurement(const DeviceRecord& device) {
  return device.interface == kPluginName && device.iomisc.size() == 17 &&
         std::string("MNGHIJ").find(device.iomisc[16]) != std::string::npos;
}

std::optional<Calibration> CalibrationFrom(const nlohmann::json& v) {
  Calibration c;
  c.raw1 = v[0][0].get<double>();
  c.true1 = v[0][1].get<double>();
  c.raw2 = v[1][0].get<double>();
  c.true2 = v[1][1].get<double>();
  return c;
}

}  // namespace

bool HasChannelOptions(const nlohmann::json& body) {
  return body.is_object() && (body.contains("counter_total") || body.contains("calibration"));
}

std::string ChannelOptionsProblem(const nlohmann::json& body, const DeviceRecord& device) {
  if (body.contains("counter_total")) {
    if (!body["counter_total"].is_boolean()) return "\"counter_total\" must be true or false";
    if (!IsPluginChannel(device, 'K'))
      return "\"counter_total\" applies to a counter channel of the 1-Wire plug-in only";
  }
  if (body.contains("calibration")) {
    const auto& v = body["calibration"];
    if (!IsMeasurement(device)) {
      return "\"calibration\" applies to a measured channel of the 1-Wire plug-in only "
             "(temperature, humidity, voltage, current)";
    }
    if (v.is_null()) return {};
    auto pair = [](const nlohmann::json& p) {
      return p.is_array() && p.size() == 2 && p[0].is_number() && p[1].is_number() &&
             std::isfinite(p[0].get<double>()) && std::isfinite(p[1].get<double>());
    };
    if (!v.is_array() || v.size() != 2 || !pair(v[0]) || !pair(v[1])) {
      return "\"calibration\" must be two pairs of a raw and a true value, such as "
             "[[0.4, 0.0], [99.1, 100.0]], or null to remove it";
    }
    if (v[0][0].get<double>() == v[1][0].get<double>())
      return "the two raw values of \"calibration\" must differ";
  }
  return {};
}

void ApplyChannelOptions(const nlohmann::json& body, const DeviceRecord& device) {
  if (body.contains("counter_total"))
    SetCounterTotal(device.iomisc, body["counter_total"].get<bool>());
  if (body.contains("calibration")) {
    const auto& v = body["calibration"];
    SetCalibration(device.iomisc, v.is_null() ? std::nullopt : CalibrationFrom(v));
  }
}

void AddChannelOptions(nlohmann::json& shown, const DeviceRecord& device) {
  if (IsPluginChannel(device, 'K')) shown["counter_total"] = CounterTotalOn(device.iomisc);
  if (IsMeasurement(device)) {
    const auto c = CalibrationOf(device.iomisc);
    shown["calibration"] =
        c ? nlohmann::json{{c->raw1, c->true1}, {c->raw2, c->true2}} : nlohmann::json(nullptr);
    // The reading as the device gave it, before calibration and "Adjustment".
    const auto raw = LastRawReading(device.iomisc);
    shown["raw"] = raw ? nlohmann::json(*raw) : nlohmann::json(nullptr);
  }
}

}  // namespace qb
