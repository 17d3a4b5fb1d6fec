// The real program polls a bus behind an emulated DS2482-800 (one channel of it) on an emulated
// /dev/i2c-1, run under `quellbrook-bus serve --ds2482`: it finds the devices and reads the
// values the bus file gives, as it does on the simulator.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "access/rom.h"
#include "host/program_values.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(DS2482Program, PollsAChannelOfAnEightChannelBridge) {
  TempDir dir;
  const std::string thermometer = access::RomId::Make(0x28, 0x2482).ToString();
  const std::string pot = access::RomId::Make(0x2C, 0x2482).ToString();
  WriteFile(dir.path() / "bus.json",
            json{{"devices",
                  {{{"rom", thermometer}, {"temperature", -10.5}}, {{"rom", pot}, {"wiper", 77}}}}}
                .dump());
  WriteFile(dir.path() / "settings.ini",
            "[Settings]\nIntType=DS2482\nIntPort=/dev/i2c-1:0x18:5\nPollCycle=1\n");
  ChildProcess served({QB_BUS_TOOL_PATH, "serve", "--bus", (dir.path() / "bus.json").string(),
                       "--ds2482", "--channels", "8", "--", QB_PROGRAM_PATH, "--standalone",
                       "--app-dir", (dir.path() / "app").string(), "--settings",
                       (dir.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
  std::smatch m;
  const std::string line = served.WaitForLine("Web pages: ");
  ASSERT_TRUE(std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
      << served.output();
  test::HttpClient client("127.0.0.1", std::stoi(m[1]));

  // The devices are made as they are found, and get their values with the poll that follows (a
  // temperature in thousandths of a degree).
  std::map<std::string, double> values;
  auto read_all = [&] { return values[thermometer] == -10500 && values[pot] == 77; };
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!read_all() && std::chrono::steady_clock::now() < deadline) {
    values.clear();
    auto res = client.Get("/api/devices");
    if (res && res->status == 200) {
      for (const auto& d : json::parse(res->body)) {
        const std::string name = d["name"];
        if (name.rfind(thermometer, 0) == 0 || name.rfind(pot, 0) == 0)
          values[name.substr(0, 16)] = d["value"];
      }
    }
    if (!read_all()) std::this_thread::sleep_for(200ms);
  }
  EXPECT_EQ(values[thermometer], -10500) << served.output();
  EXPECT_EQ(values[pot], 77) << served.output();
  EXPECT_EQ(served.output().find("ERROR"), std::string::npos) << served.output();
  EXPECT_EQ(served.Stop(SIGTERM), 0) << served.output();
}

// The whole demo bus (its values held still) behind channel 3 of an emulated DS2482-800: every
// device shows what it shows on the simulator.
TEST(DS2482Program, TheDemoBusReadsAsOnTheSimulator) {
  std::string output;
  EXPECT_EQ(CompareDemoWithSim({"--ds2482", "--channels", "8"}, "DS2482", "/dev/i2c-1:0x18:3",
                               std::regex("^$"), &output),
            "")
      << output;
  EXPECT_EQ(output.find("ERROR"), std::string::npos) << output;
}

}  // namespace
}  // namespace qb::test
