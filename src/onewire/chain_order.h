#pragma once

#include <set>
#include <string>

#include "access/adapter.h"

namespace qb {

// The settings key (section "Settings") that asks for the chain scan of the thermometers with
// chain mode (family 42): "1" on, anything else off.
inline constexpr const char* kChainOrderKey = "ChainOrder";

// After an enumeration that found `found` (ROM ids): when the setting asks for it and the
// family-42 devices on the bus differ from those of the last chain scan, finds their order along
// the cable and gives each its position (DSROM::ChainPosition, 1 the first; 0 for one the chain
// did not reach). A failed scan is logged and leaves the positions unknown (0); it is tried
// again at the next enumeration.
void UpdateChainOrder(access::DSPortAdapter& adapter, const std::set<std::string>& found);

}  // namespace qb
