// Bus-wide temperature conversion in the read cycle, on a simulated bus.
#include <gmock/gmock.h>

#include "core/plugin_state.h"
#include "onewire/device_health.h"
#include "onewire/device_reading.h"
#include "onewire/network_fixture.h"
#include "onewire/temp_alarms.h"
#include "registry/host_codes.h"
#include "sim/models.h"
#include "sim/value_source.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::Contains;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

class BusWideTest : public NetworkTest {
 protected:
  // `devices` on a bus whose master has a strong pull-up or not; every thermometer gets its
  // temperature channel's host device, named by its key.
  void StartBus(const json& devices, bool pullup) {
    bus = sim::BuildBus({{"devices", devices}}, clock, "test bus");
    OneWire().register_adapter_types = [this, pullup](access::OneWireAccessProvider& provider) {
      provider.RegisterAdapterType(
          "SIM", [this, pullup](const std::string&) -> std::unique_ptr<access::BusMaster> {
            if (pullup) return std::make_unique<sim::SimBusMaster>(bus, "test bus");
            return std::make_unique<NoPullupMaster>(bus, "test bus");
          });
    };
    store.Set("Settings", "strHouseCodes0", "A");
    ASSERT_EQ(InitHW(0), "");
    for (const auto& d : devices) {
      const std::string rom = d["rom"];
      gROMs().Find(rom);
      CreateHSDevice(*gROMs().FindDev(rom + "M"), "part", "0", rom + "M");
    }
    Plugin().settings.PollTemp = 1;
    Plugin().settings.PollAD = 0;
    Plugin().settings.PollI = 0;
    Plugin().settings.BusConvert = 1;
    Plugin().settings.DebugLevel = 4;
  }
  // A value schedule that changes `after` from now on the bus's time.
  std::unique_ptr<sim::ValueSource> From(double before, double after, double in_seconds) {
    return sim::ParseValueSource(
        {{"type", "steps"}, {"steps", {{0, before}, {bus->Seconds() + in_seconds, after}}}},
        "test schedule");
  }
  void SetResolution(const std::string& rom, double resolution) {
    ASSERT_TRUE(SetupContainer(rom, 3, true));
    auto c = SlotContainer(3);
    access::DeviceState state = c->readDevice();
    c->setTemperatureResolution(resolution, state);
    c->writeDevice(state);
    ReleaseContainer(3);
  }
  // A new temperature for a DS18B20, as an edit of the bus file gives it.
  void SetTemperature(const std::string& rom, double celsius) {
    const auto id = *access::RomId::Parse(rom);
    auto edited = sim::MakeDS18B20Model(id, {{"rom", rom}, {"temperature", celsius}});
    ASSERT_TRUE(bus->Find(id)->FollowValues(*edited));
  }
  std::chrono::milliseconds CycleTime() {
    const auto start = clock.MonotonicNow();
    ReadNet();
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock.MonotonicNow() - start);
  }
};

const std::string kA = Rom(0x28, 21), kB = Rom(0x28, 22), kC = Rom(0x22, 23), kD = Rom(0x10, 24),
                  kP = Rom(0x28, 25);

TEST_F(BusWideTest, OneConversionReadsEveryThermometerAtTheLongestResolution) {
  // The parasite part first: the walk reads it before the others.
  StartBus(json::array({{{"rom", kP}, {"temperature", 30.0625}, {"power", "parasite"}},
                        {{"rom", kA}, {"temperature", 21.5}},
                        {{"rom", kB}, {"temperature", -3.25}, {"resolution", 10}},
                        {{"rom", kC}, {"temperature", 40.125}},
                        {{"rom", kD}, {"temperature", 18.5}}}),
           true);
  // One conversion under strong pull-up for the whole bus, not one per part (5 x 750 ms).
  EXPECT_LT(CycleTime(), 1000ms);
  EXPECT_EQ(Shown(kA + "M"), "21.500\u00BAC");
  EXPECT_EQ(Shown(kB + "M"), "-3.250\u00BAC");
  EXPECT_EQ(Shown(kC + "M"), "40.125\u00BAC");
  EXPECT_EQ(Shown(kD + "M"), "18.500\u00BAC");
  EXPECT_EQ(Shown(kP + "M"), "30.063\u00BAC");
  const auto info = host->LogTexts("1-Wire Cycle Info");
  EXPECT_THAT(info, Contains(HasSubstr("Bus-wide conversion of 5 thermometer(s), 750 ms under "
                                       "strong pull-up")));
  EXPECT_THAT(info, Contains(HasSubstr(kP + " is parasite-powered")));

  // Every part but the DS18S20 at 9 bits, and the DS18S20 gone: the conversion waits 94 ms.
  for (const auto& rom : {kA, kB, kC, kP}) SetResolution(rom, 0.5);
  ReadNet();  // learns the resolutions
  bus->Release(*access::RomId::Parse(kD));
  gROMs().Find(kD)->Absent = true;
  host->log.clear();
  EXPECT_LT(CycleTime(), 250ms);
  EXPECT_THAT(host->LogTexts("1-Wire Cycle Info"),
              Contains(HasSubstr("Bus-wide conversion of 4 thermometer(s), 94 ms")));

  // The parasite part raised to 12 bits behind the plug-in's back browns out under a pull-up
  // held for 9 bits and reads 85: it is converted again on its own and shows its real value,
  // while the others keep the time of the bus-wide conversion.
  SetResolution(kP, 0.0625);
  SetTemperature(kA, 22.5);
  ReadNet();
  EXPECT_EQ(Shown(kP + "M"), "30.063\u00BAC");
  EXPECT_EQ(Shown(kA + "M"), "22.500\u00BAC");
  EXPECT_LT(HostDevice(kA + "M")->lastChange_, HostDevice(kP + "M")->lastChange_)
      << "read after the parasite part, stamped with the earlier conversion";
}

TEST_F(BusWideTest, APartThatVanishesDuringTheConversionKeepsItsLastValueMarkedStale) {
  StartBus(json::array({{{"rom", kA}, {"temperature", 21.5}}, {{"rom", kB}, {"temperature", 7}}}),
           true);
  ReadNet();
  ASSERT_EQ(Shown(kB + "M"), "7.000\u00BAC");
  SetTemperature(kB, 8);
  SetTemperature(kA, 20);
  sim::SimDevice* b = bus->Find(*access::RomId::Parse(kB));
  b->faults().present = From(1, 0, 0.3);  // gone 300 ms into the conversion
  ReadNet();
  EXPECT_EQ(Shown(kB + "M"), "7.000\u00BAC");
  EXPECT_TRUE(HostDevice(kB + "M")->stale_);
  EXPECT_EQ(Shown(kA + "M"), "20.000\u00BAC");
  b->faults().present = sim::Constant(1);
  ReadNet();
  EXPECT_FALSE(HostDevice(kB + "M")->stale_);
  EXPECT_EQ(Shown(kB + "M"), "8.000\u00BAC");
}

TEST_F(BusWideTest, SwitchesAreReadWhileTheThermometersConvert) {
  const std::string sw = Rom(0x12, 26);
  StartBus(json::array({{{"rom", kA}, {"temperature", 21.5}}, {{"rom", kB}, {"temperature", 7}}}),
           true);
  bus->Add(sim::MakeDS2406Model(*access::RomId::Parse(sw),
                                {{"latches", {false, false}}, {"levels", {true, true}}}));
  gROMs().Find(sw);
  CreateHSDevice(*gROMs().FindDev(sw + "P0"), "part", "0", sw + "P0");
  ReadNet();
  ASSERT_EQ(Shown(sw + "P0"), "On");
  auto edited = sim::MakeDS2406Model(*access::RomId::Parse(sw),
                                     {{"latches", {false, false}}, {"levels", {false, true}}});
  ASSERT_TRUE(bus->Find(*access::RomId::Parse(sw))->FollowValues(*edited));
  SetTemperature(kA, 23);
  ReadNet();
  EXPECT_EQ(Shown(sw + "P0"), "Off");
  EXPECT_EQ(Shown(kA + "M"), "23.000\u00BAC");
  EXPECT_LT(HostDevice(sw + "P0")->lastChange_, HostDevice(kA + "M")->lastChange_)
      << "the input is shown before the conversion ends";
}

// An alarming thermometer that "PollAlarming" reads at once is not read a second time in the walk:
// its one reading is counted, and the cycle takes one conversion, not two.
TEST_F(BusWideTest, AnAlarmingThermometerIsReadOnce) {
  StartBus(json::array({{{"rom", kA}, {"temperature", 30.0}, {"alarm_high", 25}},
                        {{"rom", kB}, {"temperature", 7}}}),
           true);
  Plugin().parts.alarms = std::make_shared<TemperatureAlarmReaction>();
  Plugin().settings.PollAlarming = true;
  EXPECT_LT(CycleTime(), 1000ms);
  EXPECT_EQ(Shown(kA + "M"), "30.000\u00BAC");
  EXPECT_EQ(Shown(kB + "M"), "7.000\u00BAC");
  EXPECT_EQ(HealthOf(kA).value().since_start.reads, 1);
  EXPECT_EQ(HealthOf(kB).value().since_start.reads, 1);
}

TEST_F(BusWideTest, WithoutAStrongPullupParasitePartsAreReadOneByOne) {
  StartBus(json::array({{{"rom", kA}, {"temperature", 21.5}},
                        {{"rom", kB}, {"temperature", 7}},
                        {{"rom", kP}, {"temperature", 30}, {"power", "parasite"}}}),
           false);
  ReadNet();
  EXPECT_EQ(Shown(kA + "M"), "21.500\u00BAC");
  EXPECT_EQ(Shown(kB + "M"), "7.000\u00BAC");
  EXPECT_THAT(host->LogTexts("1-Wire Cycle Info"),
              Contains(HasSubstr("Bus-wide conversion of 2 thermometer(s), 750 ms")));
  EXPECT_THAT(host->LogTexts("1-Wire Cycle Info"),
              Contains(HasSubstr("1 parasite-powered thermometer(s) converted one by one")));
  EXPECT_THAT(host->LogTexts("1-Wire Cycle Info"), Contains(HasSubstr("Temp Poll - ROM=" + kP)));
}

}  // namespace
}  // namespace qb::test
