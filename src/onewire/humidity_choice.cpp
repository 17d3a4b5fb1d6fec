#include "onewire/humidity_choice.h"

#include <vector>

#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "platform/settings_store.h"
#include "registry/host_codes.h"
#include "registry/records.h"

namespace qb {

void ChooseHumidityRepresentation(const std::string& rom, bool humidity) {
  Store().Set("DS2438", rom, humidity ? "1" : "0");
  if (auto parent = gROMs().FindParent(rom)) parent->DS2438Humid = humidity ? 1 : 0;
  // The other representation's host devices go; discovery creates the chosen ones.
  for (const char* letter :
       humidity ? std::vector<const char*>{"G", "H"} : std::vector<const char*>{"N"}) {
    const std::string key = rom + letter;
    Skip([&] {
      if (auto device = FindHSDeviceByKey(key)) Host().DeleteDevice(device->ref());
    });
    if (auto parent = gROMs().FindParent(rom)) {
      const auto devices = parent->Devices;
      const auto list = devices->DevList;
      for (const auto& d : list)
        if (d->ROM == key) devices->Remove(*d);
    }
  }
}

}  // namespace qb
