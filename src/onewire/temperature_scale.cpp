#include "onewire/temperature_scale.h"

#include "core/host_calls.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/device_reading.h"
#include "platform/settings_store.h"
#include "registry/records.h"
#include "registry/value_text.h"
#include "registry/value_update.h"

namespace qb {

void ConvertShownTemperatures(bool was_fahrenheit) {
  const bool fahrenheit = Plugin().settings.Range;
  if (fahrenheit == was_fahrenheit) return;
  int converted = 0;
  const auto roms = gROMs().ROMlist;  // a copy: the host calls below let events run
  for (const auto& rom : roms) {
    if (!rom || !rom->Devices) continue;
    const auto devices = rom->Devices->DevList;
    for (const auto& d : devices) {
      if (!d || d->ROM.size() != 17 || d->ROM.back() != 'M' || d->dc == -1 || d->hc.empty())
        continue;
      std::string shown;
      try {
        shown = Host().DeviceString(d->Code());
      } catch (const std::exception&) {
        continue;
      }
      if (shown.empty()) continue;  // not read yet: nothing to convert
      const double adj = ReadNumber(Store().GetOr("Adjustment", d->ROM, "0"));
      const double before =
          (d->HSString == shown ? d->Reading : ReadNumber(CleanNumberText(shown))) - adj;
      const double now = fahrenheit ? ToFahrenheit(before) : RoundToDecimals((before - 32) * 5 / 9);
      if (UpdateHSDev(*d, now, TempUnit())) ++converted;
    }
  }
  WriteLog(LogClass::Updates, "1-Wire Settings",
           std::string("Temperatures are shown in ") + (fahrenheit ? "Fahrenheit" : "Centigrade") +
               " now; " + std::to_string(converted) + " value(s) converted");
}

}  // namespace qb
