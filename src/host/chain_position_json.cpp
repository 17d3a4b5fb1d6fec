#include "host/chain_position_json.h"

#include "core/hspi.h"
#include "registry/records.h"

namespace qb {

nlohmann::json ChainPositionJson(const DeviceRecord& device) {
  if (device.interface != kPluginName || device.iomisc.size() < 16) return nullptr;
  // FindParent never adds a device: a request must not create registry entries.
  const auto rom = gROMs().FindParent(device.iomisc);
  if (!rom || rom->ChainPosition <= 0) return nullptr;
  return rom->ChainPosition;
}

}  // namespace qb
