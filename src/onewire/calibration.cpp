#include "onewire/calibration.h"

#include <cmath>
#include <sstream>

#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/onewire_state.h"
#include "platform/settings_store.h"
#include "registry/value_text.h"
#include "registry/value_update.h"

namespace qb {

namespace {

constexpr const char* kSection = "Calibration";

}  // namespace

std::optional<Calibration> CalibrationOf(const std::string& key) {
  const std::string stored = Store().GetOr(kSection, key, "");
  if (stored.empty()) return std::nullopt;
  double v[4];
  std::stringstream in(stored);
  std::string part;
  for (double& x : v) {
    if (!std::getline(in, part, ',')) return std::nullopt;
    x = ReadNumber(part);
  }
  Calibration c{v[0], v[1], v[2], v[3]};
  if (!(c.raw1 != c.raw2) || !std::isfinite(c.raw1 + c.raw2 + c.true1 + c.true2))
    return std::nullopt;
  return c;
}

void SetCalibration(const std::string& key, const std::optional<Calibration>& c) {
  if (!c) {
    Store().Set(kSection, key, "");
    WriteLog(LogClass::Always, "1-Wire I/F", "Channel " + key + " has no calibration now");
    return;
  }
  Store().Set(kSection, key,
              PlainNumberText(c->raw1) + "," + PlainNumberText(c->true1) + "," +
                  PlainNumberText(c->raw2) + "," + PlainNumberText(c->true2));
  WriteLog(LogClass::Always, "1-Wire I/F",
           "Channel " + key + " is calibrated: " + PlainNumberText(c->raw1) + " reads as " +
               PlainNumberText(c->true1) + ", " + PlainNumberText(c->raw2) + " as " +
               PlainNumberText(c->true2));
}

double Calibrated(const std::string& key, double raw) {
  OneWire().last_raw[key] = raw;
  const auto c = CalibrationOf(key);
  if (!c) return raw;
  return c->true1 + (raw - c->raw1) * (c->true2 - c->true1) / (c->raw2 - c->raw1);
}

std::optional<double> LastRawReading(const std::string& key) {
  const auto& raw = OneWire().last_raw;
  const auto it = raw.find(key);
  if (it == raw.end()) return std::nullopt;
  return it->second;
}

}  // namespace qb
