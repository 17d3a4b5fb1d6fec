#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/clock.h"
#include "sim/sim_bus.h"

namespace qb::access {
class OneWireAccessProvider;
}

namespace qb::sim {

// A bus file holds at most this many devices: far more than a real 1-Wire bus carries, and few
// enough that a search of the whole simulated bus ends in seconds.
inline constexpr size_t kMaxBusFileDevices = 1000;
// A bus file larger than this is refused before it is parsed (a parsed document takes several
// times its size in memory).
inline constexpr uintmax_t kMaxBusFileBytes = 32u * 1024 * 1024;

// Loads a bus file (JSON, described in docs/bus-file.md) into a simulated bus on `clock`.
// Throws std::runtime_error naming the file and, for a bad device, the device.
std::shared_ptr<SimBus> LoadBusFile(const std::string& path, Clock& clock);
// The same for a parsed document; `source` names it in messages.
std::shared_ptr<SimBus> BuildBus(const nlohmann::json& doc, Clock& clock,
                                 const std::string& source);

// The keys a device of this family takes in a bus file (besides "rom", "present", "faults" and
// "comment"); empty when the simulator has no model of the family.
std::vector<std::string> FamilyKeys(uint8_t family);

// Registers the adapter type "SIM": its port is a bus file path, loaded on `clock`.
void RegisterSimAdapter(access::OneWireAccessProvider& provider, Clock& clock);

}  // namespace qb::sim
