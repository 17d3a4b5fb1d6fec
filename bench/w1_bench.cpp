// Reads DS18B20s through a kernel 1-Wire master over netlink, the kernel emulated on a simulated
// bus, and prints per reading the netlink packets (requests sent, reply packets received), the
// wall time, and the physical floor: the time the bus operations of the reading (resets and time
// slots at standard speed, the conversion not counted) take on the wire.
//
// Two paths:
// - in process: the master's packets go straight to the emulated kernel, the conversions pass in
//   simulated time, so the wall time is what our side and the emulation cost per reading;
// - through the socket: this program runs again under `quellbrook-bus serve --w1`, its netlink
//   socket reaching the emulated kernel in the bus tool through the preloaded library, reading the
//   scratchpads (select and read, no conversion: that runs in real time there) — the cost of a
//   netlink round trip between processes, as against a kernel.
//
//   w1_bench [DEVICE_COUNT...]   (default: 10 50)
//   w1_bench --short             (one device, few rounds: the quick run the test suite makes)
//
// The exit status is 1 when a temperature was read wrong or a device was missed.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "access/adapter.h"
#include "access/families.h"
#include "access/masters/w1_kernel_master.h"
#include "access/masters/w1_netlink_socket.h"
#include "platform/clock.h"
#include "sim/emulations/emulated_w1_channel.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace {

using namespace qb;
using Micros = std::chrono::duration<double, std::micro>;

access::RomId RomOf(int i) {
  return access::RomId::Make(0x28, 0x2000 + static_cast<uint64_t>(i) * 7919);
}
double CelsiusOf(int i) {
  return 10.0 + i * 0.0625;
}

struct Result {
  double requests = 0, replies = 0, wall_us = 0, floor_us = 0;
  int wrong = 0;
};

void Print(const char* path, int devices, const Result& r) {
  std::printf(
      "%-16s %4d devices: %5.2f requests + %5.2f reply packets, %8.1f us wall, %8.1f us bus "
      "floor per reading (wall/floor %.3f)\n",
      path, devices, r.requests, r.replies, r.wall_us, r.floor_us,
      r.floor_us > 0 ? r.wall_us / r.floor_us : 0.0);
}

// Reads `rounds` times every device with a conversion, on simulated time, in this process.
Result InProcess(int devices, int rounds) {
  SimulatedClock clock;
  auto bus = std::make_shared<sim::SimBus>(clock);
  for (int i = 0; i < devices; ++i)
    bus->Add(sim::MakeDS18B20Model(RomOf(i), nlohmann::json{{"temperature", CelsiusOf(i)}}));
  auto kernel = std::make_shared<sim::W1KernelEmulator>(bus);
  access::W1KernelMaster::Options options;
  options.wait = [&clock](std::chrono::milliseconds d) { clock.Advance(d); };
  options.log = [](const std::string&) {};
  auto owned = std::make_unique<access::W1KernelMaster>(
      [kernel] { return std::make_unique<sim::EmulatedW1Channel>(kernel); }, "W1", options);
  owned->Open();
  access::W1KernelMaster* master = owned.get();
  access::DSPortAdapter adapter("W1", "W1", std::move(owned));
  Result r;
  int found = 0;
  for (bool more = adapter.findFirstDevice(); more; more = adapter.findNextDevice()) ++found;
  r.wrong += std::abs(found - devices);

  const uint64_t sent = master->PacketsSent(), received = master->PacketsReceived();
  master->ClearStats();
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < devices; ++i) {
      auto c = access::CreateContainer(0x28);
      c->SetupContainer(&adapter, RomOf(i).ToString());
      access::DeviceState s = c->readDevice();
      c->doTemperatureConvert(s);
      if (c->getTemperature(s) != CelsiusOf(i)) ++r.wrong;
    }
  }
  const double n = static_cast<double>(devices) * rounds;
  r.wall_us = Micros(std::chrono::steady_clock::now() - start).count() / n;
  r.requests = static_cast<double>(master->PacketsSent() - sent) / n;
  r.replies = static_cast<double>(master->PacketsReceived() - received) / n;
  auto stats = master->Stats();
  stats.power_delivery = {};  // the conversion is the device's time, not the protocol's
  r.floor_us = access::BusTimeMicros(stats) / n;
  return r;
}

// In the child under serve --w1: reads every scratchpad `rounds` times through the socket.
int Child(int devices, int rounds) {
  access::W1KernelMaster::Options options;
  options.log = [](const std::string&) {};
  auto owned = std::make_unique<access::W1KernelMaster>(
      [] { return std::make_unique<access::W1NetlinkSocket>(); }, "W1", options);
  owned->Open();
  access::W1KernelMaster* master = owned.get();
  access::DSPortAdapter adapter("W1", "W1", std::move(owned));
  Result r;
  int found = 0;
  for (bool more = adapter.findFirstDevice(); more; more = adapter.findNextDevice()) ++found;
  r.wrong += std::abs(found - devices);
  const uint64_t sent = master->PacketsSent(), received = master->PacketsReceived();
  master->ClearStats();
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < devices; ++i) {
      auto c = access::CreateContainer(0x28);
      c->SetupContainer(&adapter, RomOf(i).ToString());
      c->readDevice();
    }
  }
  const double n = static_cast<double>(devices) * rounds;
  r.wall_us = Micros(std::chrono::steady_clock::now() - start).count() / n;
  r.requests = static_cast<double>(master->PacketsSent() - sent) / n;
  r.replies = static_cast<double>(master->PacketsReceived() - received) / n;
  r.floor_us = access::BusTimeMicros(master->Stats()) / n;
  Print("socket, no conv", devices, r);
  return r.wrong ? 1 : 0;
}

int ThroughSocket(const char* self, int devices, int rounds) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("w1_bench-" + std::to_string(static_cast<long>(getpid())));
  std::filesystem::create_directories(dir);
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < devices; ++i)
    list.push_back({{"rom", RomOf(i).ToString()}, {"temperature", CelsiusOf(i)}});
  const std::string file = (dir / "bus.json").string();
  std::ofstream(file) << nlohmann::json{{"devices", list}}.dump();
  const std::string command = std::string(QB_BUS_TOOL_PATH) + " serve --bus " + file + " --w1 -- " +
                              self + " --child " + std::to_string(devices) + " " +
                              std::to_string(rounds);
  std::fflush(stdout);
  const int status = std::system(command.c_str());
  std::filesystem::remove_all(dir);
  return status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
    return Child(std::atoi(argv[2]), std::atoi(argv[3]));
  std::vector<int> counts;
  int rounds = 20;
  if (argc == 2 && std::strcmp(argv[1], "--short") == 0) {
    counts = {1};
    rounds = 3;
  } else {
    for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {10, 50};
  }
  std::printf(
      "DS18B20 readings through a kernel 1-Wire master over netlink (emulated kernel); bus floor: "
      "resets 960 us and slots 61 us at standard speed, conversions not counted\n");
  int status = 0;
  for (int devices : counts) {
    const Result r = InProcess(devices, rounds);
    Print("in process", devices, r);
    if (r.wrong) status = 1;
    if (ThroughSocket(argv[0], devices, rounds) != 0) status = 1;
  }
  if (status) std::printf("some readings were wrong or devices missed\n");
  return status;
}
