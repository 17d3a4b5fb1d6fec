// The README's curl recipes for the JSON API, run as printed against the real program on the
// demo bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

// The fenced block that follows the README's note that its lines are run by this test.
std::string RecipeBlock() {
  const std::string readme =
      ReadFile(std::filesystem::path(QB_DEMO_BUS).parent_path().parent_path() / "README.md");
  const auto note = readme.find("run as printed by tests/host/readme_api_test.cpp");
  if (note == std::string::npos) return {};
  const auto open = readme.find("```sh\n", note);
  const auto close = readme.find("\n```", open + 6);
  if (open == std::string::npos || close == std::string::npos) return {};
  return readme.substr(open + 6, close - open - 6 + 1);
}

json DeviceOfKey(test::HttpClient& client, const std::string& key) {
  if (auto res = client.Get("/api/devices"); res && res->status == 200) {
    for (const auto& d : json::parse(res->body)) {
      if (d["iomisc"] == key) return d;
    }
  }
  return nullptr;
}

TEST(ReadmeApi, TheCurlRecipesWorkAsPrintedOnTheDemoBus) {
  const std::string block = RecipeBlock();
  ASSERT_THAT(block, HasSubstr("curl -s -X PATCH -H 'Content-Type: application/json'"));
  TempDir dir;
  WriteFile(dir.path() / "settings.ini",
            "[Settings]\nIntType=SIM\nIntPort=" + std::string(QB_DEMO_BUS) + "\nPollCycle=3\n");
  ChildProcess program({QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir.path() / "app").string(),
                        "--settings", (dir.path() / "settings.ini").string(), "--http",
                        "127.0.0.1:0"});
  std::smatch m;
  const std::string line = program.WaitForLine("Web pages: ");
  ASSERT_TRUE(std::regex_search(line, m, std::regex("http://(127\\.0\\.0\\.1:\\d+)/")));
  const std::string address = m[1];
  test::HttpClient client("127.0.0.1", std::stoi(address.substr(address.find(':') + 1)));
  // The recipes use devices the list shows within a minute.
  for (const char* key : {"4800000000066912S1", "B90000000007132CT", "940000000001E228M"}) {
    bool found = false;
    for (int attempt = 0; attempt < 120 && !found; ++attempt) {
      found = !DeviceOfKey(client, key).is_null();
      if (!found) program.WaitForLine("\n", 500ms);
    }
    ASSERT_TRUE(found) << key;
  }

  const auto script = dir.path() / "recipes.sh";
  WriteFile(script, "set -euo pipefail\n" + block);
  std::string out;
  const int status = RunToEnd({"/usr/bin/env", "QB_HTTP=" + address, "bash", script.string()}, out);
  EXPECT_EQ(status, 0) << out;
  EXPECT_THAT(out, Not(HasSubstr("\"error\""))) << out;

  const json lamp = DeviceOfKey(client, "4800000000066912S1");
  EXPECT_EQ(lamp["name"], "Garage lamp");
  EXPECT_EQ(lamp["Location"], "Garage");
  bool on = false, level = false;
  for (int attempt = 0; attempt < 40 && !(on && level); ++attempt) {
    program.WaitForLine("\n", 250ms);
    on = DeviceOfKey(client, "4800000000066912S1")["string"] == "On";
    level = DeviceOfKey(client, "B90000000007132CT")["string"] == "200";
  }
  EXPECT_TRUE(on);
  EXPECT_TRUE(level);
  EXPECT_EQ(program.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace qb::test
