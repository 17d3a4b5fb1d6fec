// Reads every thermometer of a simulated bus of DS18B20s through a pseudo-terminal served as a
// DS2480B adapter: once with our master, and (when owserver and owread are installed) once with
// owserver on the same kind of terminal, each temperature read uncached. Prints the bytes that
// crossed the serial line during the reads (counted from the terminal's recording), the wall
// time, and the ratio ours / owserver.
//
//   ds2480b_bench [DEVICE_COUNT...]     (default: 10 100)
//   ds2480b_bench --short               (one device: the quick run the test suite makes)
//
// The exit status is 1 when either reader read a temperature wrong or missed a device, so a run
// that stopped measuring what it claims never passes unseen.
//
// With QB_BENCH_KEEP set, the recordings of the serial line are kept and their folder printed.
//
// owserver runs with tests/support/pty_drain_shim.cpp preloaded (built with the tests), which
// makes tcdrain and tcflush on the pseudo-terminal behave as on a serial line; without it the
// bytes owserver writes right before a flush can be lost and its search does not complete.
//
// Every read starts a conversion on the device (750 ms at 12 bits, in real time here), so the
// wall time is mostly conversions for both; the bytes show the protocol's cost.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "access/adapter.h"
#include "access/families.h"
#include "access/masters/ds2480b_master.h"
#include "access/masters/serial_port.h"
#include "owserver_reads.h"
#include "platform/clock.h"
#include "sim/emulations/pty_server.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace {

using namespace qb;
using Seconds = std::chrono::duration<double>;

struct Run {
  bool done = false;
  uint64_t bytes = 0;  // both directions
  double seconds = 0;
  int wrong = 0;  // temperatures read wrong or not at all
};

// Bytes recorded so far in a recording file ("> C1 17" and "< CD" lines).
uint64_t RecordedBytes(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  uint64_t n = 0;
  while (std::getline(in, line)) {
    if (line.size() < 2 || (line[0] != '>' && line[0] != '<')) continue;
    std::istringstream bytes(line.substr(1));
    std::string hex;
    while (bytes >> hex) ++n;
  }
  return n;
}

struct Bus {
  explicit Bus(int count, const std::string& dir, const std::string& name) {
    for (int i = 0; i < count; ++i) {
      const auto rom = access::RomId::Make(0x28, 0x1000 + static_cast<uint64_t>(i) * 7919);
      const double celsius = 15.0 + i * 0.0625;
      bus->Add(sim::MakeDS18B20Model(rom, nlohmann::json{{"temperature", celsius}}));
      roms.push_back(rom);
      temperatures.push_back(celsius);
    }
    tty = dir + "/" + name;
    recording = dir + "/" + name + ".rec";
    server = std::make_unique<sim::PtyServer>(bus, tty, recording);
    server->Start();
  }
  double Expected(const std::string& owfs_id) const {
    for (size_t i = 0; i < roms.size(); ++i)
      if (OwfsId(roms[i]) == owfs_id) return temperatures[i];
    return NAN;
  }
  // owfs names a device family first, then the six serial number bytes in wire order.
  static std::string OwfsId(const access::RomId& rom) {
    return access::BytesToHexText(&rom.bytes[0], 1) + "." +
           access::BytesToHexText(&rom.bytes[1], 6);
  }

  SystemClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  std::vector<access::RomId> roms;
  std::vector<double> temperatures;
  std::string tty, recording;
  std::unique_ptr<sim::PtyServer> server;
};

Run Ours(int count, const std::string& dir) {
  Bus b(count, dir, "ours-" + std::to_string(count));
  Run run;
  auto master =
      std::make_unique<access::DS2480BMaster>(std::make_unique<access::SerialPort>(b.tty));
  master->Open();
  access::DSPortAdapter adapter("DS9097U", b.tty, std::move(master));
  std::vector<access::RomId> found;
  for (bool more = adapter.findFirstDevice(); more; more = adapter.findNextDevice())
    found.push_back(adapter.getAddress());
  if (found.size() != b.roms.size()) {
    std::printf("  ours: the search found %zu of %zu devices\n", found.size(), b.roms.size());
    run.wrong += std::abs(static_cast<int>(b.roms.size()) - static_cast<int>(found.size()));
  }

  const uint64_t before = RecordedBytes(b.recording);
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < b.roms.size(); ++i) {
    auto c = access::CreateContainer(0x28);
    c->SetupContainer(&adapter, b.roms[i].ToString());
    try {
      access::DeviceState s = c->readDevice();
      c->doTemperatureConvert(s);
      if (c->getTemperature(s) != b.temperatures[i]) ++run.wrong;
    } catch (const access::AccessError& e) {
      std::printf("  ours: %s\n", e.what());
      ++run.wrong;
    }
  }
  run.seconds = Seconds(std::chrono::steady_clock::now() - start).count();
  adapter.freePort();
  b.server->Stop();
  run.bytes = RecordedBytes(b.recording) - before;
  run.done = true;
  return run;
}

// owserver on a fresh terminal: lists the devices, then reads each temperature uncached.
Run OwserverRun(int count, const std::string& dir) {
  Run run;
  Bus b(count, dir, "owserver-" + std::to_string(count));
  qb::bench::OwserverSetup setup;
  setup.device_option = "--device=" + b.tty;
#ifdef QB_PTY_DRAIN_SHIM
  // tcdrain and tcflush on the pseudo-terminal as on a serial line (see the shim's source).
  setup.preload = QB_PTY_DRAIN_SHIM;
#endif
  setup.thermometers = b.roms.size();
  setup.expected = [&b](const std::string& id) { return b.Expected(id); };
  setup.line_count = [&b] { return RecordedBytes(b.recording); };
  const qb::bench::OwserverReads reads = qb::bench::ReadThroughOwserver(setup);
  run.bytes = reads.line;
  run.seconds = reads.seconds;
  run.wrong = reads.wrong;
  b.server->Stop();
  run.done = true;
  return run;
}

Run Owserver(int count, const std::string& dir) {
  if (!qb::bench::Installed("owserver") || !qb::bench::Installed("owread") ||
      !qb::bench::Installed("owdir"))
    return Run{};
  return OwserverRun(count, dir);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const int count = arg == "--short" ? 1 : std::atoi(argv[i]);
    if (count <= 0) {
      std::fprintf(stderr, "usage: ds2480b_bench [--short | DEVICE_COUNT...]\n");
      return 2;
    }
    counts.push_back(count);
  }
  if (counts.empty()) counts = {10, 100};
  int wrong = 0;

  char pattern[] = "/tmp/qb-ds2480b-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  std::printf("Reading every DS18B20 of the bus through a DS2480B on a pseudo-terminal\n");
  std::printf("%8s  %-9s %12s %10s %8s %6s\n", "devices", "reader", "line bytes", "bytes/dev",
              "seconds", "wrong");
  for (int count : counts) {
    const Run ours = Ours(count, dir);
    wrong += ours.wrong;
    std::printf("%8d  %-9s %12llu %10.1f %8.2f %6d\n", count, "ours",
                static_cast<unsigned long long>(ours.bytes),
                static_cast<double>(ours.bytes) / count, ours.seconds, ours.wrong);
    const Run ow = Owserver(count, dir);
    wrong += ow.wrong;
    if (!ow.done) {
      std::printf("%8d  %-9s (owserver, owdir or owread is not installed)\n", count, "owserver");
      continue;
    }
    std::printf("%8d  %-9s %12llu %10.1f %8.2f %6d\n", count, "owserver",
                static_cast<unsigned long long>(ow.bytes), static_cast<double>(ow.bytes) / count,
                ow.seconds, ow.wrong);
    std::printf("%8d  %-9s %12.2f %10s %8.2f\n", count, "ours/ow",
                ow.bytes ? static_cast<double>(ours.bytes) / static_cast<double>(ow.bytes) : 0.0,
                "", ow.seconds > 0 ? ours.seconds / ow.seconds : 0.0);
  }
  if (std::getenv("QB_BENCH_KEEP")) {
    std::printf("The serial line recordings are in %s\n", dir.c_str());
  } else {
    std::filesystem::remove_all(dir);
  }
  if (wrong > 0) {
    std::printf("%d temperatures were read wrong or not at all\n", wrong);
    return 1;
  }
  return 0;
}
