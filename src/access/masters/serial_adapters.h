#pragma once

namespace qb::access {

class OneWireAccessProvider;

// Registers the serial adapters built on the DS2480B line driver: "DS9097U" and "DS1411". Their
// port is the path of a tty device ("/dev/ttyUSB0"); opening one configures the chip and fails
// with a GeneralFailure when no DS2480B answers there.
void RegisterSerialAdapters(OneWireAccessProvider& provider);

}  // namespace qb::access
