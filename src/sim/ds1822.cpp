#include "sim/ds1822.h"

#include "sim/models.h"

namespace qb::sim {

std::unique_ptr<SimDevice> MakeDS1822Model(const access::RomId& rom, const nlohmann::json& device) {
  return std::make_unique<DS1822Model>(rom, device);
}

}  // namespace qb::sim
