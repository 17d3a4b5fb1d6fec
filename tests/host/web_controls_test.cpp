// The real program on a small simulated bus: each device offers and takes only the commands it
// can carry out (list buttons, detail pages, the JSON API and events alike), changes are posts
// answered with a redirect, and unknown devices are said to be unknown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "access/rom.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

const std::string kThermo = access::RomId::Make(0x28, 41).ToString();
const std::string kSwitch = access::RomId::Make(0x12, 42).ToString();
const std::string kPot = access::RomId::Make(0x2C, 43).ToString();
const std::string kCounter = access::RomId::Make(0x1D, 44).ToString();
const std::string kClock = access::RomId::Make(0x04, 45).ToString();

class WebControls : public ::testing::Test {
 protected:
  void SetUp() override {
    const json devices = {{{"rom", kThermo}, {"temperature", 20.5}},
                          {{"rom", kSwitch}, {"latches", {false, false}}, {"levels", {true, true}}},
                          {{"rom", kPot}, {"wiper", 100}},
                          {{"rom", kCounter}, {"counters", {0, 0, 5, 9}}},
                          {{"rom", kClock}, {"clock", 0}, {"running", false}}};
    WriteFile(dir_.path() / "bus.json", json{{"devices", devices}}.dump());
    WriteFile(dir_.path() / "settings.ini",
              "[Settings]\nIntType=SIM\nIntPort=" + (dir_.path() / "bus.json").string() +
                  "\nPollCycle=3\n");
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir_.path() / "app").string(), "--settings",
        (dir_.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
    std::smatch m;
    const std::string line = process_->WaitForLine("Web pages: ");
    ASSERT_TRUE(std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
        << process_->output();
    client_ = std::make_unique<test::HttpClient>("127.0.0.1", std::stoi(m[1]));
    // Every channel has its host device.
    for (const std::string& key : {kThermo + "M", kSwitch + "S0", kPot + "T", kCounter + "K2"}) {
      ASSERT_FALSE(WaitFor(key, "").is_null()) << key << "\n" << process_->output();
    }
  }
  void TearDown() override {
    if (process_) {
      EXPECT_EQ(process_->Stop(SIGTERM), 0);
    }
  }

  // The host device of the channel `key` once its text is `text` (any text when empty), or null.
  json WaitFor(const std::string& key, const std::string& text) {
    for (int attempt = 0; attempt < 120; ++attempt) {
      if (auto res = client_->Get("/api/devices"); res && res->status == 200) {
        for (const auto& d : json::parse(res->body)) {
          if (d["iomisc"] == key && (text.empty() || d["string"] == text)) return d;
        }
      }
      std::this_thread::sleep_for(250ms);
    }
    return nullptr;
  }
  test::HttpResult Command(const std::string& key, const json& body) {
    const json d = WaitFor(key, "");
    return client_->Post("/api/devices/" + std::to_string(d["ref"].get<int>()) + "/command",
                         body.dump(), "application/json");
  }
  std::string Code(const std::string& key) {
    const json d = WaitFor(key, "");
    return d["hc"].get<std::string>() + d["dc"].get<std::string>();
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  std::unique_ptr<test::HttpClient> client_;
};

TEST_F(WebControls, EachDeviceTakesOnlyItsOwnCommandsEverywhere) {
  // The API refuses what a device cannot do, in words, and takes what it can.
  auto res = Command(kThermo + "M", {{"command", "On"}});
  EXPECT_EQ(res->status, 400);
  EXPECT_THAT(res->body, HasSubstr("takes Update"));
  EXPECT_EQ(Command(kThermo + "M", {{"command", "Update"}})->status, 200);
  EXPECT_EQ(Command(kCounter + "K2", {{"command", "Off"}})->status, 400);
  EXPECT_EQ(Command(kSwitch + "P0", {{"command", "On"}})->status, 400);
  res = Command(kPot + "T", {{"command", "Dim"}});
  EXPECT_EQ(res->status, 400);
  EXPECT_THAT(res->body, HasSubstr("brightness"));
  EXPECT_EQ(Command(kPot + "T", {{"command", "Level"}, {"level", 256}})->status, 400);
  EXPECT_EQ(Command(kPot + "T", {{"command", "Level"}, {"level", 200}})->status, 200);
  EXPECT_FALSE(WaitFor(kPot + "T", "200").is_null());
  // Bright 50 per cent: half of 255, rounded half to even.
  EXPECT_EQ(Command(kPot + "T", {{"command", "Bright"}, {"brightness", 50}})->status, 200);
  EXPECT_FALSE(WaitFor(kPot + "T", "128").is_null());
  EXPECT_EQ(Command(kSwitch + "S0", {{"command", "on"}})->status, 200);
  EXPECT_FALSE(WaitFor(kSwitch + "S0", "On").is_null());

  // The device list offers the same: a counter is read, not switched; a potentiometer's level
  // is set on its page.
  const std::string list = client_->Get("/1-Wire?PAGE=0")->body;
  const std::string counter = "name=\"Update" + Code(kCounter + "K2") + "\"";
  EXPECT_THAT(list, HasSubstr(counter + " value=\"Update\""));
  EXPECT_THAT(list, Not(HasSubstr(counter + " value=\"On\"")));
  EXPECT_THAT(list, HasSubstr("name=\"Update" + Code(kSwitch + "S0") + "\" value=\"Off\""));
  EXPECT_THAT(list, HasSubstr("1-Wire?ROMID=" + kPot + "T\">Set level</a>"));
  // A button the list does not offer is refused when posted anyway.
  EXPECT_EQ(client_
                ->Post("/1-Wire", "Update" + Code(kCounter + "K2") + "=Off",
                       "application/x-www-form-urlencoded")
                ->status,
            400);

  // The potentiometer's page shows its position and sets a level, answered with a redirect.
  EXPECT_THAT(client_->Get("/1-Wire?ROMID=" + kPot + "T")->body, HasSubstr("Wiper Position"));
  res = client_->Post("/1-Wire", "Level=60&SetLevel=" + kPot + "T",
                      "application/x-www-form-urlencoded");
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(res->get_header_value("Location"), "/1-Wire?ROMID=" + kPot + "T");
  EXPECT_FALSE(WaitFor(kPot + "T", "60").is_null());
  EXPECT_EQ(
      client_
          ->Post("/1-Wire", "Level=300&SetLevel=" + kPot + "T", "application/x-www-form-urlencoded")
          ->status,
      400);

  // Events name devices that exist, with commands they take.
  res = client_->Put("/api/events",
                     R"({"events": [{"name": "e", "trigger": {"device": "Z9", "above": 1},
                         "actions": [{"log": "x"}]}]})",
                     "application/json");
  EXPECT_EQ(res->status, 400);
  EXPECT_THAT(res->body, HasSubstr("\\\"Z9\\\" does not exist"));
  res = client_->Put("/api/events",
                     R"({"events": [{"name": "e", "trigger": {"device": ")" + Code(kThermo + "M") +
                         R"(", "above": 1}, "actions": [{"device": ")" + Code(kThermo + "M") +
                         R"(", "command": "On"}]}]})",
                     "application/json");
  EXPECT_EQ(res->status, 400);
  EXPECT_THAT(res->body, HasSubstr("takes Update"));
}

TEST_F(WebControls, SettingAClockIsAPostAnsweredWithARedirectAndLogged) {
  const std::string page = "/1-Wire?ROMID=" + kClock + "Y";
  EXPECT_THAT(client_->Get(page)->body, HasSubstr("name=\"SetTime\" value=\"" + kClock + "\""));
  // A link does not set it.
  client_->Get(page + "&SetTime=ON");
  EXPECT_THAT(client_->Get(page)->body, HasSubstr("<b>Time: 1970-01-01"));
  auto res = client_->Post("/1-Wire", "SetTime=" + kClock, "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(res->get_header_value("Location"), page);
  EXPECT_THAT(client_->Get(page)->body, Not(HasSubstr("<b>Time: 1970-01-01")));
  EXPECT_THAT(client_->Get("/api/log?tail=500")->body,
              HasSubstr("Device time of " + kClock + " set to PC time from the web page"));
  // A device without a clock is refused.
  EXPECT_EQ(
      client_->Post("/1-Wire", "SetTime=" + kThermo, "application/x-www-form-urlencoded")->status,
      400);
}

TEST_F(WebControls, AnUnknownDeviceIsSaidToBeUnknown) {
  auto res = client_->Get("/1-Wire?ROMID=FFFFFFFFFFFFFF28M");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  EXPECT_THAT(res->body, HasSubstr("There is no 1-Wire device FFFFFFFFFFFFFF28 on this bus"));
  EXPECT_EQ(client_->Get("/1-Wire?ROMID=" + kThermo + "M")->status, 200);
}

}  // namespace
}  // namespace qb::test
