// The bus tool run against the kernel's 1-Wire netlink emulated on a bus file (serve --w1): the
// unmodified program's netlink socket reaches the emulated kernel through the preloaded library.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "access/rom.h"
#include "platform/clock.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "tools/bus_tool.h"

namespace qb {
namespace {

using ::testing::HasSubstr;

// The tool's output with its notes (lines it starts with its own name) left out.
std::string Values(const std::string& output) {
  std::istringstream in(output);
  std::string kept;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("quellbrook-bus: ", 0) != 0) kept += line + "\n";
  return kept;
}

struct W1Run {
  int status;
  std::string out;
};

// The simulator read in this process on simulated time: no waiting for conversions.
W1Run Sim(const std::string& bus, std::vector<std::string> rest) {
  std::vector<std::string> args = {"--adapter", "SIM", "--port", bus};
  args.insert(args.end(), rest.begin(), rest.end());
  SimulatedClock clock;
  std::ostringstream out, err;
  const int status = RunBusTool(args, out, err, clock);
  return {status, out.str() + err.str()};
}

W1Run Kernel(const std::string& bus, std::vector<std::string> rest,
             std::vector<std::string> serve_options = {}) {
  std::vector<std::string> args = {QB_BUS_TOOL_PATH, "serve", "--bus", bus, "--w1"};
  args.insert(args.end(), serve_options.begin(), serve_options.end());
  for (std::string a : {"--", QB_BUS_TOOL_PATH, "--adapter", "W1", "--port", "W1"})
    args.push_back(a);
  args.insert(args.end(), rest.begin(), rest.end());
  W1Run r;
  r.status = test::RunToEnd(args, r.out);
  return r;
}

// Every device of the bus reads the same through the emulated kernel master as on SIM, but for
// those a conversion needs a strong pull-up for: the kernel gives none over netlink, and says so.
// Devices of the families in `skip` are only searched (their conversions take real seconds).
void ExpectSameAsSim(const std::string& bus, const std::string& skip = "") {
  const W1Run sim = Sim(bus, {"search"});
  ASSERT_EQ(sim.status, 0) << sim.out;
  const W1Run kernel = Kernel(bus, {"search"});
  ASSERT_EQ(kernel.status, 0) << kernel.out;
  EXPECT_EQ(kernel.out, sim.out);
  std::istringstream roms(sim.out);
  for (std::string rom; std::getline(roms, rom);) {
    if (skip.find(rom.substr(14)) != std::string::npos) continue;
    const W1Run ours = Kernel(bus, {"read", rom});
    if (rom.substr(14) == "20") {
      // A quad converter powered from the bus browns out: no reading, rather than 0 V.
      EXPECT_NE(ours.status, 0) << rom << ": " << ours.out;
      EXPECT_THAT(ours.out, HasSubstr("gives no strong pull-up")) << rom;
      EXPECT_THAT(ours.out, HasSubstr("the conversion did not run")) << rom;
      continue;
    }
    ASSERT_EQ(ours.status, 0) << rom << ": " << ours.out;
    EXPECT_EQ(Values(ours.out), Values(Sim(bus, {"read", rom}).out)) << rom;
  }
}

TEST(ServeW1, TheKernelMasterReadsWhatTheSimulatorReads) {
  test::TempDir dir;
  const auto rom = [](uint8_t family, uint64_t serial) {
    return access::RomId::Make(family, serial * 0x10101).ToString();
  };
  const nlohmann::json devices = {
      {{"rom", rom(0x28, 1)}, {"temperature", -55}, {"resolution", 9}},
      {{"rom", rom(0x22, 2)}, {"temperature", 125}},
      {{"rom", rom(0x10, 3)}, {"temperature", -0.5}},
      {{"rom", rom(0x26, 4)}, {"temperature", 23.25}, {"vdd", 5.0}, {"vad", 2.37}},
      {{"rom", rom(0x20, 5)}, {"inputs", {0.5, 1.25, 2.0, 0.0}}},
      {{"rom", rom(0x1D, 6)}, {"counters", {7, 0, 4294967295, 42}}},
      {{"rom", rom(0x12, 7)}, {"latches", {true, false}}, {"levels", {false, true}}},
      {{"rom", rom(0x05, 8)}, {"latches", {false}}, {"levels", {true}}},
      {{"rom", rom(0x2C, 9)}, {"wiper", 255}},
  };
  const std::string file = (dir.path() / "bus.json").string();
  test::WriteFile(file, nlohmann::json{{"devices", devices}}.dump());
  ExpectSameAsSim(file);
  // The demo bus: its thermometers and battery monitors are families read above already; its
  // clock runs in real time here.
  ExpectSameAsSim(QB_DEMO_BUS, "10 22 28 26 04");
}

TEST(ServeW1, RefusedPermissionAndWrongPortsAreToldPlainly) {
  const W1Run refused = Kernel(QB_DEMO_BUS, {"search"}, {"--refuse-join"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_THAT(refused.out, HasSubstr("CAP_NET_ADMIN"));
  EXPECT_THAT(refused.out, HasSubstr("AmbientCapabilities"));

  W1Run wrong;
  wrong.status = test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", QB_DEMO_BUS, "--w1", "--",
                                 QB_BUS_TOOL_PATH, "--adapter", "W1", "--port", "2", "search"},
                                wrong.out);
  EXPECT_EQ(wrong.status, 1);
  EXPECT_THAT(wrong.out, HasSubstr("no 1-Wire master w1_bus_master2 (its masters now: "
                                   "w1_bus_master1)"));

  SimulatedClock clock;
  std::ostringstream out, err;
  EXPECT_EQ(RunBusTool({"serve", "--bus", QB_DEMO_BUS, "--w1"}, out, err, clock), 2);
  EXPECT_THAT(err.str(), HasSubstr("-- COMMAND"));
  EXPECT_EQ(RunBusTool({"search", "--w1"}, out, err, clock), 2);
  EXPECT_THAT(err.str(), HasSubstr("belong to serve"));
}

}  // namespace
}  // namespace qb
