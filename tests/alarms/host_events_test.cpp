// The built-in host's events: the rules file, its API, and events acting on the plug-in's alarm
// condition after each poll of a simulated bus.
#include "host/host_events.h"

#include <gmock/gmock.h>

#include <future>
#include <thread>

#include "alarms/alarm_fixture.h"
#include "host/builtin_host.h"
#include "host/web_server.h"
#include "host/web_users.h"
#include "sim/ds2406.h"
#include "sim/ds2413.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const json kRules = {
    {"events",
     {{{"name", "Warm"},
       {"trigger", {{"condition", {"1-Wire Temperature Alarm", "Cellar Sensor", "Over Temp"}}}},
       {"actions", {{{"device", "B1"}, {"command", "On"}}, {{"log", "fan on"}}}}},
      {{"name", "Attic cold"},
       {"trigger", {{"device", "A3"}, {"below", 5}}},
       {"actions", {{{"speak", "The attic is cold"}}}}}}}};

TEST(HostEventRules, BadRulesAreRefusedAndThePreviousOnesKept) {
  TempDir dir;
  HostEvents events(dir.path() / "events.json");
  EXPECT_EQ(events.Load(), "");  // no file: no events
  ASSERT_EQ(events.Replace(kRules.dump()), "");
  const std::string saved = ReadFile(events.file());
  EXPECT_EQ(json::parse(saved), kRules);

  const std::pair<std::string, std::string> bad[] = {
      {"{not json", "JSON object"},
      {R"({"events": 3})", "JSON object"},
      {R"({"events": [{"name": "x", "trigger": {"device": "A1", "above": 1},
           "actions": [{"log": "y"}], "colour": 1}]})",
       "unknown key \"colour\""},
      {R"({"events": [{"name": "x", "trigger": {"device": "A1", "above": 1}, "actions": [{"log": "y"}]},
                      {"name": "x", "trigger": {"device": "A1", "above": 2}, "actions": [{"log": "y"}]}]})",
       "same name"},
      {R"({"events": [{"name": "x", "trigger": {"device": "A1", "above": 1, "below": 0},
           "actions": [{"log": "y"}]}]})",
       "exactly one of \"above\" and \"below\""},
      {R"({"events": [{"name": "x", "trigger": {"condition": ["a", "b"]}, "actions": [{"log": "y"}]}]})",
       "three fields"},
      {R"({"events": [{"name": "x", "trigger": {"device": "A1", "above": 1},
           "actions": [{"device": "B1", "command": "Toggle"}]}]})",
       "On, Off, Update, Level, Dim or Bright"},
      {R"({"events": [{"name": "x", "trigger": {"device": "A1", "above": 1}, "actions": []}]})",
       "one or more"},
  };
  for (const auto& [body, problem] : bad) {
    EXPECT_THAT(events.Replace(body), HasSubstr(problem)) << body;
  }
  EXPECT_EQ(ReadFile(events.file()), saved);
  EXPECT_EQ(events.ToJson()["events"], kRules["events"]);

  // A broken file at start: no events, the file left for the user to mend.
  std::ofstream(dir.path() / "broken.json") << R"({"events": [{"name": ""}]})";
  HostEvents broken(dir.path() / "broken.json");
  EXPECT_THAT(broken.Load(), HasSubstr("needs a \"name\""));
  EXPECT_THAT(broken.ToJson()["events"], IsEmpty());
}

// The whole stack: the built-in host with its device table, the plug-in, the simulated bus.
class HostEventsTest : public AlarmTest {
 protected:
  HostEventsTest() {
    builtin = std::make_shared<BuiltInHost>(dir.str(), clock, false);
    builtin->Start();
    Plugin().host = builtin;
    Plugin().callback = builtin;
    Plugin().parts.cycle =
        std::make_shared<PollThenEvents>(std::make_shared<OneWireBusCycle>(), builtin);
    builtin->AttachPlugin(&plugin);
  }
  ~HostEventsTest() override {
    // The built-in host goes first, while its folder is still there.
    builtin->AttachPlugin(nullptr);
    Plugin().parts.cycle = std::make_shared<OneWireBusCycle>();
    ConnectHost();
    builtin.reset();
  }
  std::vector<std::string> Logged(const std::string& category) {
    std::vector<std::string> texts;
    for (const auto& line : builtin->log().Tail(100000)) {
      if (line.category == category) texts.push_back(line.text);
    }
    return texts;
  }

  TempDir dir;
  std::shared_ptr<BuiltInHost> builtin;
  hspi plugin;
};

TEST_F(HostEventsTest, AnOverTempConditionSwitchesAnOutputOnAndBackOff) {
  Start(json::array(
      {{{"rom", kB20},
        {"alarm_high", 25},
        {"temperature", {{"type", "steps"}, {"steps", {{0, 20}, {25, 30}, {55, 20}}}}}},
       {{"rom", k1822}, {"temperature", {{"type", "steps"}, {"steps", {{0, 10}, {28, 12}}}}}},
       {{"rom", kSwitch}, {"latches", {false, false}}}}));
  Poll(15s);
  auto sensor = gROMs().FindDev(kB20 + "M");
  const std::string device = sensor->HSLocation + " " + sensor->HSName;
  const std::string output = gROMs().FindDev(kSwitch + "S0")->Code();
  const json condition = {"1-Wire Temperature Alarm", device, "Over Temp"};
  const json rules = {
      {"events",
       {{{"name", "Too warm"},
         {"trigger", {{"condition", condition}}},
         {"actions",
          {{{"device", "Z9"}, {"command", "On"}},  // no such device: logged, the rest still runs
           {{"device", output}, {"command", "On"}},
           {{"speak", "The cellar is warm"}}}}},
        {{"name", "Cool again"},
         {"trigger", {{"condition", condition}, {"holds", false}}},
         {"actions", {{{"device", output}, {"command", "Off"}}}}}}}};
  ASSERT_EQ(builtin->events().Replace(rules.dump()), "");
  auto* sw = bus->FindAs<sim::DS2406Model>(*access::RomId::Parse(kSwitch));
  Poll(5s);
  EXPECT_FALSE(sw->Conducting(0));
  EXPECT_THAT(Logged("Event"), Contains(HasSubstr("\"Cool again\" triggered")));
  EXPECT_THAT(Logged("1-Wire Device Alarm"), IsEmpty());

  Poll(20s);  // 30 degrees from 25 s on
  EXPECT_TRUE(sw->Conducting(0));
  EXPECT_THAT(builtin->events().ToJson()["active"], ElementsAre("Too warm"));
  EXPECT_THAT(Logged("Event ERROR"), ElementsAre(HasSubstr("\"Z9\"")));
  EXPECT_THAT(Logged("Speak"), Contains(HasSubstr("The cellar is warm")));
  const size_t alarms = Logged("1-Wire Device Alarm").size();
  EXPECT_GE(alarms, 2u);  // every cycle while it lasts
  EXPECT_THAT(Logged("1-Wire Device Alarm").back(), HasSubstr(device + " Value= 30.000"));
  // The other thermometer was still read meanwhile.
  EXPECT_EQ(builtin->devices().ByCode(gROMs().FindDev(k1822 + "M")->Code())->string,
            "12.000\u00BAC");

  Poll(25s);  // back to 20 degrees from 55 s on
  EXPECT_FALSE(sw->Conducting(0));
  EXPECT_THAT(builtin->events().ToJson()["active"], ElementsAre("Cool again"));
  EXPECT_EQ(Logged("Event ERROR").size(), 1u);  // each action ran once
  const size_t after = Logged("1-Wire Device Alarm").size();
  Poll(10s);
  EXPECT_EQ(Logged("1-Wire Device Alarm").size(), after);
}

TEST_F(HostEventsTest, AButtonArrivingAndLeavingTwiceRunsEachEventTwice) {
  const std::string button = Rom(0x01, 0x77), gate = Rom(0x3A, 0x78);
  // A button at the reader until 10 s, again from 20 to 30 s and from 40 s on; polls every 5 s.
  Start(json::array(
      {{{"rom", button},
        {"present", {{"type", "steps"}, {"steps", {{0, 1}, {10, 0}, {20, 1}, {30, 0}, {40, 1}}}}}},
       {{"rom", gate}}}));
  Poll(5s);
  ASSERT_NE(gROMs().Find(button), nullptr) << "found by the scan";
  Named(button, "Front door", "Key");  // a known button, named by its user
  const std::string lock = gROMs().FindDev(gate + "S0")->Code();
  const json rules = {
      {"events",
       {{{"name", "Key in"},
         {"trigger", {{"condition", {kButtonConditionType, "Front door Key", kArrived}}}},
         {"actions", {{{"device", lock}, {"command", "On"}}, {{"log", "arrived " + button}}}}},
        {{"name", "Key out"},
         {"trigger", {{"condition", {kButtonConditionType, button, kLeft}}}},
         {"actions", {{{"device", lock}, {"command", "Off"}}, {{"log", "left " + button}}}}}}}};
  ASSERT_EQ(builtin->events().Replace(rules.dump()), "");
  auto* latch = bus->FindAs<sim::DS2413Model>(*access::RomId::Parse(gate));
  auto count = [&](const std::string& name) {
    const auto lines = Logged("Event");
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find("\"" + name + "\" triggered") != std::string::npos;
    });
  };
  // Each change is seen by the next poll cycle, and switches the DS2413 output through the
  // event's device command.
  const bool conducting[] = {false, true, false, true};
  for (int step = 0; step < 4; ++step) {
    Poll(step == 0 ? 12s : 10s);  // 17, 27, 37, 47 s
    EXPECT_EQ(latch->pio().Conducting(0), conducting[step]) << "step " << step;
  }
  EXPECT_EQ(count("Key out"), 2);
  EXPECT_EQ(count("Key in"), 2);
  EXPECT_EQ(builtin->devices().ByCode(lock)->string, "On");
}

TEST(HostEventsApi, PutReplacesTheRulesAndRefusesBadOnes) {
  TempDir dir;
  SystemClock clock;
  HeadlessEventLoop loop{clock};
  WebUsers users;
  auto host = std::make_shared<BuiltInHost>(dir.str(), clock, false);
  host->Start();
  ASSERT_EQ(users.Load(dir.path() / "users"), "");
  HostWebServer server(*host, loop, users, dir.path() / "html");
  ASSERT_EQ(server.Bind("127.0.0.1", 0), "");
  server.Start();
  std::thread loop_thread([&] { loop.Run(); });
  test::HttpClient client("127.0.0.1", server.Port());

  // Rules from the API name devices of the host: B1 is not one.
  auto put = client.Put("/api/events", kRules.dump(), "application/json");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 400);
  EXPECT_THAT(json::parse(put->body)["error"].get<std::string>(),
              HasSubstr("action 1 device \"B1\" does not exist"));
  const json rules = {{"events",
                       {{{"name", "Warm"},
                         {"trigger", kRules["events"][0]["trigger"]},
                         {"actions", {{{"log", "fan on"}}}}}}}};
  put = client.Put("/api/events", rules.dump(), "application/json");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 200);
  auto refused = client.Put("/api/events", R"({"events": [{"name": 1}]})", "application/json");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  EXPECT_THAT(json::parse(refused->body)["error"].get<std::string>(), HasSubstr("\"name\""));
  auto got = client.Get("/api/events");
  ASSERT_TRUE(got);
  EXPECT_EQ(json::parse(got->body)["events"], rules["events"]);
  EXPECT_EQ(json::parse(ReadFile(dir.path() / "events.json")), rules);

  server.Stop();
  loop.Quit();
  loop_thread.join();
}

}  // namespace
}  // namespace qb::test
