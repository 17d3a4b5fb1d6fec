// Reads every thermometer of a simulated bus of DS18B20s through the emulated DS9490R (USB,
// DS2490; `quellbrook-bus serve --ds2490`): once with our master, and (when owserver and owread
// are installed) once with owserver's USB option through the same emulation, each temperature
// read uncached. Prints the USB transfers the reader made during the reads (control, bulk and
// interrupt, counted by the emulation), the wall time, and the ratio ours / owserver.
//
//   ds2490_bench [DEVICE_COUNT...]     (default: 10)
//   ds2490_bench --short               (one device: the quick run the test suite makes)
//
// The exit status is 1 when either reader read a temperature wrong or missed a device.
//
// Every read starts a conversion on the device (750 ms at 12 bits, in real time here), so the
// wall time is mostly conversions for both; the transfers show the protocol's cost. umockdev's
// emulated device node always polls ready, so a waiting libusb spins: the wall time is not a
// measure of CPU.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "access/adapter.h"
#include "access/families.h"
#include "access/masters/usb_adapters.h"
#include "access/provider.h"
#include "access/rom.h"
#include "owserver_reads.h"

namespace {

using namespace qb;
using Seconds = std::chrono::duration<double>;

struct Run {
  bool done = false;
  uint64_t transfers = 0;
  double seconds = 0;
  int wrong = 0;
};

// Transfers the emulation has traced to `path` so far: one line each.
uint64_t TracedTransfers(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  uint64_t n = 0;
  while (std::getline(in, line)) ++n;
  return n;
}

struct Bus {
  Bus(int count, const std::string& dir) {
    nlohmann::json devices = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
      const auto rom = access::RomId::Make(0x28, 0x1000 + static_cast<uint64_t>(i) * 7919);
      const double celsius = 15.0 + i * 0.0625;
      devices.push_back({{"rom", rom.ToString()}, {"temperature", celsius}});
      roms.push_back(rom);
      temperatures.push_back(celsius);
    }
    file = dir + "/bus-" + std::to_string(count) + ".json";
    std::ofstream(file) << nlohmann::json{{"devices", devices}}.dump(2);
  }
  double Expected(const access::RomId& rom) const {
    for (size_t i = 0; i < roms.size(); ++i)
      if (roms[i] == rom) return temperatures[i];
    return NAN;
  }
  double Expected(const std::string& owfs_id) const {
    for (const auto& rom : roms)
      if (access::BytesToHexText(&rom.bytes[0], 1) + "." +
              access::BytesToHexText(&rom.bytes[1], 6) ==
          owfs_id)
        return Expected(rom);
    return NAN;
  }

  std::vector<access::RomId> roms;
  std::vector<double> temperatures;
  std::string file;
};

// Runs under the emulation (started by Ours): opens the adapter, searches, then reads each
// thermometer and prints "result TRANSFERS SECONDS WRONG".
int Child(const std::string& bus_file) {
  const char* trace = std::getenv("QB_USB_TRACE");
  std::ifstream in(bus_file);
  const auto file = nlohmann::json::parse(in);
  access::OneWireAccessProvider provider;
  access::RegisterUsbAdapters(provider, [](const std::string&) {});
  int wrong = 0;
  try {
    auto adapter = provider.openAdapter("DS2490", "USB");
    std::vector<access::RomId> found;
    for (bool more = adapter->findFirstDevice(); more; more = adapter->findNextDevice())
      if (adapter->getAddress().family() == 0x28) found.push_back(adapter->getAddress());
    wrong += std::abs(static_cast<int>(file["devices"].size()) - static_cast<int>(found.size()));
    const uint64_t before = TracedTransfers(trace);
    const auto start = std::chrono::steady_clock::now();
    for (const auto& d : file["devices"]) {
      auto c = access::CreateContainer(0x28);
      c->SetupContainer(adapter.get(), d["rom"].get<std::string>());
      try {
        access::DeviceState s = c->readDevice();
        c->doTemperatureConvert(s);
        if (c->getTemperature(s) != d["temperature"].get<double>()) ++wrong;
      } catch (const access::AccessError& e) {
        std::printf("  ours: %s\n", e.what());
        ++wrong;
      }
    }
    const double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    std::printf("result %llu %f %d\n",
                static_cast<unsigned long long>(TracedTransfers(trace) - before), seconds, wrong);
  } catch (const access::AccessError& e) {
    std::printf("  ours: %s\n", e.what());
    return 1;
  }
  return 0;
}

std::string SelfPath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

Run Ours(const Bus& b, const std::string& dir) {
  Run run;
  const std::string trace = dir + "/ours.trace";
  const std::string out =
      bench::Capture("QB_USB_TRACE=" + trace + " " QB_BUS_TOOL_PATH + " serve --bus " + b.file +
                     " --ds2490 -- " + SelfPath() + " --child " + b.file + " 2>&1");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    unsigned long long transfers = 0;
    if (std::sscanf(line.c_str(), "result %llu %lf %d", &transfers, &run.seconds, &run.wrong) ==
        3) {
      run.transfers = transfers;
      run.done = true;
    } else if (line.rfind("  ours:", 0) == 0) {
      std::printf("%s\n", line.c_str());
    }
  }
  if (!run.done) {
    std::printf("  ours: no result from the emulation:\n%s\n", out.c_str());
    run.wrong = static_cast<int>(b.roms.size());
  }
  return run;
}

Run Owserver(const Bus& b, const std::string& dir) {
  if (!bench::Installed("owserver") || !bench::Installed("owread") || !bench::Installed("owdir"))
    return Run{};
  const std::string trace = dir + "/owserver.trace";
  setenv("QB_USB_TRACE", trace.c_str(), 1);
  bench::OwserverSetup setup;
  setup.command_prefix = {QB_BUS_TOOL_PATH, "serve", "--bus", b.file, "--ds2490", "--"};
  setup.device_option = "-u";
  setup.thermometers = b.roms.size();
  setup.expected = [&b](const std::string& id) { return b.Expected(id); };
  setup.line_count = [&trace] { return TracedTransfers(trace); };
  const bench::OwserverReads reads = bench::ReadThroughOwserver(setup);
  unsetenv("QB_USB_TRACE");
  Run run;
  run.transfers = reads.line;
  run.seconds = reads.seconds;
  run.wrong = reads.wrong;
  run.done = true;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--child") return Child(argv[2]);
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const int count = arg == "--short" ? 1 : std::atoi(argv[i]);
    if (count <= 0) {
      std::fprintf(stderr, "usage: ds2490_bench [--short | DEVICE_COUNT...]\n");
      return 2;
    }
    counts.push_back(count);
  }
  if (counts.empty()) counts = {10};
  int wrong = 0;

  char pattern[] = "/tmp/qb-ds2490-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  std::printf("Reading every DS18B20 of the bus through an emulated DS9490R (USB)\n");
  std::printf("%8s  %-9s %10s %10s %8s %6s\n", "devices", "reader", "transfers", "per dev",
              "seconds", "wrong");
  for (int count : counts) {
    const Bus b(count, dir);
    const Run ours = Ours(b, dir);
    wrong += ours.wrong;
    std::printf("%8d  %-9s %10llu %10.1f %8.2f %6d\n", count, "ours",
                static_cast<unsigned long long>(ours.transfers),
                static_cast<double>(ours.transfers) / count, ours.seconds, ours.wrong);
    const Run ow = Owserver(b, dir);
    wrong += ow.wrong;
    if (!ow.done) {
      std::printf("%8d  %-9s (owserver, owdir or owread is not installed)\n", count, "owserver");
      continue;
    }
    std::printf("%8d  %-9s %10llu %10.1f %8.2f %6d\n", count, "owserver",
                static_cast<unsigned long long>(ow.transfers),
                static_cast<double>(ow.transfers) / count, ow.seconds, ow.wrong);
    std::printf("%8d  %-9s %10.2f %10s %8.2f\n", count, "ours/ow",
                ow.transfers ? static_cast<double>(ours.transfers) / ow.transfers : 0.0, "",
                ow.seconds > 0 ? ours.seconds / ow.seconds : 0.0);
  }
  if (std::getenv("QB_BENCH_KEEP")) {
    std::printf("The USB traces are in %s\n", dir.c_str());
  } else {
    std::filesystem::remove_all(dir);
  }
  if (wrong > 0) {
    std::printf("%d temperatures were read wrong or not at all\n", wrong);
    return 1;
  }
  return 0;
}
