#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qb {

// Runs `command` with its netlink connector sockets reaching a kernel emulated on the bus file
// (one 1-Wire master, w1_bus_master1), and returns the command's exit status. With
// `refuse_join` the emulated kernel refuses the 1-Wire group, as to a program without
// CAP_NET_ADMIN. SIGUSR1 to the bus tool removes the master, SIGUSR2 adds it again (as a driver
// unloaded and loaded). Errors (the bus file, the preloaded library not found) go to `err`,
// status 1.
int ServeW1(const std::string& bus_file, bool refuse_join, const std::vector<std::string>& command,
            std::ostream& err);

}  // namespace qb
