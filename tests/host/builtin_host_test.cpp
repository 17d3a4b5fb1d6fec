#include "host/builtin_host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/hspi.h"
#include "host/options.h"
#include "platform/clock.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::TempDir;
using ::testing::ElementsAre;

// A plug-in that records the device commands it receives.
class CommandRecorder : public HostedPlugin {
 public:
  std::string PluginName() const override { return kPluginName; }
  std::string link() const override { return "1-Wire"; }
  std::string linktext() const override { return "1-Wire"; }
  std::string page_title() const override { return "title"; }
  std::string GenPage(const std::string&) override { return {}; }
  std::string PagePut(const std::string&) override { return {}; }
  void SetIO(HostDevice* dv, const std::string& hc, const std::string& dc, int16_t command,
             int16_t brightness, int16_t, int16_t) override {
    received.push_back(hc + dc + " " + std::to_string(command) + " " + std::to_string(brightness) +
                       " " + dv->iomisc());
  }
  std::vector<std::string> received;
};

std::shared_ptr<BuiltInHost> StartHost(const TempDir& dir, SimulatedClock& clock) {
  auto host = std::make_shared<BuiltInHost>(dir.str(), clock, false);
  host->Start();
  return host;
}

TEST(BuiltInHost, DevicesSurviveARestartWithStableReferences) {
  TempDir dir;
  SimulatedClock clock;
  int32_t ref1 = 0, ref2 = 0;
  {
    auto host = StartHost(dir, clock);
    ref1 = host->NewDevice("28AA000000000001M-Temp");
    ref2 = host->NewDevice("second");
    auto d = host->GetDevice(ref1);
    d->set_hc("A");
    d->set_dc("1");
    d->set_interface(kPluginName);
    d->set_iomisc("28AA000000000001M");
    d->set_Location("Unknown");
    d->set_can_dim(true);
    d->set_misc(16);
    host->SetDeviceString("A1", "21.500 ºC");
    host->SetDeviceValue("A1", 21500);
    host->SetDeviceLastChange("A1", clock.Now());
    host->DeleteDevice(ref2);
    host->SaveDevices();
    EXPECT_THROW(host->DeleteDevice(ref2), HostError);
  }
  auto host = StartHost(dir, clock);
  ASSERT_EQ(host->DeviceCount(), 1);
  auto d = host->GetDevice(1);  // by index
  EXPECT_EQ(d->ref(), ref1);
  EXPECT_EQ(host->GetDevice(ref1)->name(), "28AA000000000001M-Temp");  // by reference
  EXPECT_EQ(d->iomisc(), "28AA000000000001M");
  EXPECT_EQ(d->interface(), kPluginName);
  EXPECT_TRUE(d->can_dim());
  EXPECT_EQ(d->misc(), 16);
  EXPECT_EQ(host->DeviceString("A1"), "21.500 ºC");
  EXPECT_EQ(host->DeviceLastChange("A1"), clock.Now());
  EXPECT_GT(host->NewDevice("third"), ref2);  // references are never reused
  EXPECT_THROW(host->GetDevice(ref2), HostError);
  EXPECT_THROW(host->DeviceString("Z9"), HostError);
}

TEST(BuiltInHost, ADeletedDeviceFailsEveryCall) {
  TempDir dir;
  SimulatedClock clock;
  auto host = StartHost(dir, clock);
  auto d = host->GetDevice(host->NewDevice("gone"));
  host->DeleteDevice(d->ref());
  EXPECT_THROW(d->name(), HostError);
  EXPECT_THROW(d->set_hc("A"), HostError);
}

TEST(BuiltInHost, AnUnreadableDeviceTableIsKeptAside) {
  TempDir dir;
  SimulatedClock clock;
  test::WriteFile(dir.path() / "devices.json", "{\"devices\": [ {\"ref\": \"x\"} ]}");
  auto host = StartHost(dir, clock);
  EXPECT_EQ(host->DeviceCount(), 0);
  bool kept = false;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    kept |= e.path().filename().string().rfind("devices.json.broken-", 0) == 0;
  }
  EXPECT_TRUE(kept);
  EXPECT_EQ(host->log().Tail(10).size() >= 1, true);
  EXPECT_EQ(host->log().Tail(100)[0].category, "Host ERROR");
}

TEST(BuiltInHost, DeviceTableNumbersOutOfRangeAreRefusedNotWrapped) {
  TempDir dir;
  const auto file = dir.path() / "devices.json";
  // The largest reference would leave no next one; a fraction or 1e20 is no reference at all.
  for (const char* bad :
       {R"({"devices": [{"ref": 2147483647}]})", R"({"devices": [{"ref": 1000001.5}]})",
        R"({"devices": [{"ref": 1e20}]})", R"({"next_ref": 2147483647, "devices": []})",
        R"({"devices": [{"ref": 1000001, "Status": 4294967296}]})", "[]"}) {
    test::WriteFile(file, bad);
    DeviceTable table(file);
    EXPECT_NE(table.Load(), "") << bad;
    EXPECT_FALSE(std::filesystem::exists(file)) << bad;
  }
  // A time the clock cannot hold is dropped, the device kept.
  test::WriteFile(file,
                  R"({"devices": [{"ref": 1000001, "lastChange": "4052-12-01T10:00:00.000Z"}]})");
  DeviceTable table(file);
  EXPECT_EQ(table.Load(), "");
  EXPECT_EQ(table.Count(), 1);
  EXPECT_EQ(table.Get(1)->lastChange, HostTime{});
}

TEST(BuiltInHost, FreeHouseCodesRunFromAToZThenLowerCase) {
  TempDir dir;
  SimulatedClock clock;
  auto host = StartHost(dir, clock);
  EXPECT_EQ(host->GetNextFreeIOCode(), 'A');
  host->GetDevice(host->NewDevice("a"))->set_hc("A");
  host->GetDevice(host->NewDevice("c"))->set_hc("C");
  EXPECT_EQ(host->GetNextFreeIOCode(), 'B');
  for (char c = 'B'; c <= 'Z'; ++c)
    host->GetDevice(host->NewDevice("x"))->set_hc(std::string(1, c));
  EXPECT_EQ(host->GetNextFreeIOCode(), 'a');
  for (char c = 'a'; c <= 'z'; ++c)
    host->GetDevice(host->NewDevice("x"))->set_hc(std::string(1, c));
  EXPECT_EQ(host->GetNextFreeIOCode(), -1);
}

TEST(BuiltInHost, CommandsGoToThePluginWithTheirNumbersAndKeepTheStatus) {
  TempDir dir;
  SimulatedClock clock;
  auto host = StartHost(dir, clock);
  CommandRecorder plugin;
  host->AttachPlugin(&plugin);
  auto mine = host->GetDevice(host->NewDevice("switch"));
  mine->set_hc("B");
  mine->set_dc("3");
  mine->set_interface(kPluginName);
  mine->set_iomisc("0000000012345612P1");
  auto other = host->GetDevice(host->NewDevice("lamp"));
  other->set_hc("X");
  other->set_dc("1");
  other->set_interface("Another Plug-in");

  host->ExecX10("B3", "On");
  EXPECT_EQ(mine->Status(), 2);
  host->ExecX10("B3", "off");
  EXPECT_EQ(mine->Status(), 3);
  host->ExecX10("B3", "Dim", 40);
  host->ExecX10("B3", "Bright", 60);
  host->ExecX10("X1", "On");  // not the plug-in's: the host only keeps its status
  EXPECT_EQ(other->Status(), 2);
  EXPECT_THAT(plugin.received,
              ElementsAre("B3 2 0 0000000012345612P1", "B3 3 0 0000000012345612P1",
                          "B3 4 40 0000000012345612P1", "B3 5 60 0000000012345612P1"));
  EXPECT_THROW(host->ExecX10("B3", "Toggle"), HostError);
  EXPECT_THROW(host->ExecX10("Q9", "On"), HostError);
}

TEST(BuiltInHost, AnswersTheFixedQuestions) {
  TempDir dir;
  SimulatedClock clock;
  auto host = StartHost(dir, clock);
  EXPECT_EQ(host->InterfaceVersion(), 3);
  EXPECT_NE(host->Version(), "");
  EXPECT_EQ(host->GetAppPath(), dir.str());
  EXPECT_EQ(host->GetHSIface().get(), host.get());
  EXPECT_EQ(host->WEBLoggedInUser(), "");
  host->Speak("hello");
  EXPECT_EQ(host->log().Tail(1)[0].category, "Speak");
}

TEST(HostLog, LinesSurviveEscapingAndRestart) {
  TempDir dir;
  SimulatedClock clock;
  {
    HostLog log(clock, dir.path() / "x.log", false);
    ASSERT_EQ(log.Open(), "");
    log.Write("cat\tegory", "two\nlines \\ and a tab\t");
    log.Write("1-Wire I/F", "Register callback completed");
  }
  HostLog log(clock, dir.path() / "x.log", false);
  ASSERT_EQ(log.Open(), "");
  auto tail = log.Tail(5);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[0].category, "cat\tegory");
  EXPECT_EQ(tail[0].text, "two\nlines \\ and a tab\t");
  EXPECT_EQ(log.Tail(1)[0].text, "Register callback completed");
}

TEST(ProgramOptions, ParsesEveryFlagAndRejectsTheRest) {
  ProgramOptions o;
  EXPECT_EQ(ParseOptions({"In IDE"}, o), "");
  EXPECT_TRUE(o.standalone);
  o = {};
  EXPECT_EQ(
      ParseOptions({"--standalone", "--app-dir", "/a", "--settings", "/s.ini", "--http", "[::1]:0"},
                   o),
      "");
  EXPECT_EQ(o.app_dir, "/a");
  EXPECT_EQ(o.settings_file, "/s.ini");
  EXPECT_EQ(o.http_address, "::1");
  EXPECT_EQ(o.http_port, 0);
  for (auto args : std::vector<std::vector<std::string>>{{"--bogus"},
                                                         {"--app-dir"},
                                                         {"--http", "8080"},
                                                         {"--http", "host:99999"},
                                                         {"--http", ":80"},
                                                         {"In", "IDE", "x"}}) {
    ProgramOptions p;
    EXPECT_NE(ParseOptions(args, p), "") << args[0];
  }
  const std::string usage = UsageText();
  for (const char* flag :
       {"--standalone", "--app-dir", "--settings", "--http", "--help", "--version"}) {
    EXPECT_NE(usage.find(flag), std::string::npos) << flag;
  }
}

}  // namespace
}  // namespace qb
