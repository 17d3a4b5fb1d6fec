// The bus scan, device reading and the network read cycle on a simulated bus, with the test host.
#include <gmock/gmock.h>

#include "core/hspi.h"
#include "core/timer_window.h"
#include "onewire/adapter_setup.h"
#include "onewire/bus_scan.h"
#include "onewire/device_config.h"
#include "onewire/device_reading.h"
#include "onewire/network_fixture.h"
#include "onewire/onewire_state.h"
#include "onewire/read_cycle.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/registry_device_control.h"
#include "sim/ds2890.h"
#include "web/device_list.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::Contains;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

TEST_F(NetworkTest, AMixedBusGetsItsHostDevicesAndTheirValues) {
  // The voltage monitor already had its Vdd channel in the host: it is not asked about again.
  host->AddDevice("A", "40", kPluginName, kVolts + "G")->name_ = kVolts + "-Vdd";
  store.Set("DS2438", kVolts, "0");
  Start(json::array({
      {{"rom", kB20}, {"temperature", {{"type", "steps"}, {"steps", {{0, 21.5}, {40, 22.25}}}}}},
      {{"rom", kS20}, {"temperature", 25.0625}},
      {{"rom", k1822}, {"temperature", -10.125}},
      {{"rom", kHumid}, {"temperature", 25}, {"vdd", 5.0}, {"vad", 2.5}, {"vsense_mv", -250}},
      {{"rom", kVolts}, {"temperature", 20}, {"vdd", 4.8}, {"vad", 1.2}},
      {{"rom", kQuad}, {"inputs", {1.0, 2.0, 0.5, 0.0}}},
      {{"rom", kCounter}, {"counters", {5, 6, 7, 8}}},
      {{"rom", kSwitch}, {"latches", {true, false}}, {"levels", {false, true}}},
      {{"rom", kPot}, {"wiper", 0}},
  }));
  Poll(35s);

  EXPECT_EQ(ui.questions.size(), 1u);  // the new DS2438 only, once
  EXPECT_THAT(ui.questions, Contains(HasSubstr(kHumid)));
  EXPECT_EQ(Shown(kB20 + "-Temp"), "21.500\u00BAC");
  EXPECT_EQ(HostDevice(kB20 + "-Temp")->value_, 21500);
  EXPECT_EQ(Shown(kS20 + "-Temp"), "25.063\u00BAC");  // the DS18S20's count registers: 1/16 degree
  EXPECT_EQ(Shown(k1822 + "-Temp"), "-10.125\u00BAC");
  EXPECT_EQ(Shown(kHumid + "-Temp"), "25.000\u00BAC");
  EXPECT_EQ(Shown(kHumid + "-Humidity"), "54.806%");  // Vad/Vdd 0.5 at 25 degrees
  EXPECT_EQ(Shown(kHumid + "-Vsense"), "250.000mV");  // -250 mV is reported as 250
  EXPECT_EQ(HostDevice(kHumid + "-Vdd"), nullptr);    // a humidity sensor has no Vdd device
  EXPECT_EQ(Shown(kVolts + "-Vdd"), "4.800V");
  EXPECT_EQ(Shown(kVolts + "-Vad"), "1.200V");
  EXPECT_EQ(Shown(kQuad + "-ChannelA"), "1.000V");
  EXPECT_EQ(Shown(kQuad + "-ChannelB"), "2.000V");
  EXPECT_EQ(Shown(kQuad + "-ChannelD"), "0.000V");
  EXPECT_EQ(Shown(kCounter + "-Counter0"), "5");
  EXPECT_EQ(Shown(kCounter + "-Counter3"), "8");
  EXPECT_EQ(Shown(kSwitch + "-Switch0"), "On");
  EXPECT_EQ(Shown(kSwitch + "-PIO0"), "Off");  // a conducting output reads low
  EXPECT_EQ(Shown(kSwitch + "-PIO1"), "On");
  EXPECT_EQ(Shown(kPot + "-Pot"), "1");  // a wiper at 0 is moved to 1 by the scan
  auto temp = HostDevice(kB20 + "-Temp");
  EXPECT_EQ(temp->dev_type_string_, "1-Wire-DS18B20");
  EXPECT_EQ(temp->interface_, kPluginName);
  EXPECT_EQ(temp->iomisc_, kB20 + "M");

  Poll(40s);  // the simulated temperature moved
  EXPECT_EQ(Shown(kB20 + "-Temp"), "22.250\u00BAC");
  EXPECT_EQ(ui.questions.size(), 1u);
}

TEST_F(NetworkTest, CountersGetTheirDevicesOnTheFirstTickTheyAreSeen) {
  Start(json::array({{{"rom", kCounter}, {"counters", {1, 2, 3, 4}}}}));
  Plugin().TimerLoop = 5;  // not the enumeration tick
  GetDevices();
  EXPECT_EQ(Shown(kCounter + "-Counter2"), "3");
}

TEST_F(NetworkTest, ThermometersAreReadRoundRobin) {
  const std::string t[4] = {Rom(0x28, 11), Rom(0x28, 12), Rom(0x28, 13), Rom(0x28, 14)};
  Start(json::array({{{"rom", t[0]}, {"temperature", 1}},
                     {{"rom", t[1]}, {"temperature", 2}},
                     {{"rom", t[2]}, {"temperature", 3}},
                     {{"rom", t[3]}, {"temperature", 4}}}));
  for (const auto& rom : t) gROMs().Find(rom);
  Plugin().settings.PollTemp = 3;
  Plugin().settings.DebugLevel = 4;
  host->log.clear();
  for (int cycle = 0; cycle < 15; ++cycle) ReadNet();
  std::vector<std::string> order;
  for (const auto& text : host->LogTexts("1-Wire Cycle Info")) {
    if (text.rfind("Temp Poll - ROM=", 0) == 0) order.push_back(text.substr(16, 16));
  }
  EXPECT_EQ(order, (std::vector<std::string>{t[0], t[1], t[2], t[3], t[0]}));

  Plugin().settings.PollTemp = 0;
  Plugin().settings.PollAD = 0;
  Plugin().settings.PollI = 0;
  host->log.clear();
  bus->devices()[0]->faults().crc_error_rate = 0;
  for (int cycle = 0; cycle < 5; ++cycle) ReadNet();
  EXPECT_TRUE(
      host->LogTexts("1-Wire Cycle Info").empty());  // nothing due: the bus is only prepared
}

TEST_F(NetworkTest, ReadingEdgeCases) {
  Start(json::array(
      {{{"rom", kS20}, {"temperature", {{"type", "steps"}, {"steps", {{0, 85}, {1, 30}}}}}},
       {{"rom", kHumid}, {"temperature", 0}, {"vdd", 5.0}, {"vad", 4.9}},
       {{"rom", kVolts}, {"temperature", 30}, {"vdd", 4.0}, {"vad", 3.9}}}));
  for (const auto& rom : {kS20, kHumid, kVolts}) {
    auto r = gROMs().Find(rom);
    for (const char* letter : {"M", "N"}) {
      auto channel = gROMs().FindDev(rom + letter);
      CreateHSDevice(*channel, "part", "0", rom + letter);
    }
    r->DS2438Humid = 1;
  }
  auto read = [&](const std::string& rom, int type) {
    ASSERT_TRUE(SetupContainer(rom, 2, false));
    ReadDev(*gROMs().Find(rom), rom, type);
  };
  // A DS18S20 cannot tell its power-on 85 from a measured one: 85 is read once more.
  read(kS20, kReadTemperature);  // 85 at the first conversion, 30 at the second
  EXPECT_EQ(Shown(kS20 + "M"), "30.000\u00BAC");
  read(kHumid, kReadAD);
  EXPECT_EQ(Shown(kHumid + "N"), "0.000%");  // no humidity below or at 0 degrees
  read(kVolts, kReadAD);
  EXPECT_EQ(Shown(kVolts + "N"), "100.000%");  // a computed humidity above 100 is 100
}

TEST_F(NetworkTest, ADeviceThatComesAndGoesOrFailsItsChecksNeverShowsAWrongValue) {
  store.Set("Show Device ID", kS20, "1");
  Start(json::array({
      {{"rom", kS20},
       {"temperature", 18.5},
       {"present", {{"type", "steps"}, {"steps", {{0, 1}, {20, 0}, {40, 1}}}}}},
      {{"rom", kB20}, {"temperature", 21.5}, {"faults", {{"crc_error_rate", 0.5}}}},
  }));
  std::set<std::string> seen;
  for (int i = 0; i < 240; ++i) {  // a minute of ticks
    Poll(250ms);
    if (auto d = HostDevice(kB20 + "-Temp")) seen.insert(d->string_);
  }
  EXPECT_EQ(HostDevice(kS20)->Status_, 2);                     // back again: on
  seen.erase("");                                              // before its first reading
  EXPECT_THAT(seen, ::testing::ElementsAre("21.500\u00BAC"));  // never a corrupted reading
  EXPECT_EQ(Shown(kS20 + "-Temp"), "18.500\u00BAC");
}

TEST_F(NetworkTest, AnAbsentDeviceShowingItsIdReadsOff) {
  store.Set("Show Device ID", kS20, "1");
  Start(json::array({{{"rom", kS20},
                      {"temperature", 18.5},
                      {"present", {{"type", "steps"}, {"steps", {{0, 1}, {10, 0}}}}}}}));
  Poll(8s);
  ASSERT_TRUE(HostDevice(kS20));
  EXPECT_EQ(HostDevice(kS20)->Status_, 2);
  Poll(15s);
  EXPECT_EQ(Shown(kS20), "Off");
  EXPECT_EQ(HostDevice(kS20)->Status_, 3);
}

TEST_F(NetworkTest, Ds18s20ExtendedResolutionAcrossItsRangeAndBelowZero) {
  const double temps[] = {-55, -10.5, -5.6, -0.5, -0.3, -0.0625, 0, 0.3, 25.0625, 85, 125};
  json devices = json::array();
  for (size_t i = 0; i < std::size(temps); ++i)
    devices.push_back({{"rom", Rom(0x10, 100 + i)}, {"temperature", temps[i]}});
  Start(devices);
  for (size_t i = 0; i < std::size(temps); ++i) {
    const std::string rom = Rom(0x10, 100 + i);
    CreateHSDevice(*gROMs().FindDev(rom + "M"), "DS18S20", "0", rom);
    ASSERT_TRUE(SetupContainer(rom, 2, false));
    ReadDev(*gROMs().Find(rom), rom, kReadTemperature);
    // The count registers give 1/16 degree: never a whole degree off, on either side of zero.
    EXPECT_NEAR(std::stod(Shown(rom)), temps[i], 0.0625 + 1e-9) << "at " << temps[i];
  }
  EXPECT_EQ(Shown(Rom(0x10, 102)), "-5.625\u00BAC");
  EXPECT_EQ(Shown(Rom(0x10, 101)), "-10.500\u00BAC");
}

TEST_F(NetworkTest, ReadErrorsNeverMoveThePotentiometer) {
  Start(json::array({{{"rom", kPot}, {"wiper", 100}, {"faults", {{"crc_error_rate", 0.3}}}}}));
  Poll(180s);
  EXPECT_EQ(bus->FindAs<sim::DS2890Model>(access::RomId::Make(0x2C, 9))->Wiper(), 100);
}

TEST_F(NetworkTest, AStoredHumidityAnswerIsKeptWithoutADesktop) {
  store.Set("DS2438", kVolts, "0");  // the user's answer: a voltage monitor
  Start(json::array({{{"rom", kVolts}, {"temperature", 20}, {"vdd", 4.8}, {"vad", 1.2}}}));
  Poll(30s);
  EXPECT_EQ(store.GetOr("DS2438", kVolts, ""), "0");
  EXPECT_EQ(HostDevice(kVolts + "-Humidity"), nullptr);
  EXPECT_EQ(Shown(kVolts + "-Vdd"), "4.800V");
  EXPECT_EQ(Shown(kVolts + "-Vad"), "1.200V");
}

TEST_F(NetworkTest, AHostDeviceThatCannotBeAdoptedIsSkippedAndLoggedOnce) {
  // A hand-edited device table: the switch's latch device whose code the host cannot resolve.
  host->AddDevice("A", "5", kPluginName, kSwitch + "S0");
  host->failing = {"DeviceString"};
  Start(json::array({{{"rom", kSwitch}, {"latches", {true, false}}, {"levels", {false, true}}},
                     {{"rom", kB20}, {"temperature", 21.5}}}));
  Poll(30s);
  const auto skipped = host->LogTexts("1-Wire ERROR(GetDevices)");
  EXPECT_EQ(std::count_if(skipped.begin(), skipped.end(),
                          [](const std::string& t) { return t.find(kSwitch + "S0") != t.npos; }),
            1);
}

TEST_F(NetworkTest, AVanishedDeviceIsLoggedOnceAndItsValueMarkedStale) {
  store.Set("Settings", "PollCycle", "2");
  Start(json::array({{{"rom", kB20},
                      {"temperature", 21.5},
                      {"present", {{"type", "steps"}, {"steps", {{0, 1}, {20, 0}, {50, 1}}}}}}}));
  Poll(40s);
  auto temp = HostDevice(kB20 + "-Temp");
  ASSERT_TRUE(temp);
  EXPECT_TRUE(temp->stale_);
  EXPECT_EQ(temp->string_, "21.500\u00BAC");  // the last value read, kept
  EXPECT_THAT(DeviceListPage(), HasSubstr("(stale: device not present)"));
  Poll(30s);
  EXPECT_FALSE(temp->stale_);
  const auto lines = host->LogTexts("1-Wire I/F");
  auto count = [&](const char* what) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& t) { return t.find(what) != t.npos; });
  };
  EXPECT_EQ(count(" is not present"), 1);
  EXPECT_EQ(count(" is present again"), 1);
}

TEST_F(NetworkTest, Ds2450SetUpTakesStoredNumbersAndAlarmsLogOnlyChanges) {
  auto log = std::make_shared<RecordingValueLog>();
  Plugin().parts.database = log;
  store.Set("Settings", "chkDBLog", "1");
  store.Set("Settings", "chkChanges", "1");
  const std::string a = kQuad + "G", b = kQuad + "H";
  store.Set("Log", b, "1");
  for (const auto& [key, res, low, high] :
       {std::tuple{a, "0.005", "1.5", "None"}, std::tuple{b, "0.000078125", "None", "1"}}) {
    store.Set("InitDevice", key, "1");
    store.Set(key, "Scale", "5.12");
    store.Set(key, "Res", res);
    store.Set(key, "TripL", low);
    store.Set(key, "TripH", high);
    store.Set(key, "Output", "None");
  }
  Start(json::array({{{"rom", kQuad}, {"inputs", {2.0, 1.2345, 0.5, 0.0}}}}));
  Poll(30s);
  const auto channels = AD4Read(kQuad);
  ASSERT_EQ(channels.size(), 4u);
  EXPECT_EQ(channels[0].resolution, "0.005");  // 10 bits; not rounded to 0, which the part refuses
  EXPECT_EQ(channels[0].low_limit, "1.5");     // not rounded to 2
  EXPECT_TRUE(channels[1].high_alarmed);       // 1.2345 V is above its 1 V limit
  EXPECT_TRUE(host->LogTexts("1-Wire ERROR(AD4Adjust)").empty());
  // The alarm step and the reading step both log a steady value once, as measured.
  ASSERT_EQ(log->rows.size(), 1u);
  EXPECT_EQ(log->rows[0].first, b);
  EXPECT_NEAR(log->rows[0].second, 1.2345, 0.0001);
  EXPECT_NE(log->rows[0].second, RoundToDecimals(log->rows[0].second));
}

// An input above the 2.56 V range is clipped by the converter to its highest code: the status
// text says so instead of showing a plausible voltage, and the mark goes when the input is back.
TEST_F(NetworkTest, Ds2450InputAboveItsRangeIsMarkedOverRange) {
  Start(json::array(
      {{{"rom", kQuad},
        {"inputs", {{{"type", "steps"}, {"steps", {{0, 4.3}, {40, 1.0}}}}, 2.6, 2.54, 0.0}}}}));
  Poll(35s);
  EXPECT_THAT(Shown(kQuad + "-ChannelA"), ::testing::EndsWith("V (over range)"));
  EXPECT_THAT(Shown(kQuad + "-ChannelB"), ::testing::EndsWith("V (over range)"));
  EXPECT_EQ(Shown(kQuad + "-ChannelC").find("over range"), std::string::npos);
  EXPECT_EQ(Shown(kQuad + "-ChannelD"), "0.000V");
  Poll(40s);
  EXPECT_EQ(Shown(kQuad + "-ChannelA"), "1.000V");
}

// In Fahrenheit the host shows °F while the row logged is in °C, so a series keeps one unit
// whatever the scale was when each reading was taken; 85 °C (185 °F) is still the power-on value.
TEST_F(NetworkTest, FahrenheitIsShownButTheReadingIsLoggedInCelsius) {
  auto log = std::make_shared<RecordingValueLog>();
  Plugin().parts.database = log;
  store.Set("Settings", "chkDBLog", "1");
  store.Set("Settings", "Range", "1");
  store.Set("Log", kB20 + "M", "1");
  Start(json::array({{{"rom", kB20}, {"temperature", 64.0}}}));
  Poll(35s);
  EXPECT_EQ(Shown(kB20 + "-Temp"), "147.200\u00BAF");
  ASSERT_FALSE(log->rows.empty());
  for (const auto& [key, value] : log->rows) {
    EXPECT_EQ(key, kB20 + "M");
    EXPECT_EQ(value, 64.0);
  }
}

}  // namespace
}  // namespace qb::test
