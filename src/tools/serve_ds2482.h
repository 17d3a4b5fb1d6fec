#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qb {

// What `serve --ds2482` serves and runs.
struct DS2482ServeOptions {
  std::string bus_file;
  int channels = 1;    // 1: a DS2482-100; 8: a DS2482-800, every channel with the bus file
  int address = 0x18;  // the bridge's I2C address
  int bus_number = 1;  // the node /dev/i2c-N
  std::vector<std::string> command;  // the program to run against it, and its arguments
};

// Serves the bus file behind an emulated DS2482 on an emulated /dev/i2c-N and runs the command
// against it; returns the command's exit status. Starts itself again under umockdev-wrapper
// (with `self_args`, its own command line) when umockdev's preload is not loaded yet. The number
// of I2C transactions the command made goes to `err` when it ends.
int ServeDS2482(const DS2482ServeOptions& o, const std::vector<std::string>& self_args,
                std::ostream& err);

}  // namespace qb
