// Starting the bus tool again under umockdev's preload library, for the serve modes whose
// emulated device nodes exist only for programs under that library.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qb {

// Runs the bus tool again with `self_args` under umockdev-wrapper; returns (1) only when that
// fails, or when this process already is that second start and the preload still did not load
// (which would otherwise restart for ever). `needs` says what the emulation is, for the error.
int RestartUnderUmockdev(const std::vector<std::string>& self_args, const std::string& needs,
                         std::ostream& err);

}  // namespace qb
