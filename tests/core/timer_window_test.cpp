#include "core/timer_window.h"

#include "core/hspi.h"
#include "support/plugin_fixture.h"

namespace qb::test {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Return;
using namespace std::chrono_literals;

const auto kMidnight = Clock::WallTime{std::chrono::hours(24 * 20000)};  // TZ=UTC in tests

class TimerWindowTest : public PluginTest {
 protected:
  TimerWindowTest() {
    ConnectHost();
    clock.SetWallTime(kMidnight + 10h);
    window = std::make_shared<frm1Wire>(loop);
    Plugin().parts.timers = window;
  }
  // Runs the timers for `total` of simulated time in 50 ms steps.
  void Run(std::chrono::milliseconds total) { loop.AdvanceAndRun(clock, total, 50ms); }
  void StartPolling() {
    Plugin().Standalone = true;
    ON_CALL(*adapter, InitHW(_)).WillByDefault([] {
      Plugin().AdapterReady = true;
      return std::string();
    });
    window->Show();
    window->EnableStartupTimer();
    Run(8s);  // start-up steps 1 to 4
  }
  std::shared_ptr<frm1Wire> window;
};

TEST_F(TimerWindowTest, StartUpStepsOpenTheAdapterSpeakAndBeginPolling) {
  store.Set("Settings", "Speech", "Hello bus");
  store.Set("Settings", "chkTimer", "0");
  StartPolling();
  EXPECT_EQ(window->StartupStep(), 4);
  EXPECT_EQ(window->lblVer(), "Version 1.6.0");
  EXPECT_TRUE(Plugin().InterfaceReady);
  EXPECT_TRUE(Plugin().PollingStarted);
  EXPECT_THAT(host->LogTexts("1-Wire I/F"), ElementsAre("Polling devices begins..."));
  ASSERT_EQ(host->CountCalls("Speak"), 1u);
  EXPECT_EQ(host->CallsNamed("Speak")[0].args[0], "Hello bus");
  EXPECT_FALSE(window->PollTimerEnabled());  // "chkTimer" off
}

TEST_F(TimerWindowTest, AFailedStartUpIsLoggedAndLeavesThePlugInIdle) {
  Plugin().Standalone = true;
  EXPECT_CALL(*adapter, InitHW(0))
      .WillOnce(Return("unknown adapter type \"{XYZ}\" for port \"1\""));
  EXPECT_CALL(*dialog, ShowModeless());
  window->Show();
  window->EnableStartupTimer();
  Run(10s);
  EXPECT_THAT(host->LogTexts("1-Wire I/F ERROR:"),
              ElementsAre("unknown adapter type \"{XYZ}\" for port \"1\""));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].second,
            "Initialization of 1-Wire Interface failed!\nCheck your settings...");
  EXPECT_FALSE(Plugin().InterfaceReady);
  EXPECT_TRUE(host->LogTexts("1-Wire I/F").empty());
  EXPECT_CALL(*devices, GetDevices()).Times(0);
  Run(10s);  // idle: the poll does nothing without an adapter
}

TEST_F(TimerWindowTest, PollTicksComeFromBothTimersOrFromTimer2Alone) {
  store.Set("Settings", "chkTimer", "0");
  StartPolling();
  int scans = 0;
  ON_CALL(*devices, GetDevices()).WillByDefault([&] { ++scans; });
  Run(60s);
  EXPECT_EQ(scans, 30);  // every 2 s
  window->SetPollTimerEnabled(true);
  scans = 0;
  Run(60s);
  EXPECT_EQ(scans, 240 + 30);  // every 250 ms, and Timer2 still
}

TEST_F(TimerWindowTest, TheTwentiethBusyTickClearsTheFlagsAndPolls) {
  Plugin().AdapterReady = true;
  Plugin().settings.DebugLevel = 4;
  Plugin().ExternalBusy = true;
  EXPECT_CALL(*devices, GetDevices()).Times(0);
  for (int i = 0; i < 19; ++i) window->PollTick();
  EXPECT_TRUE(Plugin().ExternalBusy);
  EXPECT_EQ(host->LogTexts("1-Wire Timer").size(), 19u);
  ::testing::Mock::VerifyAndClearExpectations(devices.get());
  EXPECT_CALL(*adapter, EndExclusive());
  EXPECT_CALL(*devices, GetDevices()).Times(1);
  window->PollTick();
  EXPECT_FALSE(Plugin().ExternalBusy);
  EXPECT_FALSE(Plugin().TimerBusy);
  EXPECT_EQ(host->LogTexts("1-Wire Timer").back(), "Reset busy flags, timeout exeeded.");
}

TEST_F(TimerWindowTest, OnlyTheBusWorkOfATickUpToThirtySecondsExtendsTheCycle) {
  Plugin().AdapterReady = true;
  int busy_seconds = 0;
  ON_CALL(*devices, GetDevices()).WillByDefault([&] {
    clock.Advance(std::chrono::seconds(busy_seconds));
  });
  auto work = [&](int cycle, int seconds) {
    Plugin().settings.CycleSeconds = cycle;
    busy_seconds = seconds;
    window->PollTick();
    busy_seconds = 0;
    window->PollTick();
    return Plugin().settings.CycleSeconds;
  };
  EXPECT_EQ(work(30, 40), 30);
  EXPECT_EQ(work(30, 31), 30);
  EXPECT_EQ(work(20, 30), 30);
  EXPECT_EQ(work(30, 25), 30);
  // Time between ticks is not the poll's work.
  Plugin().settings.CycleSeconds = 1;
  window->PollTick();
  clock.Advance(std::chrono::seconds(5));
  window->PollTick();
  EXPECT_EQ(Plugin().settings.CycleSeconds, 1);
}

TEST_F(TimerWindowTest, RequestsServedInsideATicksPausesDoNotStretchTheCycle) {
  Plugin().AdapterReady = true;
  Plugin().settings.CycleSeconds = 1;
  // A scan that pauses for events while a slow web request (15 s) is waiting, then works 2 s.
  ON_CALL(*devices, GetDevices()).WillByDefault([&] {
    loop.Post([&] { clock.Advance(std::chrono::seconds(15)); });
    loop.DoEvents();
    clock.Advance(std::chrono::seconds(2));
  });
  window->PollTick();
  clock.Advance(std::chrono::milliseconds(250));
  window->PollTick();
  EXPECT_EQ(Plugin().settings.CycleSeconds, 2);  // the 2 s of work count, the request does not
  EXPECT_THAT(host->LogTexts("1-Wire I/F Cycle"), ElementsAre("Cycle timer extended to 2 seconds"));

  // When the work gets quick again, the next network read brings the cycle back down.
  ON_CALL(*devices, GetDevices()).WillByDefault([] {});
  for (int i = 0; i < 12; ++i) {
    clock.Advance(std::chrono::milliseconds(250));
    window->PollTick();
  }
  EXPECT_EQ(Plugin().settings.CycleSeconds, 1);
  EXPECT_THAT(host->LogTexts("1-Wire I/F Cycle"),
              ElementsAre("Cycle timer extended to 2 seconds", "Cycle timer back to 1 seconds"));
}

TEST_F(TimerWindowTest, TheNetworkIsReadEveryCycleAndAtOnceAfterMidnight) {
  Plugin().AdapterReady = true;
  Plugin().settings.CycleSeconds = 30;
  int reads = 0;
  ON_CALL(*cycle, ReadNet()).WillByDefault([&] { ++reads; });
  clock.SetWallTime(kMidnight + 23h + 59min + 20s);
  window->PollTick();  // the first tick reads
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(Plugin().TimerLoop, 0);
  for (int i = 0; i < 10; ++i) {
    clock.Advance(2s);
    window->PollTick();
  }
  EXPECT_EQ(reads, 1);  // 20 s into the cycle
  clock.Advance(2s);    // 23:59:42, 22 s into the cycle
  window->PollTick();
  EXPECT_EQ(reads, 1);
  clock.SetWallTime(kMidnight + 24h + 3s);  // just after midnight: below the last poll time
  window->PollTick();
  EXPECT_EQ(reads, 2);
  for (int i = 0; i < 14; ++i) {
    clock.Advance(2s);
    window->PollTick();
  }
  EXPECT_EQ(reads, 2);  // 28 s into the cycle
  clock.Advance(2s);
  window->PollTick();
  EXPECT_EQ(reads, 3);  // due at exactly 30 s: read on that tick, not the next
}

TEST_F(TimerWindowTest, ShutDownReleasesTheAdapterAndEndsTheProcess) {
  StartPolling();
  EXPECT_CALL(*adapter, ReleaseAdapter());
  EXPECT_CALL(*process, EndProcess());
  hspi plugin;
  Plugin().Standalone = true;
  plugin.ShutdownIO();
  Run(2s);  // the next Timer2 tick performs it
  EXPECT_EQ(Plugin().settings.DebugLevel, 0);
  EXPECT_FALSE(window->PollTimerEnabled());
}

TEST_F(TimerWindowTest, AShutDownDuringABusOperationLeavesTheAdapterToIt) {
  StartPolling();
  EXPECT_CALL(*adapter, ReleaseAdapter()).Times(0);
  EXPECT_CALL(*process, EndProcess());
  ON_CALL(*devices, GetDevices()).WillByDefault([this] {
    window->ShutDown();
  });  // a stop handled mid-scan
  window->PollTick();
  EXPECT_TRUE(Plugin().ShutdownRequested);
}

TEST_F(TimerWindowTest, AHostThatIsGoneShutsThePlugInDown) {
  StartPolling();
  EXPECT_CALL(*process, EndProcess()).Times(::testing::AtLeast(1));
  host->version = "";
  Run(2s);
  EXPECT_TRUE(Plugin().ShutdownRequested);
}

}  // namespace
}  // namespace qb::test
