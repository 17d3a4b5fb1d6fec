#pragma once

#include <functional>
#include <string>

namespace qb::access {

class OneWireAccessProvider;

// Registers the serial adapters. Their port is the path of a tty device ("/dev/ttyS0",
// "/dev/ttyUSB0"):
// - "DS9097U" and "DS1411", built on the DS2480B line driver: opening one configures the chip and
//   fails with a GeneralFailure when no DS2480B answers there;
// - "DS9097E" and "DS9097", passive adapters: opening one fails when nothing echoes there. Notes
//   such as a missing strong pull-up go to `log` (stderr when not set).
// The parallel-port adapters "DS1410E" and "DS1410D" are registered to refuse with a message that
// names the supported adapters.
void RegisterSerialAdapters(OneWireAccessProvider& provider,
                            std::function<void(const std::string&)> log = {});

}  // namespace qb::access
