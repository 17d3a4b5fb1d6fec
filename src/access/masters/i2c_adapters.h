#pragma once

#include <functional>
#include <string>

namespace qb::access {

class OneWireAccessProvider;

// Registers "DS2482", the DS2482-100 and DS2482-800 I2C bridges. The port is the I2C bus node and
// the bridge's address, and for a DS2482-800 the channel: "/dev/i2c-1:0x18", "/dev/i2c-1:0x1B:3".
// Opening one resets and configures the bridge and fails with a GeneralFailure when no DS2482
// answers there. Bridge faults the master survives (a NACK, a reset of the bridge) go to `log`
// (stderr when not set).
void RegisterI2cAdapters(OneWireAccessProvider& provider,
                         std::function<void(const std::string&)> log = {});

}  // namespace qb::access
