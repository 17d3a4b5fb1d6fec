// Device information and the clocks of the DS1994 and the thermochron, on the simulator.
#include "onewire/device_clock.h"

#include <gmock/gmock.h>

#include "access/container.h"
#include "alarms/alarm_fixture.h"
#include "onewire/bound_container.h"
#include "onewire/device_info.h"
#include "registry/host_codes.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string k1994 = Rom(0x04, 20), k1921 = Rom(0x21, 21), kRtc = Rom(0x24, 22);

// 2026-12-07 17:05:09 as seconds since 1970.
constexpr int64_t kSomeTime = 1796663109;

TEST(ClockDates, FollowTheDayCountWithoutTimeZones) {
  EXPECT_EQ(DateOfLibraryTime(0), 25569);
  EXPECT_EQ(DateText(DateOfLibraryTime(0)), "1970-01-01");
  EXPECT_EQ(DateText(DateOfLibraryTime(kSomeTime * 1000)), "2026-12-07 17:05:09");
  EXPECT_EQ(DateText(DateOfLibraryTime(kSomeTime * 1000 + 999)), "2026-12-07 17:05:10");
  const auto when = std::chrono::system_clock::from_time_t(kSomeTime);
  EXPECT_EQ(LibraryTimeOfLocal(when), kSomeTime * 1000);  // the tests run in UTC
}

class DeviceClockTest : public AlarmTest {
 protected:
  void SetUp() override {
    clock.SetWallTime(std::chrono::system_clock::from_time_t(kSomeTime));
    Start(json::array({{{"rom", k1994}, {"clock", 0}},
                       {{"rom", k1921}, {"clock", kSomeTime}, {"running", true}},
                       {{"rom", kB20}, {"temperature", 20}}}));
  }
  // The device's clock state as the library reads it.
  template <typename F>
  auto Read(const std::string& rom, F f) {
    BoundContainer b(rom, 3);
    const access::DeviceState state = b.c().readDevice();
    return f(b.c(), state);
  }
};

TEST_F(DeviceClockTest, AStoppedClockAtZeroShows1970AndIsSetAndStartedBitByBit) {
  const std::string page = ShowDevTime(k1994);
  // Setting the clock is a change: a button of the page's form, never a link.
  EXPECT_THAT(page, HasSubstr("<button type=\"submit\" class=\"formbutton\" name=\"SetTime\" "
                              "value=\"" +
                              k1994 + "\">Set device time to PC time</button>"));
  EXPECT_THAT(page, HasSubstr("<br><br><b>Time: 1970-01-01</b> - Clock is stopped<br>"));
  EXPECT_THAT(page, HasSubstr("Alarm not set<br>"));
  EXPECT_THAT(page, HasSubstr("Interval Timer: 0 seconds<br>Interval Alarm Not Set<br> "
                              "Interval Alarm Not Active<br>"));

  SetClock(kSetTime, k1994);
  using C = access::OneWireContainer;
  using S = access::DeviceState;
  EXPECT_EQ(Read(k1994, [](C& c, const S& s) { return c.getClock(s) / 1000; }), kSomeTime);
  EXPECT_FALSE(Read(k1994, [](C& c, const S& s) { return c.isClockRunning(s); }));
  SetClock(kToggleClockRun, k1994);
  EXPECT_TRUE(Read(k1994, [](C& c, const S& s) { return c.isClockRunning(s); }));
  clock.Advance(std::chrono::seconds(10));
  EXPECT_THAT(ShowDevTime(k1994), HasSubstr("<b>Time: 2026-12-07 17:05:19</b> - Clock is running"));

  // Every other bit, in one write.
  ClockEntries entries{(kSomeTime + 3600) * 1000, 5000, 60000};
  SetClock(kSetClockAlarm | kSetInterval | kSetIntervalAlarm | kToggleIntervalAuto, k1994, entries);
  std::string shown = ShowDevTime(k1994);
  EXPECT_THAT(shown, HasSubstr("Alarm Set: 2026-12-07 18:05:09<br>"));
  EXPECT_THAT(shown, HasSubstr("Interval Alarm Set<br> Interval Alarm At: 60 seconds<br>"));
  EXPECT_TRUE(Read(k1994, [](C& c, const S& s) { return c.isIntervalTimerAutomatic(s); }));
  SetClock(kToggleClockAlarm | kToggleIntervalAlarm, k1994);
  shown = ShowDevTime(k1994);
  EXPECT_THAT(shown, HasSubstr("Alarm not set<br>"));
  EXPECT_THAT(shown, HasSubstr("Interval Alarm Not Set<br> "));

  SetClock(kToggleClockRun, k1994.substr(0, 15));  // not a ROM id: nothing happens
  EXPECT_TRUE(Read(k1994, [](C& c, const S& s) { return c.isClockRunning(s); }));
  EXPECT_TRUE(host->LogTexts("1-Wire ERROR(SetClock)").empty());
}

TEST_F(DeviceClockTest, AThermochronWithoutAnAlarmShowsItsDateAndNoError) {
  const std::string page = ShowDevTime(k1921);
  EXPECT_THAT(page, HasSubstr("<b>Time: 2026-12-07 17:05:09</b> - Clock is running<br>"));
  EXPECT_THAT(page, HasSubstr("Alarm not set<br>"));
  EXPECT_THAT(page, Not(HasSubstr("Interval")));
  EXPECT_TRUE(host->LogTexts("1-Wire ERROR(ShowDevTime)").empty());
  // Set from this machine in December: the month register holds 12, and reads back as December.
  SetClock(kSetTime, k1921);
  EXPECT_THAT(ShowDevTime(k1921), HasSubstr("<b>Time: 2026-12-07 17:05:09</b>"));
  EXPECT_EQ(ShowDevTime(kRtc), "");  // no container
}

TEST_F(DeviceClockTest, DeviceInformation) {
  EXPECT_EQ(DeviceInfo(kRtc, true), "Unsupported device");
  auto m = gROMs().FindDev(kB20 + "M");
  CreateHSDevice(*m, "DS18B20", "0", kB20 + "-Temp");
  const std::string info = DeviceInfo(kB20, true);
  EXPECT_THAT(info, HasSubstr("Type: DS18B20 Family: 28\nAlternate Names: "));
  EXPECT_THAT(info, HasSubstr("Address: " + kB20 + "\nHearthmoor Device Code: " + m->Code()));
  EXPECT_THAT(info, HasSubstr("Temperature Resolution: 0.0625\u00B0C\nPower: External"));
  EXPECT_THAT(DeviceInfo(k1994, false), Not(HasSubstr("Address:")));
  EXPECT_THAT(DeviceInfo(k1994, false), Not(HasSubstr("Temperature Resolution")));
}

}  // namespace
}  // namespace qb::test
