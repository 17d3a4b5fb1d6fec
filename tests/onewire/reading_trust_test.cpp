// Readings on a bus with faults: values that pass the CRC but are not readings, and the health
// figures that count every fault per device.
#include <gmock/gmock.h>

#include <set>

#include "host/health_json.h"
#include "onewire/calibration.h"
#include "onewire/counter_total.h"
#include "onewire/device_health.h"
#include "onewire/device_reading.h"
#include "onewire/network_fixture.h"
#include "registry/value_update.h"
#include "sim/sim_device.h"
#include "web/built_pages.h"
#include "web/health_html.h"
#include "web/plugin_pages.h"
#include "web/web_state.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kOther = Rom(0x28, 11);

class ReadingTrustTest : public NetworkTest {
 protected:
  ReadingTrustTest() {
    Plugin().parts.database = rows;
    store.Set("Settings", "chkDBLog", "1");
  }
  // Polls `ticks` times, collecting every text each thermometer's host device showed.
  std::map<std::string, std::set<std::string>> PollShowing(int ticks) {
    std::map<std::string, std::set<std::string>> shown;
    for (int i = 0; i < ticks; ++i) {
      Poll(250ms);
      for (const auto& rom : {kB20, kOther}) {
        if (auto d = HostDevice(rom + "-Temp"); d && !d->string_.empty())
          shown[rom].insert(d->string_);
      }
    }
    return shown;
  }
  // A new run of the plug-in on the same bus: the registry and the bus state start afresh, the
  // host and the settings remain.
  void Restart() {
    ResetOneWire();
    ResetRegistry();
    OneWire().register_adapter_types = [this](access::OneWireAccessProvider& provider) {
      provider.RegisterAdapterType(
          "SIM", [this](const std::string&) -> std::unique_ptr<access::BusMaster> {
            return std::make_unique<sim::SimBusMaster>(bus, "test bus");
          });
    };
    ASSERT_EQ(InitHW(0), "");
  }
  std::set<double> Logged(const std::string& key) const {
    std::set<double> values;
    for (const auto& [k, v] : rows->rows) {
      if (k == key) values.insert(v);
    }
    return values;
  }
  int LogLinesWith(const std::string& text) {
    const auto lines = host->LogTexts("1-Wire I/F");
    return static_cast<int>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& t) { return t.find(text) != t.npos; }));
  }
  std::shared_ptr<RecordingValueLog> rows = std::make_shared<RecordingValueLog>();
};

// The checks of a reading hold for thermometers read one by one and for those converted all at
// once (the parameter is the "BusConvert" setting).
class ReadingTrustBothWaysTest : public ReadingTrustTest,
                                 public ::testing::WithParamInterface<int> {
 protected:
  ReadingTrustBothWaysTest() {
    store.Set("Settings", "BusConvert", std::to_string(GetParam()));
    store.Set("Settings", "Debug", "4");
  }
  // The thermometers were read the way the setting asks.
  void ExpectConvertedAsSet() {
    const auto info = host->LogTexts("1-Wire Cycle Info");
    const bool bus_wide = std::any_of(info.begin(), info.end(), [](const std::string& t) {
      return t.find("Bus-wide conversion of 2 thermometer(s)") != t.npos;
    });
    EXPECT_EQ(bus_wide, GetParam() == 1);
  }
};

INSTANTIATE_TEST_SUITE_P(BusConvert, ReadingTrustBothWaysTest, ::testing::Values(0, 1));

TEST_P(ReadingTrustBothWaysTest, APowerOnScratchpadIsNoReadingButARealEightyFiveIs) {
  store.Set("Log", kB20 + "M", "1");
  store.Set("Log", kOther + "M", "1");
  Start(json::array({{{"rom", kB20}, {"temperature", 21.5}, {"faults", {{"power_on_rate", 0.5}}}},
                     {{"rom", kOther}, {"temperature", 85.0}}}));
  const auto shown = PollShowing(2400);  // ten minutes
  EXPECT_THAT(shown.at(kB20), ::testing::ElementsAre("21.500\u00BAC"));
  EXPECT_THAT(shown.at(kOther), ::testing::ElementsAre("85.000\u00BAC"));
  EXPECT_THAT(Logged(kB20 + "M"), ::testing::ElementsAre(21.5));
  EXPECT_THAT(Logged(kOther + "M"), ::testing::ElementsAre(85.0));

  const DeviceHealth faulty = HealthOf(kB20).value();
  EXPECT_GT(faulty.since_start.power_on_rejected, 0);
  EXPECT_GT(faulty.since_start.failed, 0);  // both conversions lost: no reading that time
  EXPECT_GE(faulty.since_start.retries, faulty.since_start.failed);
  // The real 85 is taken at the first reading, without a retry.
  const DeviceHealth real = HealthOf(kOther).value();
  EXPECT_GT(real.since_start.reads, 0);
  EXPECT_EQ(real.since_start.power_on_rejected, 0);
  EXPECT_EQ(real.since_start.retries, 0);
  ExpectConvertedAsSet();
}

TEST_P(ReadingTrustBothWaysTest, ABusHeldLowGivesNoZeroReadingAndEveryFaultIsCounted) {
  store.Set("Log", kB20 + "M", "1");
  Start(json::array(
      {{{"rom", kB20}, {"temperature", 21.5}, {"faults", {{"zeros_rate", 0.4}}}},
       {{"rom", kOther}, {"temperature", 19.0}, {"faults", {{"crc_error_rate", 0.3}}}}}));
  const auto shown = PollShowing(2400);
  EXPECT_THAT(shown.at(kB20), ::testing::ElementsAre("21.500\u00BAC"));
  EXPECT_THAT(shown.at(kOther), ::testing::ElementsAre("19.000\u00BAC"));
  EXPECT_THAT(Logged(kB20 + "M"), ::testing::ElementsAre(21.5));
  for (const auto& rom : {kB20, kOther}) {
    const HealthCounts c = HealthOf(rom).value().since_start;
    EXPECT_GT(c.crc_errors, 0) << rom;
    EXPECT_GT(c.retries, 0) << rom;
    // Every failure was retried unless it was the last of a read's tries, which fails the read.
    EXPECT_EQ(c.crc_errors, c.retries + c.failed) << rom;
    EXPECT_EQ(c.absences, 0) << rom;
  }
  // The bus sums are the devices' sums.
  HealthCounts sum = HealthOf(kB20).value().since_start;
  sum += HealthOf(kOther).value().since_start;
  EXPECT_EQ(BusSinceStart().crc_errors, sum.crc_errors);
  EXPECT_EQ(BusSinceStart().reads, sum.reads);
  ExpectConvertedAsSet();
}

// A battery monitor's page 0 read as all zeros passes its CRC8 too: no humidity of 0 % from it.
TEST_F(ReadingTrustTest, ABusHeldLowGivesNoZeroHumidity) {
  Start(json::array({{{"rom", kHumid},
                      {"temperature", 25.0},
                      {"vdd", 5.0},
                      {"vad", 2.5},
                      {"faults", {{"zeros_rate", 0.4}}}}}));
  std::set<std::string> shown;
  for (int i = 0; i < 2400; ++i) {
    Poll(250ms);
    if (auto d = HostDevice(kHumid + "-Humidity"); d && !d->string_.empty())
      shown.insert(d->string_);
  }
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.count("0.000%"), 0u) << ::testing::PrintToString(shown);
  EXPECT_GT(HealthOf(kHumid).value().since_start.crc_errors, 0);
}

// A quad A/D converter that answers but whose read gives no state: no values, a failed read.
class NoStateContainer : public access::OneWireContainer {
 public:
  NoStateContainer() : OneWireContainer(0x20) {}
  bool isPresent() override { return true; }
  access::DeviceState readDevice() override { return {}; }
};

TEST_F(ReadingTrustTest, AQuadConverterReadWithoutAStateCountsAsFailed) {
  Start(json::array({{{"rom", kQuad}}}));
  auto rom = gROMs().Find(kQuad);
  ASSERT_TRUE(rom);
  const HealthCounts before = HealthOf(kQuad).value_or(DeviceHealth{}).since_start;
  ReadDev(*rom, kQuad, kReadAD, std::make_shared<NoStateContainer>());
  const HealthCounts after = HealthOf(kQuad).value().since_start;
  EXPECT_EQ(after.reads - before.reads, 1);
  EXPECT_EQ(after.failed - before.failed, 1);
}

TEST_F(ReadingTrustTest, AnUnreliableDeviceIsLoggedOnceAndAgainWhenItRecovers) {
  Start(json::array({{{"rom", kB20}, {"temperature", 21.5}, {"faults", {{"crc_error_rate", 0.6}}}},
                     {{"rom", kOther},
                      {"temperature", 19.0},
                      {"present", {{"type", "steps"}, {"steps", {{0, 1}, {60, 0}}}}}}}));
  Poll(60min);  // the thermometer is read every 100 s or so: enough reads to judge
  // The vanished thermometer does not hold up the one before it in the round.
  EXPECT_GE(HealthOf(kB20).value().since_start.reads, 30);
  EXPECT_EQ(LogLinesWith("Device " + kB20 + " fails "), 1)
      << HealthText(HealthOf(kB20).value_or(DeviceHealth{}).since_start);
  EXPECT_EQ(LogLinesWith("Device " + kOther + " fails "), 1);  // absent most of the time
  const DeviceHealth gone = HealthOf(kOther).value();
  EXPECT_GT(gone.since_start.absences, 0);
  ASSERT_TRUE(gone.last_seen);
  EXPECT_LT(*gone.last_seen, clock.Now() - 55min);  // seen last before it went away

  // The faulty device mended: once its bad hours are older than a day, it is logged as well.
  bus->devices()[0]->faults().crc_error_rate = 0;
  clock.Advance(25h);
  Poll(10min);
  EXPECT_EQ(LogLinesWith("Device " + kB20 + " reads reliably again"), 1);
  EXPECT_EQ(LogLinesWith("Device " + kB20 + " fails "), 1);
  const DeviceHealth mended = HealthOf(kB20).value();
  EXPECT_EQ(mended.LastDay(clock.Now()).crc_errors, 0);
  EXPECT_GT(mended.since_start.crc_errors, 0);  // the figures since the start keep them

  // The API, the detail page and the debug page show the figures.
  DeviceRecord record;
  record.interface = kPluginName;
  record.iomisc = kOther + "M";
  const json health = DeviceHealthJson(record);
  EXPECT_EQ(health["since_start"]["absences"], HealthOf(kOther)->since_start.absences);
  EXPECT_TRUE(health["last_seen"].is_string());
  EXPECT_EQ(BusHealthJson()["bus"]["since_start"]["crc_errors"], BusSinceStart().crc_errors);
  EXPECT_THAT(HealthSection(kB20), HasSubstr("Since start"));
  EXPECT_THAT(BusHealthSection(), HasSubstr(kOther));
}

// The chip loses power at 100 s and counts again from 0; counter 1 keeps its total, counter 0
// shows the chip's own count. The offset outlives a restart.
TEST_F(ReadingTrustTest, ACounterTotalNeverGoesBack) {
  SetCounterTotal(kCounter + "K1", true);
  const json counts = {{"type", "steps"}, {"steps", {{0, 1000}, {110, 1007}}}};
  Start(json::array(
      {{{"rom", kCounter}, {"counters", {counts, counts, 0, 0}}, {"power_lost_every_s", 100}}}));
  double highest = 0;
  for (int i = 0; i < 480; ++i) {  // two minutes
    Poll(250ms);
    if (auto d = HostDevice(kCounter + "-Counter1"); d && !d->string_.empty()) {
      const double total = std::stod(d->string_);
      EXPECT_GE(total, highest) << "at tick " << i;
      highest = std::max(highest, total);
    }
  }
  EXPECT_EQ(Shown(kCounter + "-Counter1"), "1007");
  EXPECT_EQ(Shown(kCounter + "-Counter0"), "7");
  EXPECT_EQ(LogLinesWith("Counter " + kCounter + "K0 went back from 1000 to 0"), 1);
  EXPECT_EQ(LogLinesWith("Counter " + kCounter + "K1 went back from 1000 to 0"), 1);
  EXPECT_EQ(LogLinesWith(" went back "), 2);

  // A new run: the chip still counts 7, the total stays.
  Restart();
  Poll(30s);
  EXPECT_EQ(Shown(kCounter + "-Counter1"), "1007");
  EXPECT_EQ(LogLinesWith(" went back "), 2);
}

// A calibration maps the reading before the scale and the "Adjustment": the host, the database
// and the alarm limits see the true value, the raw one stays available.
TEST_F(ReadingTrustTest, ACalibratedThermometerShowsAndLogsTheTrueValue) {
  store.Set("Log", kB20 + "M", "1");
  store.Set("Settings", "Range", "1");  // Fahrenheit shown, Celsius logged
  store.Set("Adjustment", kB20 + "M", "1");
  SetCalibration(kB20 + "M", Calibration{20.0, 21.0, 30.0, 31.5});
  Start(json::array({{{"rom", kB20}, {"temperature", 25.0}}}));
  Poll(35s);
  // 25 C reads as 26.25 C, 79.25 F, and the adjustment adds 1.
  EXPECT_EQ(Shown(kB20 + "-Temp"), "80.250\u00BAF");
  EXPECT_THAT(Logged(kB20 + "M"), ::testing::ElementsAre(26.25));
  EXPECT_EQ(LastRawReading(kB20 + "M"), 25.0);
}

// The options set from a device's page: the counter total's check box, the calibration's form;
// wrong input and guests change nothing.
TEST_F(ReadingTrustTest, ThePagesSetTheCounterTotalAndTheCalibration) {
  Start(json::array(
      {{{"rom", kCounter}, {"counters", {1, 2, 3, 4}}}, {{"rom", kB20}, {"temperature", 20.0}}}));
  Poll(6s);
  PluginWebPages pages(std::make_shared<BuiltPages>());
  const std::string k0 = kCounter + "K0", k1 = kCounter + "K1", m = kB20 + "M";
  EXPECT_THAT(pages.GenPage("1-Wire?ROMID=" + k0), HasSubstr("name=\"CounterTotal\""));
  pages.PagePut("CounterTotalShown=" + k0 + "&CounterTotalShown=" + k1 + "&CounterTotal=" + k1);
  EXPECT_FALSE(CounterTotalOn(k0));
  EXPECT_TRUE(CounterTotalOn(k1));
  EXPECT_EQ(pages.LastPageAnswer().redirect, "1-Wire?ROMID=" + k0);

  EXPECT_THAT(pages.GenPage("1-Wire?ROMID=" + m), HasSubstr("name=\"CalRaw1\""));
  pages.PagePut("CalibrationKey=" + m + "&CalRaw1=0&CalTrue1=1&CalRaw2=100&CalTrue2=101");
  ASSERT_TRUE(CalibrationOf(m));
  EXPECT_EQ(CalibrationOf(m)->true2, 101);
  for (const std::string& bad :
       {"CalibrationKey=" + m + "&CalRaw1=5&CalTrue1=1&CalRaw2=5&CalTrue2=2",
        "CalibrationKey=" + m + "&CalRaw1=x&CalTrue1=1&CalRaw2=5&CalTrue2=2",
        "CalibrationKey=" + kB20 + "Q&RemoveCalibration=Remove"}) {
    const std::string page = pages.PagePut(bad);
    EXPECT_THAT(page, ::testing::ContainsRegex("not saved|no measured channel")) << bad;
    EXPECT_EQ(pages.LastPageAnswer().status, 400) << bad;
    ASSERT_TRUE(CalibrationOf(m)) << bad;
    EXPECT_EQ(CalibrationOf(m)->raw2, 100) << bad;
  }
  for (const auto& d : gROMs().FindParent(kB20)->Devices->DevList)
    EXPECT_NE(d->ROM, kB20 + "Q");  // no record made for a posted key

  host->web_user = "guest";
  pages.PagePut("CalibrationKey=" + m + "&RemoveCalibration=Remove");
  pages.PagePut("CounterTotalShown=" + k1);
  EXPECT_TRUE(CalibrationOf(m));
  EXPECT_TRUE(CounterTotalOn(k1));
  host->web_user = "";
  pages.PagePut("CalibrationKey=" + m + "&RemoveCalibration=Remove");
  EXPECT_FALSE(CalibrationOf(m));
}

TEST_F(ReadingTrustTest, AGoneDeviceStaysGoneAcrossARestart) {
  Start(json::array({{{"rom", kB20},
                      {"temperature", 21.5},
                      {"present", {{"type", "steps"}, {"steps", {{0, 1}, {30, 0}}}}}},
                     {{"rom", kOther}, {"temperature", 19.0}}}));
  Poll(2min);
  const auto seen = HealthOf(kB20).value().last_seen.value();
  EXPECT_NE(store.GetOr("Last Seen", kB20, ""), "");

  // A new run: the registry and the bus state start afresh, the host and the settings remain.
  // The host device still shows stale from the run before; a device that is present again is
  // made fresh at its first check, one still gone keeps its last-seen time.
  auto temp = HostDevice(kB20 + "-Temp");
  auto other = HostDevice(kOther + "-Temp");
  ASSERT_TRUE(temp && other);
  other->stale_ = true;
  Restart();
  Poll(1min);
  EXPECT_TRUE(temp->stale_);
  EXPECT_FALSE(other->stale_);
  const auto kept = HealthOf(kB20).value().last_seen.value();
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(kept.time_since_epoch()),
            std::chrono::duration_cast<std::chrono::seconds>(seen.time_since_epoch()));
}

}  // namespace
}  // namespace qb::test
