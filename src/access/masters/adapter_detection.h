#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "access/masters/i2c_link.h"
#include "access/masters/serial_link.h"

namespace qb::access {

// An adapter found on this machine: the adapter type and the port text to open it with, and a
// line for a person.
struct FoundAdapter {
  std::string type;  // "DS2490", "DS2482", "W1", "DS9097U"
  std::string port;
  std::string description;
};

// Where detection looks, and how it reaches what it finds (replaced in tests).
struct DetectionOptions {
  std::string dev_root = "/dev";  // i2c-N and the serial ports ttyS0-3, ttyUSB*, ttyACM*
  std::string sys_root = "/sys";  // the kernel's 1-Wire masters under bus/w1/devices
  // Serial ports probed besides those under dev_root (a pseudo-terminal's link, say).
  std::vector<std::string> extra_serial_ports;
  // How long a serial port has to answer the DS2480B's reset.
  std::chrono::milliseconds serial_timeout{150};
  // Detection gives up on what is left after this long.
  std::chrono::milliseconds budget{4000};
  std::function<std::unique_ptr<I2cLink>(const std::string& bus, int address)> open_i2c;
  std::function<std::unique_ptr<SerialLink>(const std::string& path)> open_serial;
  // The USB DS2490 adapters, each with its port by bus and address ("USB:1:4") and a
  // description (libusb when not set).
  std::function<std::vector<FoundAdapter>()> list_usb;
  // What was skipped and why (a node without permission, the time running out).
  std::function<void(const std::string&)> log;
};

// Every adapter detection finds, in the order USB DS2490, DS2482 bridges on each /dev/i2c-N (one
// line per channel of a DS2482-800), the kernel's 1-Wire masters, and serial ports where a
// DS2480B answers.
//
// A DS2482 is probed at 0x18 to 0x1F with a device reset and a read of its status (the reset flag
// must be set); an eight-channel bridge also acknowledges the selection of channel 0. A serial
// port gets a break, the DS2480B's timing byte and one reset command, and is counted only when
// the answer is a DS2480B's reset reply; nothing else is ever written to a serial port.
std::vector<FoundAdapter> DetectAdapters(const DetectionOptions& options = {});

// One line per adapter: type, port text, and the description after two spaces.
std::string FormatFoundAdapter(const FoundAdapter& adapter);

}  // namespace qb::access
