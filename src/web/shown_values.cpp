#include "web/shown_values.h"

#include "core/plugin_state.h"
#include "onewire/device_reading.h"
#include "registry/records.h"
#include "web/device_list.h"

namespace qb {

namespace {

// The unit a device page's reading block puts after the value: as the page chooses it by the
// key's last letter (a third A/D input is in volts on a part with four of them, else in mV).
std::string ReadingUnit(const DSDevice& d, int caps) {
  switch (d.ROM.back()) {
    case 'G':
    case 'H':
    case 'J':
      return "V";
    case 'M':
      return TempUnit();
    case 'N':
      return "%";
    case 'I':
      return (caps & 0x8) ? "V" : "mV";
    default:
      return {};
  }
}

}  // namespace

std::vector<ShownValue> ShownValues() {
  std::vector<ShownValue> out;
  const bool append = Plugin().settings.Append;
  // Copies of the lists, as the device list walks them.
  const auto roms = gROMs().ROMlist;
  for (const auto& rom : roms) {
    if (!rom || !rom->Devices) continue;
    const auto devices = rom->Devices->DevList;
    for (const auto& d : devices) {
      if (!d || d->ROM.size() < 16) continue;
      ShownValue v;
      v.key = d->ROM;
      const ListValue listed = ListValueOf(*d);
      v.list_class = listed.cell_class;
      v.list_text = listed.text;
      v.changed = LastChangeText(*d);
      v.value = d->HSString;
      v.reading = d->HSString + (append ? std::string() : ReadingUnit(*d, rom->Caps));
      out.push_back(std::move(v));
    }
  }
  return out;
}

}  // namespace qb
