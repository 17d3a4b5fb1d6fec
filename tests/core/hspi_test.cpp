#include "core/hspi.h"

#include "core/log.h"
#include "support/plugin_fixture.h"

namespace qb::test {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::InSequence;
using ::testing::Return;
using ::testing::Throw;

class HspiTest : public PluginTest {};

TEST_F(HspiTest, FixedAnswersAndInstanceCount) {
  const int32_t before = Plugin().InstanceCount;
  {
    hspi plugin;
    EXPECT_EQ(Plugin().InstanceCount, before + 1);
    EXPECT_EQ(plugin.Capabilities(), 4);
    EXPECT_EQ(plugin.name(), "Quellbrook 1-Wire Interface");
    EXPECT_EQ(plugin.InterfaceStatus(), 0);
    EXPECT_EQ(plugin.AccessLevel(), 1);
    EXPECT_TRUE(plugin.SupportsConfigDevice());
    EXPECT_FALSE(plugin.SupportsTriggerUI());
    EXPECT_FALSE(plugin.SupportsActionUI());
    EXPECT_TRUE(plugin.SupportsConditionUI());
    EXPECT_TRUE(plugin.HasOptions());
    Plugin().Standalone = true;  // destroying it must not end the process
    EXPECT_CALL(*process, EndProcess()).Times(0);
  }
  EXPECT_EQ(Plugin().InstanceCount, before);
}

TEST_F(HspiTest, ReleasedByAHostTheObjectEndsTheProcess) {
  EXPECT_CALL(*process, EndProcess()).Times(1);
  { hspi plugin; }
}

TEST_F(HspiTest, RegisterCallbackKeepsTheHostAndLogs) {
  hspi plugin;
  plugin.RegisterCallback(host);
  EXPECT_EQ(Plugin().host, host);
  EXPECT_THAT(host->LogTexts("1-Wire I/F"), ElementsAre("Register callback completed"));
  EXPECT_TRUE(messages.empty());
}

TEST_F(HspiTest, RegisterCallbackWithoutHostObjectShowsAMessageAndLogsNothing) {
  host->no_host_object = true;
  hspi plugin;
  plugin.RegisterCallback(host);
  EXPECT_EQ(Plugin().host, nullptr);
  EXPECT_TRUE(host->log.empty());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].second, "Unable to access HS interface");

  host->no_host_object = false;
  host->failing = {"GetHSIface"};  // a failing call is skipped the same way
  messages.clear();
  plugin.RegisterCallback(host);
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(HspiTest, InitIOStartsTheAdapterAndRegistersWithTheHost) {
  hspi plugin;
  plugin.RegisterCallback(host);
  EXPECT_CALL(*adapter, InitHW(7)).WillOnce(Return(""));
  const auto start = clock.Now();
  EXPECT_EQ(plugin.InitIO(7), "");
  EXPECT_TRUE(Plugin().InterfaceReady);
  EXPECT_EQ(clock.Now() - start, std::chrono::milliseconds(500));  // the splash wait

  auto splash = host->CallsNamed("WriteSplash");
  ASSERT_EQ(splash.size(), 1u);
  EXPECT_EQ(splash[0].args[0], "Quellbrook 1-Wire Interface Initializing...");
  auto menu = host->CallsNamed("RegisterMenu");
  ASSERT_EQ(menu.size(), 1u);
  EXPECT_THAT(menu[0].args, ElementsAre("Quellbrook 1-Wire Interface", "Quellbrook 1-Wire..."));
  auto link = host->CallsNamed("RegisterLink");
  ASSERT_EQ(link.size(), 1u);
  EXPECT_EQ(link[0].args[0], "1-Wire");
  EXPECT_EQ(link[0].args[1], "1-Wire");
  const std::string title = link[0].args[2];
  EXPECT_LT(title.find("<a "), title.find("<font size=\"5\">Quellbrook 1-Wire Interface"));
  EXPECT_EQ(title.substr(title.size() - 11), "</a></font>");

  // A second InitIO does nothing at all.
  const size_t calls = host->calls.size();
  EXPECT_EQ(plugin.InitIO(7), "");
  EXPECT_EQ(host->calls.size(), calls);
}

TEST_F(HspiTest, InitIOOnAnOldHostStillStartsTheAdapter) {
  host->interface_version = 1;
  hspi plugin;
  plugin.RegisterCallback(host);
  EXPECT_CALL(*adapter, InitHW(0)).WillOnce(Return(""));
  EXPECT_EQ(plugin.InitIO(0), "");
  EXPECT_EQ(host->CountCalls("WriteSplash"), 0u);
  EXPECT_EQ(host->CountCalls("RegisterMenu"), 0u);
  EXPECT_EQ(host->CountCalls("RegisterLink"), 0u);
  EXPECT_EQ(plugin.link(), "");
  EXPECT_TRUE(Plugin().InterfaceReady);
}

TEST_F(HspiTest, InitIOReturnsTheAdapterErrorAndStaysNotReady) {
  store.Set("Settings", "WEB PAGE", "0");  // keys are case-insensitive
  hspi plugin;
  plugin.RegisterCallback(host);
  EXPECT_CALL(*adapter, InitHW(_)).WillRepeatedly(Return("Adapter not found"));
  EXPECT_EQ(plugin.InitIO(1), "Adapter not found");
  EXPECT_FALSE(Plugin().InterfaceReady);
  EXPECT_EQ(host->CountCalls("RegisterMenu"), 1u);
  EXPECT_EQ(host->CountCalls("RegisterLink"), 0u);   // "Web Page" is off
  EXPECT_EQ(plugin.InitIO(1), "Adapter not found");  // not ready, so it tries again
}

TEST_F(HspiTest, InitIOPassesAFailingHostCallToItsCaller) {
  hspi plugin;
  EXPECT_THROW(plugin.InitIO(0), HostError);  // no host registered yet
  plugin.RegisterCallback(host);
  host->failing = {"InterfaceVersion"};
  EXPECT_THROW(plugin.InitIO(0), HostError);
}

TEST_F(HspiTest, ShutdownIOAndConfigIO) {
  hspi plugin;
  plugin.RegisterCallback(host);

  plugin.ConfigIO();  // not initialised: only the restart message
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].second,
            "The interface has not been initialised\rPlease restart Hearthmoor");

  Plugin().InterfaceReady = true;
  EXPECT_CALL(*dialog, ShowModeless()).Times(2);
  EXPECT_CALL(*devices, AdoptHSDevices(false)).Times(1);
  EXPECT_CALL(*devices, GetDevices()).Times(1).WillOnce(Throw(std::runtime_error("bus gone")));
  plugin.ConfigIO();  // interface only: the dialog
  Plugin().AdapterReady = true;
  plugin.ConfigIO();  // both: dialog, adoption, discovery; a failing step is skipped

  plugin.ShutdownIO();
  EXPECT_TRUE(Plugin().ShutdownRequested);
  EXPECT_FALSE(Plugin().InterfaceReady);
}

class SetIOTest : public HspiTest {
 protected:
  SetIOTest() {
    plugin.RegisterCallback(host);
    Plugin().AdapterReady = true;
    Plugin().strHouseCodes = {"A", "Q"};
    Plugin().gBaseCodes = 1;
    Plugin().settings.DebugLevel = 5;
  }
  void Send(const std::string& hc, const std::string& dc, int16_t command, int16_t brightness = 0) {
    plugin.SetIO(&device, hc, dc, command, brightness, 11, 12);
  }
  hspi plugin;
  TestDevice device;
};

TEST_F(SetIOTest, DeviceCode999WritesTheStateDumpAndDrivesNothing) {
  clock.SetWallTime(Clock::WallTime{std::chrono::hours(24 * 20000) + std::chrono::seconds(3723) +
                                    std::chrono::milliseconds(500)});
  Plugin().TimerBusy = true;
  Plugin().TimerLoop = 17;
  Plugin().TimerLoopWait = 42;
  ON_CALL(*timers, PollTimerEnabled()).WillByDefault(Return(true));
  EXPECT_CALL(*devices, BindHSDevice(_, _, _)).Times(0);
  host->log.clear();
  Send("Q", "999", 2);
  EXPECT_THAT(host->LogTexts("1-Wire FORCE DEBUG"),
              ElementsAre("Timer Enabled = True", "Timer Busy = True", "External Busy = False",
                          "Timer Loop = 17", "TimerLoopWait = 42", "Windows Timer = 3723.5"));
  EXPECT_EQ(Plugin().TimerLoopWait, 3723);
}

TEST_F(SetIOTest, ForeignHouseCodeOrNoAdapterDoesNothing) {
  EXPECT_CALL(*devices, BindHSDevice(_, _, _)).Times(0);
  const size_t calls = host->calls.size();
  Send("B", "1", 2);
  Send("a", "1", 2);  // house codes are compared exactly
  Plugin().AdapterReady = false;
  Send("A", "999", 2);
  EXPECT_EQ(host->calls.size(), calls);
}

TEST_F(SetIOTest, CommandNineteenOrMoreClearsTimerBusyOnly) {
  Plugin().TimerBusy = true;
  EXPECT_CALL(*devices, BindHSDevice(_, _, _)).Times(0);
  Send("A", "3", 19);
  EXPECT_FALSE(Plugin().TimerBusy);
}

TEST_F(SetIOTest, UnknownDeviceIsLoggedFromDebugLevelTwo) {
  EXPECT_CALL(*devices, BindHSDevice(&device, "A", "7")).WillRepeatedly(Return(std::nullopt));
  Send("A", "7", 2, 33);
  EXPECT_THAT(host->LogTexts("1-Wire (X10) Rcvd"),
              ElementsAre("Device=A7 Command=2 Brightness=33 Data1=11 Data2=12"));
  EXPECT_THAT(host->LogTexts("1-Wire ERROR(SetIO)"),
              ElementsAre("Device not yet found in collection: A7"));
  host->log.clear();
  Plugin().settings.DebugLevel = 1;
  Send("A", "7", 2);
  EXPECT_TRUE(host->log.empty());
}

TEST_F(SetIOTest, SwitchAndAnalogueOutputFollowTheCommand) {
  const ChannelRef sw{"0000000012345612P1", 0x100};
  const ChannelRef ad{"00000000ABCDEF20J3", 0x08};
  EXPECT_CALL(*devices, BindHSDevice(_, "A", "1")).WillRepeatedly(Return(sw));
  EXPECT_CALL(*devices, BindHSDevice(_, "A", "2")).WillRepeatedly(Return(ad));
  {
    InSequence order;
    EXPECT_CALL(*devices, SetSwitch(Field(&ChannelRef::key, sw.key), true));
    EXPECT_CALL(*devices, SetSwitch(Field(&ChannelRef::key, sw.key), false));
    EXPECT_CALL(*devices, AD4Adjust(3, 5, 1, ad.key));
    EXPECT_CALL(*devices, UpdateHSDev(Field(&ChannelRef::key, ad.key), "On"));
    EXPECT_CALL(*devices, AD4Adjust(3, 5, 0, ad.key));
    EXPECT_CALL(*devices, UpdateHSDev(Field(&ChannelRef::key, ad.key), "Off"));
  }
  Send("A", "1", 2);
  Send("A", "1", 3);
  Send("A", "2", 2);
  Send("A", "2", 4);
  EXPECT_THAT(host->LogTexts("1-Wire (X10) Rcvd").back(),
              "Device updated: A2 ROM=00000000ABCDEF20");
  EXPECT_FALSE(Plugin().ExternalBusy);
}

TEST_F(SetIOTest, PotentiometerScalingRoundsHalvesToEven) {
  const ChannelRef pot{"000000000000AB2CT", 0x40};
  EXPECT_CALL(*devices, BindHSDevice(_, _, _)).WillRepeatedly(Return(pot));
  {
    InSequence order;
    EXPECT_CALL(*devices, SetPot(_, 128, false));  // dim 50: 127.5 -> 128
    EXPECT_CALL(*devices, SetPot(_, 76, false));   // dim 70: 76.5 -> 76
    EXPECT_CALL(*devices, SetPot(_, 76, false));   // bright 30: 76.5 -> 76
    EXPECT_CALL(*devices, SetPot(_, 255, false));  // bright 100
    EXPECT_CALL(*devices, SetPot(_, 40, true));    // any other command: unscaled
  }
  Send("A", "5", 4, 50);
  Send("A", "5", 4, 70);
  Send("A", "5", 5, 30);
  Send("A", "5", 5, 100);
  Send("A", "5", 2, 40);
}

TEST_F(SetIOTest, ExternalBusyIsHeldWhileDrivingAndClearedEvenOnFailure) {
  const ChannelRef other{"0000000000000A1D", 0x01};
  EXPECT_CALL(*devices, BindHSDevice(_, _, _)).WillRepeatedly(Return(other));
  EXPECT_CALL(*devices, WriteOutput(_, 3, 9)).WillOnce([](const ChannelRef&, int16_t, int16_t) {
    EXPECT_TRUE(Plugin().ExternalBusy);
    throw std::runtime_error("device vanished");
  });
  Send("A", "4", 3, 9);
  EXPECT_FALSE(Plugin().ExternalBusy);
}

TEST_F(SetIOTest, TickTimeIsRefreshedAfterTwoMinutesOrAtMidnight) {
  EXPECT_CALL(*devices, BindHSDevice(_, _, _)).WillRepeatedly(Return(std::nullopt));
  const auto midnight = Clock::WallTime{std::chrono::hours(24 * 20000)};
  clock.SetWallTime(midnight + std::chrono::seconds(1000));
  Plugin().TimerLoopWait = 900;  // 100 s ago: kept
  Send("A", "1", 2);
  EXPECT_EQ(Plugin().TimerLoopWait, 900);
  Plugin().TimerLoopWait = 879;  // 121 s ago: refreshed
  Send("A", "1", 2);
  EXPECT_EQ(Plugin().TimerLoopWait, 1000);
  Plugin().TimerLoopWait = 86000;  // before midnight
  Send("A", "1", 2);
  EXPECT_EQ(Plugin().TimerLoopWait, 1000);
}

TEST_F(HspiTest, MenuButtonAndConditionCalls) {
  hspi plugin;
  plugin.RegisterCallback(host);
  EXPECT_CALL(*dialog, ShowModeless()).Times(1);
  plugin.SelectMenu("Quellbrook 1-Wire Interface");
  plugin.SelectMenu("quellbrook 1-wire...");
  plugin.SelectMenu("Quellbrook 1-Wire...");

  plugin.ButtonPress("Update A12");
  plugin.ButtonPress("short");
  auto x10 = host->CallsNamed("ExecX10");
  ASSERT_EQ(x10.size(), 2u);
  EXPECT_THAT(x10[0].args, ElementsAre("A12", "Off", "0"));
  EXPECT_EQ(x10[1].args[0], "");
}

TEST_F(HspiTest, ConfigDeviceShowsTheNodeAndItsTab) {
  hspi plugin;
  plugin.RegisterCallback(host);
  EXPECT_CALL(*devices, GetHSROM("B", "4")).WillOnce(Return(ChannelRef{"10A1B2C3D4E5F628M", 0}));
  EXPECT_CALL(*dialog, ShowModeless());
  EXPECT_CALL(*dialog, BringToFront());
  EXPECT_CALL(*dialog, ShowDeviceNode("10A1B2C3D4E5F628", 128 << 16));
  EXPECT_CALL(*dialog, SelectDeviceTab(0));
  plugin.ConfigDevice("B", "4");
}

TEST(DeviceTab, LetterChoosesTheTab) {
  EXPECT_EQ(DeviceTabForKey("10A1B2C3D4E5F628M"), 0);
  for (const char* key : {"X0000000000000AAN", "X0000000000000AAG", "X0000000000000AAH"})
    EXPECT_EQ(DeviceTabForKey(key), 1);
  EXPECT_EQ(DeviceTabForKey("X0000000000000AAI"), 3);
  EXPECT_EQ(DeviceTabForKey("X0000000000000AAJ"), 4);
  EXPECT_EQ(DeviceTabForKey("X0000000000000AAK1"), 7);  // 18 characters: the 17th counts
  EXPECT_EQ(DeviceTabForKey("X0000000000000AAP0"), 7);
  EXPECT_EQ(DeviceTabForKey("X0000000000000AAS"), 7);
  EXPECT_EQ(DeviceTabForKey("X0000000000000AAT"), 8);
  EXPECT_EQ(DeviceTabForKey("X0000000000000AAM9"), 0);
  EXPECT_EQ(DeviceTabForKey("X0000000000000A28"), 9);  // a bare ROM id ends in a digit
}

TEST_F(HspiTest, GenPageHoldsExternalBusyOnEveryWayOut) {
  hspi plugin;
  EXPECT_CALL(*pages, GenPage("1-Wire?PAGE=1")).WillOnce([](const std::string&) {
    EXPECT_TRUE(Plugin().ExternalBusy);
    return std::string("<p>charts</p>");
  });
  EXPECT_EQ(plugin.GenPage("1-Wire?PAGE=1"), "<p>charts</p>");
  EXPECT_FALSE(Plugin().ExternalBusy);
  EXPECT_CALL(*pages, GenPage(_)).WillOnce(Throw(std::runtime_error("broken")));
  EXPECT_THROW(plugin.GenPage("1-Wire"), std::runtime_error);
  EXPECT_FALSE(Plugin().ExternalBusy);
  EXPECT_CALL(*pages, PagePut("a=1&b=2")).WillOnce(Return("done"));
  EXPECT_EQ(plugin.PagePut("a=1&b=2"), "done");
}

TEST_F(HspiTest, StandaloneStartShowsTheTimerWindowAndRegistersTheLink) {
  hspi plugin;
  {
    InSequence order;
    EXPECT_CALL(*timers, Show());
    EXPECT_CALL(*timers, EnableStartupTimer());
  }
  EXPECT_CALL(*adapter, InitHW(_)).Times(0);  // the start-up timer runs the adapter start-up
  StartStandalone(plugin, host);
  EXPECT_TRUE(Plugin().Standalone);
  EXPECT_EQ(Plugin().host, host);
  EXPECT_EQ(host->registered_link, &plugin);
  EXPECT_EQ(plugin.link(), "1-Wire");
}

TEST_F(HspiTest, LogClassesFollowTheDebugLevel) {
  ConnectHost();
  Plugin().settings.DebugLevel = 2;
  WriteLog(LogClass::ErrorsAlarms, "c", "error");
  WriteLog(LogClass::Updates, "c", "update");
  WriteLog(LogClass::CycleInfo, "c", "cycle");
  Plugin().settings.DebugLevel = 0;
  WriteLog(LogClass::ErrorsAlarms, "c", "silenced");
  WriteLog(LogClass::Always, "c", "always");
  EXPECT_THAT(host->LogTexts("c"), ElementsAre("error", "update", "always"));
  host->failing = {"writelog"};
  EXPECT_NO_THROW(WriteLog(LogClass::Always, "c", "lost"));
}

}  // namespace
}  // namespace qb::test
