// Reads every thermometer of a simulated bus of DS18B20s through an emulated DS2482-100 on an
// emulated /dev/i2c-1 (umockdev): once with our master, and (when owserver and owread are
// installed) once with owserver's I2C option on the same emulation, each temperature read
// uncached. Prints the I2C transactions the emulated bridge served during the reads, per reading,
// beside the fewest a reading can take with this bridge, and the wall time per reading beside the
// time the reading's bus operations take on the wire.
//
//   ds2482_bench [DEVICE_COUNT...]     (default: 10)
//   ds2482_bench --short               (one device: the quick run the test suite makes)
//
// The benchmark starts itself again under umockdev-wrapper. The exit status is 1 when either
// reader read a temperature wrong or missed a device.
//
// Every read starts a conversion (750 ms at 12 bits, in real time here), so the wall time is
// mostly conversions for both; the transactions show the protocol's cost.

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "access/adapter.h"
#include "access/families.h"
#include "access/masters/ds2482_master.h"
#include "access/masters/i2c_device.h"
#include "owserver_reads.h"
#include "platform/clock.h"
#include "sim/emulations/ds2482_emulator.h"
#include "sim/emulations/i2c_dev_server.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace {

using namespace qb;
using Seconds = std::chrono::duration<double>;

// The fewest I2C transactions one reading takes with a DS2482 (a 1-Wire command is a write and at
// least one status read; a byte read adds the data register's read): two resets, Match ROM with
// the ROM id twice, Convert T under the strong pull-up (configuration written before and after,
// each read back), Read Scratchpad and its nine bytes.
constexpr int kFloorTransactions = 2 * 2 + 2 * 9 * 2 + 2 + 2 * 2 + 2 + 9 * 3;

struct Run {
  bool done = false;
  uint64_t transactions = 0;
  double seconds = 0;
  double wire_seconds = 0;  // ours: the bus time of the reads' operations
  int wrong = 0;
};

struct Bus {
  explicit Bus(int count) {
    for (int i = 0; i < count; ++i) {
      const auto rom = access::RomId::Make(0x28, 0x1000 + static_cast<uint64_t>(i) * 7919);
      const double celsius = 15.0 + i * 0.0625;
      bus->Add(sim::MakeDS18B20Model(rom, nlohmann::json{{"temperature", celsius}}));
      roms.push_back(rom);
      temperatures.push_back(celsius);
    }
    chip = std::make_shared<sim::DS2482Emulator>(std::vector<std::shared_ptr<sim::SimBus>>{bus});
    server = std::make_unique<sim::I2cDevServer>(chip, 0x18);
    server->Start();
  }
  double Expected(const std::string& owfs_id) const {
    for (size_t i = 0; i < roms.size(); ++i)
      if (access::BytesToHexText(&roms[i].bytes[0], 1) + "." +
              access::BytesToHexText(&roms[i].bytes[1], 6) ==
          owfs_id)
        return temperatures[i];
    return NAN;
  }

  SystemClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  std::vector<access::RomId> roms;
  std::vector<double> temperatures;
  std::shared_ptr<sim::DS2482Emulator> chip;
  std::unique_ptr<sim::I2cDevServer> server;
};

Run Ours(int count) {
  Bus b(count);
  Run run;
  auto master = std::make_unique<access::DS2482Master>(
      std::make_unique<access::I2cDevice>(b.server->NodePath(), 0x18), std::nullopt);
  master->Open();
  access::DS2482Master* m = master.get();
  access::DSPortAdapter adapter("DS2482", b.server->NodePath() + ":0x18", std::move(master));
  size_t found = 0;
  for (bool more = adapter.findFirstDevice(); more; more = adapter.findNextDevice()) ++found;
  if (found != b.roms.size()) {
    std::printf("  ours: the search found %zu of %zu devices\n", found, b.roms.size());
    run.wrong += std::abs(static_cast<int>(b.roms.size()) - static_cast<int>(found));
  }
  const uint64_t before = b.server->Transactions();
  m->ClearStats();
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
  run.wire_seconds = access::BusTimeMicros(m->Stats()) / 1e6;
  run.transactions = b.server->Transactions() - before;
  adapter.freePort();
  run.done = true;
  return run;
}

Run Owserver(int count) {
  if (!bench::Installed("owserver") || !bench::Installed("owread") || !bench::Installed("owdir"))
    return Run{};
  Bus b(count);
  bench::OwserverSetup setup;
  setup.device_option = "--i2c=" + b.server->NodePath() + ":0x18";
  setup.thermometers = b.roms.size();
  setup.expected = [&b](const std::string& id) { return b.Expected(id); };
  setup.line_count = [&b] { return b.server->Transactions(); };
  const bench::OwserverReads reads = bench::ReadThroughOwserver(setup);
  Run run;
  run.transactions = reads.line;
  run.seconds = reads.seconds;
  run.wrong = reads.wrong;
  run.done = true;
  return run;
}

void Print(int count, const char* reader, const Run& r) {
  std::printf("%8d  %-9s %10.1f %10d %9.3f %9.3f %6d\n", count, reader,
              static_cast<double>(r.transactions) / count, kFloorTransactions, r.seconds / count,
              r.wire_seconds / count, r.wrong);
}

}  // namespace

int main(int argc, char** argv) {
  if (!sim::I2cDevServer::UnderUmockdev()) {
    std::vector<char*> args = {const_cast<char*>("umockdev-wrapper")};
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    args.push_back(self);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    execvp(args[0], args.data());
    std::fprintf(stderr, "ds2482_bench: cannot start umockdev-wrapper: %s\n", std::strerror(errno));
    return 1;
  }
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const int count = arg == "--short" ? 1 : std::atoi(argv[i]);
    if (count <= 0) {
      std::fprintf(stderr, "usage: ds2482_bench [--short | DEVICE_COUNT...]\n");
      return 2;
    }
    counts.push_back(count);
  }
  if (counts.empty()) counts = {10};
  int wrong = 0;
  std::printf("Reading every DS18B20 of the bus through an emulated DS2482-100 on /dev/i2c-1\n");
  std::printf("%8s  %-9s %10s %10s %9s %9s %6s\n", "devices", "reader", "I2C/read", "floor",
              "s/read", "wire s", "wrong");
  for (int count : counts) {
    const Run ours = Ours(count);
    wrong += ours.wrong;
    Print(count, "ours", ours);
    const Run ow = Owserver(count);
    wrong += ow.wrong;
    if (!ow.done) {
      std::printf("%8d  %-9s (owserver, owdir or owread is not installed)\n", count, "owserver");
      continue;
    }
    Print(count, "owserver", ow);
    std::printf("%8d  %-9s %10.2f %10s %9.2f\n", count, "ours/ow",
                ow.transactions
                    ? static_cast<double>(ours.transactions) / static_cast<double>(ow.transactions)
                    : 0.0,
                "", ow.seconds > 0 ? ours.seconds / ow.seconds : 0.0);
  }
  if (wrong > 0) {
    std::printf("%d temperatures were read wrong or not at all\n", wrong);
    return 1;
  }
  return 0;
}
