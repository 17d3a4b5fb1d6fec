// The real program on a kernel 1-Wire master (IntType W1), the kernel's netlink emulated on a bus
// file by the bus tool: it finds the thermometer and reads the value of the file; the master
// removed and added again is logged once each way, and polling comes back by itself.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "access/rom.h"
#include "host/program_values.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

TEST(ProgramOnKernelMaster, ReadsTheThermometerThroughNetlink) {
  TempDir dir;
  const std::string rom = access::RomId::Make(0x28, 27).ToString();
  WriteFile(dir.path() / "bus.json",
            nlohmann::json{{"devices", {{{"rom", rom}, {"temperature", -12.25}}}}}.dump());
  WriteFile(dir.path() / "settings.ini", "[Settings]\nIntType=W1\nIntPort=W1\nPollCycle=1\n");
  ChildProcess program({QB_BUS_TOOL_PATH, "serve", "--bus", (dir.path() / "bus.json").string(),
                        "--w1", "--", QB_PROGRAM_PATH, "--standalone", "--app-dir",
                        (dir.path() / "app").string(), "--settings",
                        (dir.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
  std::smatch m;
  const std::string line = program.WaitForLine("Web pages: ");
  ASSERT_TRUE(std::regex_search(line, m, std::regex("127\\.0\\.0\\.1:(\\d+)/")))
      << program.output();
  test::HttpClient client("127.0.0.1", std::stoi(m[1]));
  nlohmann::json found;
  for (int attempt = 0; attempt < 120 && found.is_null(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    auto res = client.Get("/api/devices");
    if (!res) continue;
    for (const auto& d : nlohmann::json::parse(res->body))
      if (d.value("string", "").rfind("-12.250", 0) == 0) found = d;
  }
  program.WaitForLine("Adding", std::chrono::milliseconds(100));
  ASSERT_FALSE(found.is_null()) << program.output();
  EXPECT_EQ(found["name"], rom + "-Temp");
  EXPECT_NE(program.output().find("Adapter: W1 Port: W1"), std::string::npos) << program.output();

  // The master removed (the bus tool's SIGUSR1) and added again (SIGUSR2).
  const size_t before = program.output().size();
  program.Signal(SIGUSR1);
  // The lost adapter and the device gone stale, in whichever order the poll meets them.
  const bool absent = program.WaitForLine("is not present") != "";
  const bool lost =
      program.output().find("The adapter does not answer", before) != std::string::npos ||
      program.WaitForLine("The adapter does not answer") != "";
  EXPECT_TRUE(absent && lost) << program.output().substr(before);
  program.Signal(SIGUSR2);
  EXPECT_NE(program.WaitForLine("is present again"), "") << program.output().substr(before);
  program.WaitForLine("a line that never comes", std::chrono::milliseconds(1500));
  const std::string after = program.output().substr(before);
  size_t answers = 0;
  for (size_t at = after.find("answers again"); at != std::string::npos;
       at = after.find("answers again", at + 1))
    ++answers;
  EXPECT_EQ(answers, 1u) << after;
  // The loss is named: as a master gone under a request, or as none listed when the program
  // looks for it again first (which of the two depends on where the poll was).
  EXPECT_TRUE(after.find("w1_bus_master1 is gone") != std::string::npos ||
              after.find("the kernel runs no 1-Wire master") != std::string::npos)
      << after;
  EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();
}

// The whole demo bus (its values held still) through the emulated kernel master: every device
// shows what it shows on the simulator, but the quad A/D converter (family 20), which is powered
// from the bus and needs a strong pull-up through its conversions; the kernel gives none over
// netlink: the program says so, and reports its conversions as not run.
TEST(ProgramOnKernelMaster, TheDemoBusReadsAsOnTheSimulator) {
  std::string output;
  EXPECT_EQ(CompareDemoWithSim({"--w1"}, "W1", "W1", std::regex("^[0-9A-F]{14}20-"), &output), "")
      << output;
  EXPECT_NE(output.find("gives no strong pull-up through netlink"), std::string::npos) << output;
  // Its conversions are reported as not run, not shown as readings of 0 V; nothing else fails.
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("ERROR") == std::string::npos) continue;
    EXPECT_NE(line.find("the conversion did not run"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace qb::test
