#pragma once

#include <string>
#include <vector>

namespace qb {

// The program entry: parses the command line, and in stand-alone mode runs the plug-in with the
// built-in host until it is stopped (SIGINT or SIGTERM). Returns the process exit status.
int RunProgram(const std::vector<std::string>& args);

}  // namespace qb
