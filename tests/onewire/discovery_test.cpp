// The bus scan on large and busy buses: when new devices get their host devices, and what is
// logged to the database before and after.
#include <gmock/gmock.h>

#include "host/mqtt_discovery.h"
#include "onewire/bound_container.h"
#include "onewire/bus_scan.h"
#include "onewire/device_reading.h"
#include "onewire/network_fixture.h"
#include "web/device_list.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

json Thermometers(int count, uint64_t first_serial) {
  json devices = json::array();
  for (int i = 0; i < count; ++i) {
    devices.push_back({{"rom", Rom(0x28, first_serial + static_cast<uint64_t>(i))},
                       {"temperature", 20 + i % 10}});
  }
  return devices;
}

// A database that cannot be reached: every row waits for the connection to time out, then is
// lost.
class UnreachableDatabase : public ValueLog {
 public:
  explicit UnreachableDatabase(SimulatedClock& clock) : clock_(clock) {}
  void LogValue(const std::string&, double) override {
    clock_.Advance(3s);
    ++attempts;
  }
  int attempts = 0;

 private:
  SimulatedClock& clock_;
};

class DiscoveryTest : public NetworkTest {
 protected:
  // Mid-morning: the first tick reads the network at once.
  DiscoveryTest() { clock.SetWallTime(Clock::WallTime{std::chrono::hours(24 * 20000 + 10)}); }
  int HostDevicesNamed(const std::string& suffix) {
    int n = 0;
    for (const auto& d : host->devices) {
      if (d->name_.size() > suffix.size() &&
          d->name_.compare(d->name_.size() - suffix.size(), suffix.size(), suffix) == 0)
        ++n;
    }
    return n;
  }
  // Polls until `count` thermometers have host devices; the simulated seconds that took, or -1
  // when they did not get them within two minutes.
  double SecondsUntilThermometers(int count) {
    const auto start = clock.MonotonicNow();
    while (clock.MonotonicNow() - start < 120s) {
      if (HostDevicesNamed("-Temp") >= count)
        return std::chrono::duration<double>(clock.MonotonicNow() - start).count();
      Poll(250ms);
    }
    return -1;
  }
};

TEST_F(DiscoveryTest, AHundredThermometersPolledEverySecondGetTheirHostDevicesAtOnce) {
  // Each tick reads a thermometer (a 750 ms conversion) and so takes about as long as the
  // cycle: every tick begins a new cycle.
  store.Set("Settings", "PollCycle", "1");
  Start(Thermometers(100, 1000));
  const double seconds = SecondsUntilThermometers(100);
  EXPECT_GE(seconds, 0) << "no host devices after two minutes";
  EXPECT_LE(seconds, 10);
  EXPECT_EQ(HostDevicesNamed("-Temp"), 100);
}

TEST_F(DiscoveryTest, NewThermometersGetTheirHostDevicesWhileTheDatabaseTimesOut) {
  // Half the bus is known from an earlier run and logged: every reading of it waits 3 s for the
  // unreachable database, so each tick takes longer than the (extended) cycle.
  store.Set("Settings", "PollCycle", "1");
  store.Set("Settings", "chkChanges", "0");
  for (int i = 0; i < 50; ++i) {
    const std::string key = Rom(0x28, 1000 + static_cast<uint64_t>(i)) + "M";
    host->AddDevice("A", std::to_string(i + 1), kPluginName, key)->name_ =
        key.substr(0, 16) + "-Temp";
    store.Set("Log", key, "1");
  }
  for (int i = 50; i < 100; ++i)
    store.Set("Log", Rom(0x28, 1000 + static_cast<uint64_t>(i)) + "M", "1");
  auto database = std::make_shared<UnreachableDatabase>(clock);
  Plugin().parts.database = database;
  Start(Thermometers(100, 1000));
  const double seconds = SecondsUntilThermometers(100);
  EXPECT_GT(database->attempts, 0);
  EXPECT_GE(seconds, 0) << "no host devices after two minutes";
  EXPECT_LE(seconds, 30);
  EXPECT_EQ(HostDevicesNamed("-Temp"), 100);
}

TEST_F(DiscoveryTest, AScanWhoseSearchAnotherOperationResetGoesOnPastTheDevicesItDid) {
  Start(Thermometers(20, 2000));
  // A command on one device at each of the scan's first pauses: each prepares the bus for itself,
  // which resets the scan's search.
  int interruptions = 0;
  std::function<void()> command = [&] {
    if (++interruptions > 5) return;
    { BoundContainer on_device(Rom(0x28, 2000), 3); }
    loop.Post(command);
  };
  loop.Post(command);
  Plugin().TimerLoop = 2;  // the enumeration tick
  GetDevices();
  EXPECT_GT(interruptions, 5);
  EXPECT_EQ(HostDevicesNamed("-Temp"), 20);  // all of them, once each
  EXPECT_EQ(host->devices.size(), 20u);
}

TEST_F(DiscoveryTest, AReadingIsLoggedOnlyOnceItsChannelHasItsHostDevice) {
  auto log = std::make_shared<RecordingValueLog>();
  Plugin().parts.database = log;
  store.Set("Settings", "chkChanges", "0");
  store.Set("Settings", "PollCycle", "1");
  store.Set("Log", kB20 + "M", "1");
  Start(json::array({{{"rom", kB20}, {"temperature", 21.5}}}));
  Poll(10s);
  ASSERT_TRUE(HostDevice(kB20 + "-Temp"));
  EXPECT_FALSE(log->rows.empty());
  // The first read cycle comes before the enumeration tick: its reading is not logged under a
  // name that belongs to no device ("Unknown <ROM>M").
  EXPECT_THAT(log->unbound, ::testing::IsEmpty());
}

TEST_F(DiscoveryTest, SwitchLevelsAreLoggedAsTheHostShowsThem) {
  auto log = std::make_shared<RecordingValueLog>();
  Plugin().parts.database = log;
  store.Set("Settings", "chkChanges", "1");
  store.Set("Log", kSwitch + "P0", "1");
  store.Set("Log", kSwitch + "P1", "1");
  // Outputs off: the levels are what the lines carry, high on PIO0 and low on PIO1.
  Start(json::array({{{"rom", kSwitch}, {"latches", {false, false}}, {"levels", {true, false}}}}));
  Poll(10s);
  ASSERT_EQ(Shown(kSwitch + "-PIO0"), "On");
  ASSERT_EQ(Shown(kSwitch + "-PIO1"), "Off");
  // The scan logs each level once while it stays: on as 100, off as 0.
  EXPECT_THAT(log->rows, ::testing::UnorderedElementsAre(std::pair{kSwitch + "P0", 100.0},
                                                         std::pair{kSwitch + "P1", 0.0}));
  // A read of the device itself (a command's refresh) logs the same way.
  Plugin().settings.chkChanges = false;
  log->rows.clear();
  ASSERT_TRUE(SetupContainer(kSwitch, 2, false));
  ReadDev(*gROMs().Find(kSwitch), kSwitch, 0);
  EXPECT_THAT(log->rows, ::testing::UnorderedElementsAre(std::pair{kSwitch + "P0", 100.0},
                                                         std::pair{kSwitch + "P1", 0.0}));
}

TEST_F(DiscoveryTest, AChannelNotReadYetSaysSoAndItsFirstReadingIsShownWhateverItIs) {
  Plugin().settings.Append = false;
  store.Set("Settings", "Append", "0");
  store.Set("Settings", "PollTemp", "0");  // not read until asked
  Start(json::array({{{"rom", kB20}, {"temperature", 0}}}));
  Poll(3s);
  auto channel = gROMs().FindDev(kB20 + "M");
  ASSERT_NE(channel->dc, -1);
  EXPECT_EQ(channel->HSString, kNoReadingText);
  EXPECT_FALSE(channel->HasReading());
  const std::string page = DeviceListPage();
  EXPECT_THAT(page, HasSubstr(std::string(">") + kNoReadingText + "</td>"));  // no unit after it
  EXPECT_THAT(page, Not(HasSubstr(">0\u00BAC<")));

  Plugin().settings.PollTemp = 1;
  Poll(6s);
  EXPECT_EQ(Shown(kB20 + "-Temp"), "0.000");  // 0 degrees is a reading like any other
  EXPECT_TRUE(channel->HasReading());
  EXPECT_THAT(DeviceListPage(), HasSubstr(">0.000\u00BAC</td>"));
}

TEST_F(DiscoveryTest, ABatteryMonitorShowsItsVoltage) {
  const std::string battery = Rom(0x30, 21);
  Start(json::array({{{"rom", battery}, {"temperature", 25}, {"voltage", 3.899}}}));
  Poll(12s);
  EXPECT_EQ(Shown(battery + "-Vad"), "3.899V");
  EXPECT_EQ(Shown(battery + "-Temp"), "25.000\u00BAC");
  // Not a DS2438: never taken for a humidity sensor.
  EXPECT_EQ(gROMs().Find(battery)->DS2438Humid, 0);
  EXPECT_TRUE(ui.questions.empty());
  EXPECT_THAT(DeviceListPage(), HasSubstr(">3.899V</td>"));
  // What the MQTT bridge publishes as its state.
  ChannelKind kind{};
  ASSERT_TRUE(ChannelKindOf(battery + "H", kind));
  EXPECT_EQ(StatePayload(kind, HostDevice(battery + "-Vad")->string_), "3.899");
}

}  // namespace
}  // namespace qb::test
