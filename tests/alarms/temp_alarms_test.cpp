// Temperature alarm conditions and the alarm reaction of the read cycle, on the simulator.
#include <gmock/gmock.h>

#include "alarms/alarm_fixture.h"
#include "onewire/bound_container.h"
#include "onewire/device_config.h"
#include "sim/ds1921.h"
#include "web/device_list.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::_;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Return;

const std::string k1921 = Rom(0x21, 10);

// Counts the beeps as the desktop would sound them.
class BeepCounter : public HeadlessUserInterface {
 public:
  using HeadlessUserInterface::HeadlessUserInterface;
  void Beep() override { ++beeps; }
  int beeps = 0;
};

TEST(LimitBytes, AreSignedBytes) {
  EXPECT_EQ(LimitOfHexByte("7D"), 125);
  // A signed byte: 7E is 126 (reading it as 126 - 256 would put every temperature above it).
  EXPECT_EQ(LimitOfHexByte("7E"), 126);
  EXPECT_EQ(LimitOfHexByte("80"), -128);
  EXPECT_EQ(LimitOfHexByte("FF"), -1);
  EXPECT_EQ(LimitOfHexByte("G1"), 0);
}

TEST_F(AlarmTest, TheDirectionFollowsTheLimitsTheDeviceHolds) {
  // High limit 7E (126), low limit FF (-1): at -5 degrees the device is under, never over.
  Start(json::array({{{"rom", kB20}, {"temperature", -5}, {"alarm_high", 126}, {"alarm_low", -1}},
                     {{"rom", kS20}, {"temperature", 30}, {"alarm_high", 25}}}));
  Poll(11s);  // found, given host devices and read (converted) in turn
  EXPECT_TRUE(TempAlarmActive(kB20, true));
  EXPECT_FALSE(TempAlarmActive(kB20, false));
  EXPECT_TRUE(TempAlarmActive(kS20, false));
  EXPECT_FALSE(TempAlarmActive(kS20, true));
  EXPECT_FALSE(TempAlarmActive("", false));

  // The flag stays set until the next conversion; with the limit moved above the temperature the
  // device is in alarm in neither direction.
  SetTempAlarm(kS20, true, 35);
  EXPECT_TRUE(OneWire().adapter->isPresent(*access::RomId::Parse(kS20), true));
  EXPECT_FALSE(TempAlarmActive(kS20, false));
  EXPECT_FALSE(TempAlarmActive(kS20, true));
}

TEST_F(AlarmTest, ConditionsOfferNameAndCheckOnlyTheirOwnDevices) {
  Start(json::array({{{"rom", kB20}, {"temperature", 30}, {"alarm_high", 25}},
                     {{"rom", kSwitch}, {"latches", {false, false}}}}));
  EXPECT_EQ(ConditionUI(1), "1-Wire Temperature Alarm\t0\t0\tDevice:\t");  // no devices yet
  Poll(6s);
  Named(kB20 + "M", "Cellar", "Sensor");
  Named(kB20, "Cellar", "Sensor ID");  // the device's own record: 16 characters, never offered
  Named(kSwitch + "S0", "Garage", "Fan");
  EXPECT_EQ(ConditionUI(2), "");
  EXPECT_EQ(ConditionUI(1),
            "1-Wire Temperature Alarm\t0\t0\tDevice:\tCellar Sensor\r\t\t0\t0\tAlarm:\tOver "
            "Temp\tUnder Temp\r");
  EXPECT_EQ(gROMs().FindDev(kSwitch + "S0")->hasTemperatureAlarms, 0);

  EXPECT_EQ(ConditionUIFormat(Condition("Cellar Sensor", "Over Temp")),
            "1-Wire Temperature Alarm on Cellar Sensor is Over Temp");
  EXPECT_EQ(ConditionUIFormat(Condition("Cellar Sensor", "On", "X10 Device Status")), "");
  EXPECT_EQ(ConditionUIFormat("no separators"), "");

  hspi plugin;  // as the host asks
  EXPECT_TRUE(plugin.ConditionCheck(Condition("Cellar Sensor", "Over Temp")));
  EXPECT_FALSE(plugin.ConditionCheck(Condition("Cellar Sensor", "Under Temp")));
  EXPECT_FALSE(plugin.ConditionCheck(Condition("Cellar Sensor", "Over Temp", "Other Type")));
  EXPECT_FALSE(plugin.ConditionCheck(Condition("Attic Sensor", "Over Temp")));  // no such device
}

TEST_F(AlarmTest, TheThermochronArmsItsSearchFlagAndReportsItsAlarmFlags) {
  Start(json::array({{{"rom", k1921}, {"temperature", 30}, {"running", true}}}));
  SetTempAlarm(k1921, true, 25);
  EXPECT_EQ(GetTempAlarms(k1921), std::make_pair(-40.0, 25.0));
  EXPECT_TRUE(TempAlarmActive(k1921, false));  // the alarm search samples the temperature
  EXPECT_FALSE(TempAlarmActive(k1921, true));
  EXPECT_TRUE(HasTempAlarms(k1921));
  EXPECT_TRUE(host->LogTexts("1-Wire ERROR(SetTempAlarm)").empty());
}

TEST_F(AlarmTest, AnAlarmingThermometerIsLoggedEachCycleAndBeepsOrSpeaks) {
  BeepCounter beeper(clock, nullptr);
  Plugin().services.ui = &beeper;
  store.Set("Settings", "Alarm Mode", "1");
  ON_CALL(*dialog, IsOpen()).WillByDefault(Return(true));
  EXPECT_CALL(*dialog, ShowDeviceNode(_, _)).Times(::testing::AnyNumber());
  EXPECT_CALL(*dialog, ShowDeviceNode(kB20, kAlarmColour)).Times(::testing::AtLeast(2));
  Start(json::array({{{"rom", kB20}, {"temperature", 30}, {"alarm_high", 25}},
                     {{"rom", k1822}, {"temperature", 20}}}));
  Poll(21s);  // the scan gives the devices their host devices; four read cycles
  const auto alarms = host->LogTexts("1-Wire Device Alarm");
  ASSERT_GE(alarms.size(), 2u);
  EXPECT_THAT(alarms.back(), HasSubstr(" Value= 30.000"));
  EXPECT_EQ(beeper.beeps, static_cast<int>(alarms.size()));

  Plugin().settings.AlarmMode = 2;
  Plugin().settings.LogAlarms = false;
  const size_t logged = alarms.size();
  Poll(6s);
  EXPECT_EQ(host->LogTexts("1-Wire Device Alarm").size(), logged);
  const auto spoken = host->CallsNamed("Speak");
  ASSERT_FALSE(spoken.empty());
  EXPECT_THAT(spoken.back().args.at(0), HasSubstr("Warning! an alarm is active on " +
                                                  gROMs().FindDev(kB20 + "M")->HSLocation));
}

TEST_F(AlarmTest, OnlyAReadThermometerRaisesItsAlarmWhichIsMarkedAndItsEndLoggedOnce) {
  store.Set("Settings", "PollTemp", "0");  // not read by the cycle until asked
  Start(json::array({{{"rom", kB20},
                      {"temperature", {{"type", "steps"}, {"steps", {{0, 30}, {40, 20}}}}},
                      {"alarm_high", 25}}}));
  {
    // A conversion from before the plug-in started: the device answers the alarm search.
    BoundContainer b(kB20, 3);
    access::DeviceState state = b.c().readDevice();
    b.c().doTemperatureConvert(state);
  }
  Poll(12s);
  auto channel = gROMs().FindDev(kB20 + "M");
  ASSERT_NE(channel->dc, -1);
  EXPECT_FALSE(channel->HasReading());
  // Nothing is known of its temperature: no alarm line (it said "Value= 0"), no mark.
  EXPECT_TRUE(host->LogTexts("1-Wire Device Alarm").empty());
  EXPECT_FALSE(channel->InAlarm);

  Plugin().settings.PollTemp = 1;
  Poll(12s);
  const auto alarms = host->LogTexts("1-Wire Device Alarm");
  ASSERT_FALSE(alarms.empty());
  EXPECT_THAT(alarms.front(), HasSubstr(" Value= 30.000"));
  EXPECT_TRUE(channel->InAlarm);
  EXPECT_THAT(DeviceListPage(), HasSubstr("30.000ºC (alarm)</td>"));

  Poll(30s);  // 20 degrees from 40 s on: read, then no longer alarming
  EXPECT_FALSE(channel->InAlarm);
  Poll(20s);
  const auto lines = host->LogTexts("1-Wire Device Alarm");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& t) { return t.find("Alarm ended") != t.npos; }),
            1);
  EXPECT_THAT(lines.back(), HasSubstr("Alarm ended, Value= 20.000"));
  EXPECT_THAT(DeviceListPage(), Not(HasSubstr("(alarm)")));
}

TEST_F(AlarmTest, APolledAlarmReadingIsShownBeforeAndAgainAfterTheRead) {
  ON_CALL(*dialog, IsOpen()).WillByDefault(Return(true));
  Start(json::array({{{"rom", kB20},
                      {"temperature", {{"type", "steps"}, {"steps", {{0, 30}, {15, 35}}}}},
                      {"alarm_high", 25}}}));
  Poll(12s);
  ASSERT_TRUE(gROMs().FindDev(kB20 + "M")->HasReading());
  Plugin().settings.PollAlarming = true;
  Plugin().settings.PollTemp = 0;  // only the alarm reaction reads it
  // What the dialog shows at each call, against what the host shows.
  std::vector<std::string> shown_at_node;
  ON_CALL(*dialog, ShowDeviceNode(kB20, kAlarmColour)).WillByDefault([&] {
    shown_at_node.push_back(Shown(kB20 + "-Temp"));
  });
  const std::string before = Shown(kB20 + "-Temp");
  clock.Advance(5s);
  Plugin().TimerBusy = true;  // as the poll tick runs it: no other tick inside its pauses
  ReadNet();
  Plugin().TimerBusy = false;
  ASSERT_EQ(shown_at_node.size(), 2u) << ::testing::PrintToString(shown_at_node);
  EXPECT_EQ(shown_at_node[0], before);  // shown red at once
  EXPECT_NE(shown_at_node[1], before);  // and again with the new reading
  EXPECT_EQ(shown_at_node[1], Shown(kB20 + "-Temp"));
}

TEST_F(AlarmTest, ADeviceDeletedWhileItsAlarmIsHandledStopsNothingElse) {
  ON_CALL(*dialog, IsOpen()).WillByDefault(Return(true));
  Start(json::array(
      {{{"rom", kB20}, {"temperature", 30}, {"alarm_high", 25}},
       {{"rom", k1822}, {"temperature", {{"type", "steps"}, {"steps", {{0, 20}, {20, 22}}}}}}}));
  Poll(11s);
  // While the dialog shows the alarm, a page command deletes the device and a host command runs.
  bool deleted = false;
  ON_CALL(*dialog, ShowDeviceNode(kB20, kAlarmColour)).WillByDefault([&] {
    if (deleted) return;
    deleted = true;
    gROMs().Remove(*gROMs().FindDev(kB20 + "M"));
    ReadChannel(*gROMs().FindDev(k1822 + "M"));  // binds slot 2 under the read cycle
  });
  Poll(25s);
  EXPECT_TRUE(deleted);
  const auto alarms = host->LogTexts("1-Wire Device Alarm");
  ASSERT_FALSE(alarms.empty());
  EXPECT_THAT(alarms.back(), HasSubstr(" Value= 30.000"));
  EXPECT_EQ(Shown(k1822 + "-Temp"), "22.000\u00BAC");  // still read after the alarm was handled
}

}  // namespace
}  // namespace qb::test
