#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qb::bench {

// The output of a shell command.
std::string Capture(const std::string& command);
// A loopback TCP port free at the moment of asking.
int FreePort();
// Whether a program is on the PATH.
bool Installed(const char* program);

// owserver started on an emulated adapter: it lists the thermometers (family 28), then each
// temperature is read uncached with owread, as the adapter benchmarks compare with our reads.
struct OwserverSetup {
  std::string device_option;  // owserver's adapter option ("--device=/tmp/tty", "--passive=...")
  std::string preload;        // LD_PRELOAD for owserver, or empty
  // A command owserver runs under (its arguments follow), such as the bus tool serving an
  // emulated USB adapter; empty: owserver runs on its own.
  std::vector<std::string> command_prefix;
  size_t thermometers = 0;  // how many the bus holds
  // The temperature the bus file gives a device ("28.0000...01"-style id from owdir).
  std::function<double(const std::string& owfs_id)> expected;
  // The adapter's line count so far (bytes or characters, as the benchmark counts them).
  std::function<uint64_t()> line_count;
};
struct OwserverReads {
  uint64_t line = 0;  // line_count's growth during the reads
  double seconds = 0;
  int wrong = 0;  // temperatures read wrong or not at all
};
OwserverReads ReadThroughOwserver(const OwserverSetup& setup);

}  // namespace qb::bench
