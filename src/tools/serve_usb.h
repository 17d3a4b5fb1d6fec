#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qb {

// Runs `command` with the bus file served as an emulated DS9490R USB adapter and returns its exit
// status (1 when the emulation could not start, 127 when the command could not run). Not under
// umockdev's preload library yet, the bus tool runs itself again under umockdev-wrapper with
// `tool_args`. While the command runs, SIGUSR1 unplugs the adapter and SIGUSR2 plugs it in again;
// SIGINT and SIGTERM are passed on to the command.
int ServeUsb(const std::vector<std::string>& tool_args, const std::string& bus_file,
             const std::vector<std::string>& command, std::ostream& err);

}  // namespace qb
