#include "onewire/device_info.h"

#include "access/container.h"
#include "catalogue/family_catalogue.h"
#include "onewire/bound_container.h"
#include "onewire/device_config.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb {

namespace {

// The host code of the device's own record or, failing that, of its first channel that has a
// host device; empty when none has. Never creates a record.
std::string HostCodeOf(const std::string& rom) {
  const auto parent = gROMs().FindParent(rom);
  if (!parent) return {};
  const auto devices = parent->Devices;
  std::string code;
  for (const auto& d : devices->DevList) {
    if (d->dc == -1 || d->hc.empty()) continue;
    if (d->ROM == rom) return d->Code();
    if (code.empty()) code = d->Code();
  }
  return code;
}

}  // namespace

std::string DeviceInfo(const std::string& rom, bool with_address) {
  const std::string rom_id = rom.substr(0, 16);
  std::string info;
  try {
    BoundContainer b(rom_id, 3);
    if (!b.ok()) return "Unsupported device";
    access::OneWireContainer& c = b.c();
    info += "Type: " + c.getName() + " Family: " + FamilyCode(rom_id) + "\n";
    info += "Alternate Names: " + c.getAlternateNames() + "\n\n";
    info += c.GetDescription() + "\n\n";
    if (with_address) {
      info += "Address: " + rom_id + "\n";
      if (const std::string code = HostCodeOf(rom_id); !code.empty())
        info += "Hearthmoor Device Code: " + code + "\n";
    }
    if (c.hasSelectableTemperatureResolution()) {
      const access::DeviceState state = c.readDevice();
      info += "Temperature Resolution: " + PlainNumberText(c.getTemperatureResolution(state)) +
              "\u00B0C\n";
    }
  } catch (const std::exception&) {
    // What was read is shown; a device that stops answering has no further lines.
    return info.empty() ? "Unsupported device" : info;
  }
  // Asked on its own hold of the bus, after the one above is released.
  if (const std::string power = PowerSource(rom_id); !power.empty()) info += "Power: " + power;
  return info;
}

}  // namespace qb
