// The real program polling through an emulated DS9490R (USB, DS2490) with the USB adapter type:
// it reads what the simulator reads, takes the adapter's own ID chip as the adapter's, and an
// unplugged adapter is logged once, its devices go stale, and polling comes back by itself when
// it is plugged in again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "support/http_client.h"
#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "access/rom.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

int ErrorLines(const std::string& output, size_t from) {
  std::istringstream lines(output.substr(from));
  int count = 0;
  for (std::string line; std::getline(lines, line);)
    if (line.find("ERROR") != std::string::npos) ++count;
  return count;
}

TEST(DS2490Program, PollsThroughTheUsbAdapterAndSurvivesAnUnplug) {
  TempDir dir;
  const std::string thermometer = access::RomId::Make(0x28, 62).ToString();
  const std::string parasite = access::RomId::Make(0x10, 63).ToString();
  const std::string bus = (dir.path() / "bus.json").string();
  WriteFile(dir.path() / "bus.json",
            nlohmann::json{{"devices",
                            {{{"rom", thermometer}, {"temperature", 21.5}},
                             {{"rom", parasite}, {"temperature", -10.5}, {"power", "parasite"}}}}}
                .dump());
  WriteFile(dir.path() / "settings.ini",
            "[Settings]\nIntType=DS2490\nIntPort=\nPollCycle=1\nDebug=1\n");
  ChildProcess serve({QB_BUS_TOOL_PATH, "serve", "--bus", bus, "--ds2490", "--", QB_PROGRAM_PATH,
                      "--standalone", "--app-dir", (dir.path() / "app").string(), "--settings",
                      (dir.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
  const std::string pages = serve.WaitForLine("Web pages: ");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(pages, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
      << serve.output();
  ASSERT_FALSE(serve.WaitForLine("Polling devices begins").empty()) << serve.output();
  // The values the simulator holds, the parasite-powered thermometer's included (it converts
  // only with the adapter's strong pull-up).
  test::HttpClient client("127.0.0.1", std::stoi(m[1]));
  std::string devices;
  for (int attempt = 0; attempt < 60; ++attempt) {
    if (auto res = client.Get("/api/devices")) devices = res->body;
    if (devices.find("21.5") != std::string::npos && devices.find("-10.5") != std::string::npos)
      break;
    std::this_thread::sleep_for(250ms);
  }
  EXPECT_THAT(devices, HasSubstr("21.5")) << serve.output();
  EXPECT_THAT(devices, HasSubstr("-10.5")) << serve.output();
  EXPECT_FALSE(serve.WaitForLine("Adding 1-Wire DS18B20", 5s).empty()) << serve.output();

  serve.Signal(SIGUSR1);
  const size_t unplugged = serve.output().size();
  ASSERT_FALSE(serve.WaitForLine("The adapter does not answer", 10s).empty()) << serve.output();
  serve.WaitForLine("a line that never comes", 3s);
  EXPECT_THAT(serve.output().substr(unplugged),
              HasSubstr("Device " + thermometer + " is not present"));
  EXPECT_LE(ErrorLines(serve.output(), unplugged), 3) << serve.output().substr(unplugged);

  serve.Signal(SIGUSR2);
  EXPECT_FALSE(serve.WaitForLine("The adapter answers again", 10s).empty())
      << serve.output().substr(unplugged);
  EXPECT_FALSE(serve.WaitForLine("is present again", 10s).empty())
      << serve.output().substr(unplugged);
  EXPECT_EQ(serve.Stop(SIGTERM), 0) << "serve passes the signal on and ends with the program";
  // The adapter's ID chip (family 81) is the adapter's: no host device, nothing reported.
  EXPECT_THAT(serve.output(), Not(HasSubstr("1B249081")));
}

}  // namespace
}  // namespace qb::test
