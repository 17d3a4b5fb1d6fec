#pragma once

#include <string>

namespace qb::access {

// How an adapter type is reached: the prefix of its port (as the port was named on the system the
// settings come from: "COM", "LPT", "USB"; none for the simulator), the driver's port type number,
// and the port text this system opens for a stored port number.
struct AdapterPort {
  std::string prefix;
  int port_type = 1;
  std::string port_text;     // what openAdapter gets
  bool clears_port = false;  // USB adapters take no port number
};

// The adapter type table. The first seven characters of the type are compared: DS1410D and
// DS1410E are parallel ("LPT", 2), DS9097U and DS1411 serial DS2480B adapters ("COM", 5), DS2490
// and DS1490 USB ("USB", 6), DS2482 the I2C bridge ("I2C", 7; its port "/dev/i2c-1:0x18" or,
// for a DS2482-800 channel, "/dev/i2c-1:0x18:3", is used as it is), SIM the simulator (its port is
// a bus file path, used as it is), W1 a master of the Linux kernel over netlink (its port: the
// master's number or sysfs name, W1 or empty for the first), anything else a serial port ("COM",
// 1). A serial port number n means /dev/ttyS(n-1); a stored port that starts with "/" is a device
// path and is used as it is.
AdapterPort LookUpAdapterPort(const std::string& adapter_type, const std::string& port_number);

// The adapter type of a driver port type number: 1 DS9097E, 2 DS1410E, 5 DS9097U, 7 DS2482, the
// texts "SIM" the simulator and "W1" a kernel master, anything else DS1490.
std::string AdapterTypeForPortType(const std::string& port_type);

}  // namespace qb::access
