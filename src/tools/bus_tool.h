#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qb {

class Clock;

// The bus tool's command line (without the program name): searches a bus, reads a device's
// values, or describes a device. Writes results to `out` and problems to `err`; returns the exit
// status (0 done, 1 the bus or device failed, 2 a wrong command line). The simulator runs on
// `clock`.
int RunBusTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               Clock& clock);

std::string BusToolUsage();

}  // namespace qb
