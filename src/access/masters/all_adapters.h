// Every real adapter type this system drives, registered at once, with adapter detection behind
// openDefaultAdapter's fallback.
#pragma once

#include <functional>
#include <string>

namespace qb::access {

class OneWireAccessProvider;

// Registers the serial (DS2480B, passive), USB DS2490, DS2482 and kernel-master adapter types and
// the detection openDefaultAdapter falls back on; `note` takes what the adapters and the
// detection have to say (a missing strong pull-up, a detected adapter taken).
void RegisterHardwareAdapters(OneWireAccessProvider& provider,
                              const std::function<void(const std::string&)>& note);

}  // namespace qb::access
