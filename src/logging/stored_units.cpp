#include "logging/stored_units.h"

#include <cctype>
#include <cmath>

#include "catalogue/family_catalogue.h"
#include "core/plugin_state.h"
#include "registry/value_update.h"

namespace qb {

namespace {

bool IsRomId(const std::string& text) {
  if (text.size() < 16) return false;
  for (size_t i = 0; i < 16; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

bool HoldsTemperatures(const std::string& identifier) {
  return KeyHoldsTemperatures(ResolveChartName(identifier));
}

bool KeyHoldsTemperatures(const std::string& key) {
  if (!IsRomId(key)) return false;
  if (key.size() == 17) return key[16] == 'M';
  if (key.size() != 16) return false;
  const uint32_t caps = FamilyCaps(key);
  return (caps & kCapTemperature) &&
         !(caps & (kCapSupplyVoltage | kCapADInput | kCapQuadAD | kCapCurrentSense));
}

namespace {

double ShownTemperature(double celsius, const Settings& s) {
  if (!s.Range) return celsius;
  const double scale = std::pow(10.0, s.SigFigs);
  const double f = celsius * 9 / 5 + 32;
  return std::fabs(f * scale) < 1e15 ? std::round(f * scale) / scale : f;
}

}  // namespace

double ShownTemperature(double celsius) {
  return ShownTemperature(celsius, Plugin().settings);
}

void ShowTemperatures(RecordSet& readings, int32_t value_column) {
  ShowTemperatures(readings, value_column, Plugin().settings);
}

void ShowTemperatures(RecordSet& readings, int32_t value_column, const Settings& settings) {
  if (!settings.Range) return;
  readings.ChangeColumn(value_column, [&settings](const DbValue& v) -> DbValue {
    if (const auto* d = std::get_if<double>(&v)) return ShownTemperature(*d, settings);
    if (const auto* i = std::get_if<int64_t>(&v))
      return ShownTemperature(static_cast<double>(*i), settings);
    return v;
  });
}

}  // namespace qb
