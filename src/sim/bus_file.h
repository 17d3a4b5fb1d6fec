#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// Follows edits of the bus file `path` while `bus` runs: before a reset, at most every 250 ms
// of the bus's clock, the file's size and modification time are looked at; when they changed the
// file is read again. A device whose entry is unchanged is left alone; an edited one takes its
// new values and keeps what the master wrote to it (or starts afresh where its model cannot);
// new devices join and removed ones leave. An edit that does not load (broken JSON, a bad
// device) is reported through `log` once and ignored: the last good bus stays.
void FollowBusFile(SimBus& bus, const std::string& path,
                   std::function<void(const std::string&)> log);

// The keys a device of this family takes in a bus file (besides "rom", "present", "faults" and
// "comment"); empty when the simulator has no model of the family.
std::vector<std::string> FamilyKeys(uint8_t family);

// Registers the adapter type "SIM": its port is a bus file path, loaded on `clock` and followed
// while it runs; reloads and refused edits are reported through `log` (none: not reported).
void RegisterSimAdapter(access::OneWireAccessProvider& provider, Clock& clock,
                        std::function<void(const std::string&)> log = {});

}  // namespace qb::sim
