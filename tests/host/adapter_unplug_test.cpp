// A serial adapter unplugged while the real program polls through it, and plugged in again: the
// loss is logged once, the devices go stale, and polling comes back by itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "access/rom.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// The error lines among the output lines from `from` on.
int ErrorLines(const std::string& output, size_t from) {
  std::istringstream lines(output.substr(from));
  int count = 0;
  for (std::string line; std::getline(lines, line);)
    if (line.find("ERROR") != std::string::npos) ++count;
  return count;
}

TEST(AdapterUnplug, TheLossIsLoggedOnceAndPollingComesBackByItself) {
  TempDir dir;
  const std::string thermometer = access::RomId::Make(0x28, 61).ToString();
  const std::string bus = (dir.path() / "bus.json").string();
  const std::string tty = (dir.path() / "tty").string();
  WriteFile(dir.path() / "bus.json",
            nlohmann::json{{"devices", {{{"rom", thermometer}, {"temperature", 21.5}}}}}.dump());
  WriteFile(dir.path() / "settings.ini",
            "[Settings]\nIntType=DS9097U\nIntPort=" + tty + "\nPollCycle=1\nDebug=1\n");
  const std::vector<std::string> serve_args = {QB_BUS_TOOL_PATH, "serve", "--bus", bus,
                                               "--pty",          tty};
  auto adapter = std::make_unique<ChildProcess>(serve_args);
  ASSERT_FALSE(adapter->WaitForLine("serving").empty()) << adapter->output();

  ChildProcess program({QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir.path() / "app").string(),
                        "--settings", (dir.path() / "settings.ini").string(), "--http",
                        "127.0.0.1:0"});
  ASSERT_FALSE(program.WaitForLine("Polling devices begins").empty()) << program.output();
  ASSERT_FALSE(program.WaitForLine("Adding").empty()) << program.output();

  // Unplugged: four ticks a second fail, for five seconds.
  adapter->Stop(SIGTERM);
  adapter.reset();
  const size_t unplugged = program.output().size();
  ASSERT_FALSE(program.WaitForLine("The adapter does not answer", 10s).empty()) << program.output();
  program.WaitForLine("a line that never comes", 5s);
  EXPECT_THAT(program.output().substr(unplugged),
              HasSubstr("Device " + thermometer + " is not present"));
  // The first failure of the tick that met the loss, and the line saying what it means.
  EXPECT_LE(ErrorLines(program.output(), unplugged), 3) << program.output().substr(unplugged);

  // Plugged in again: polling comes back within a poll cycle or two, and says so.
  adapter = std::make_unique<ChildProcess>(serve_args);
  ASSERT_FALSE(adapter->WaitForLine("serving").empty()) << adapter->output();
  EXPECT_FALSE(program.WaitForLine("The adapter answers again", 10s).empty())
      << program.output().substr(unplugged);
  EXPECT_FALSE(program.WaitForLine("is present again", 10s).empty())
      << program.output().substr(unplugged);
  EXPECT_EQ(program.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace qb::test
