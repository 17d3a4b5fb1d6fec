// What the serve modes of the bus tool share: loading the bus they serve, and the argument list
// of the command they run beside it.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/sim_bus.h"

namespace qb {

// Loads the bus file; on failure writes why to `err` and returns null.
std::shared_ptr<sim::SimBus> LoadServedBus(const std::string& bus_file, Clock& clock,
                                           std::ostream& err);

// The argv of `args` for execvp: pointers into `args`, which must outlive it, then a null.
std::vector<char*> ExecArgv(std::vector<std::string>& args);

}  // namespace qb
