// Bus-wide conversion of the A/D converters (DS2450) and battery monitors (DS2438) in the read
// cycle, on a simulated bus: the same values as reading them one by one, and the faults.
#include <gmock/gmock.h>

#include "access/crc.h"
#include "access/ds2450.h"
#include "core/plugin_state.h"
#include "onewire/device_health.h"
#include "onewire/device_reading.h"
#include "onewire/network_fixture.h"
#include "registry/host_codes.h"
#include "sim/ds2450.h"
#include "sim/models.h"
#include "sim/value_source.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

const std::string kQ1 = Rom(0x20, 31), kQ2 = Rom(0x20, 32), kV = Rom(0x26, 33), kT = Rom(0x28, 34);

class BusWideADTest : public NetworkTest {
 protected:
  void StartBus(const json& devices, bool pullup = true) {
    bus = sim::BuildBus({{"devices", devices}}, clock, "test bus");
    OneWire().register_adapter_types = [this, pullup](access::OneWireAccessProvider& provider) {
      provider.RegisterAdapterType(
          "SIM", [this, pullup](const std::string&) -> std::unique_ptr<access::BusMaster> {
            if (pullup) return std::make_unique<sim::SimBusMaster>(bus, "test bus");
            return std::make_unique<NoPullupMaster>(bus, "test bus");
          });
    };
    store.Set("Settings", "strHouseCodes0", "A");
    for (const auto& d : devices) {
      const std::string rom = d["rom"];
      if (rom.substr(14) == "26") store.Set("DS2438", rom, "0");  // a voltage monitor
    }
    ASSERT_EQ(InitHW(0), "");
    for (const auto& d : devices) {
      const std::string rom = d["rom"];
      gROMs().Find(rom);
      for (const std::string& key : Keys(rom)) {
        CreateHSDevice(*gROMs().FindDev(key), "part", "0", key);
      }
    }
    Plugin().settings.PollTemp = 1;
    Plugin().settings.PollAD = 1;
    Plugin().settings.PollI = 0;
    Plugin().settings.DebugLevel = 4;
  }
  static std::vector<std::string> Keys(const std::string& rom) {
    if (rom.substr(14) == "20") return {rom + "G", rom + "H", rom + "I", rom + "J"};
    if (rom.substr(14) == "26") return {rom + "M", rom + "G", rom + "H"};
    return {rom + "M"};
  }
  // What every channel of `roms` shows.
  std::map<std::string, std::string> Values(const std::vector<std::string>& roms) {
    std::map<std::string, std::string> out;
    for (const auto& rom : roms) {
      for (const auto& key : Keys(rom)) out[key] = Shown(key);
    }
    return out;
  }
  // New values for a part, as an edit of the bus file gives them.
  void Edit(const std::string& rom, json values) {
    const auto id = *access::RomId::Parse(rom);
    const std::string family = rom.substr(14);
    auto edited = family == "20"   ? sim::MakeDS2450Model(id, values)
                  : family == "26" ? sim::MakeDS2438Model(id, values)
                                   : sim::MakeDS18B20Model(id, values);
    ASSERT_TRUE(bus->Find(id)->FollowValues(*edited));
  }
  void SetInputs(const std::string& rom, const std::vector<double>& volts) {
    Edit(rom, {{"inputs", volts}});
  }
  // Sets the resolution of one input of a DS2450 through the access library.
  void SetBits(const std::string& rom, int channel, int bits) {
    ASSERT_TRUE(SetupContainer(rom, 3, true));
    auto c = SlotContainer(3);
    access::DeviceState state = c->readDevice();
    c->setADResolution(channel, c->getADRange(channel, state) / (1 << bits), state);
    c->writeDevice(state);
    ReleaseContainer(3);
  }
  // Runs walks until every device was read once (the one-by-one path reads one thermometer and
  // one A/D device per walk).
  void Walks(int n, int bus_convert) {
    Plugin().settings.BusConvert = bus_convert;
    for (int i = 0; i < n; ++i) ReadNet();
  }
  // A DS2450 wired to VCC: its set-up writes 40h to the VCC control byte (1Ch), as a program
  // driving such a part does (Match ROM, Write Memory).
  void PowerFromVcc(const std::string& rom) {
    access::BusMaster& m = OneWire().adapter->Master();
    ASSERT_TRUE(access::DeviceAnswered(m.Reset()));
    m.TouchByte(0x55);
    const access::RomId id = *access::RomId::Parse(rom);
    for (uint8_t b : id.bytes) m.TouchByte(b);
    const uint8_t write[4] = {0x55, 0x1C, 0x00, 0x40};
    for (uint8_t b : write) m.TouchByte(b);
    uint8_t reply[3] = {0xFF, 0xFF, 0xFF};
    m.Block(reply, sizeof reply);
    ASSERT_EQ(reply[2], 0x40);
    ASSERT_EQ(bus->FindAs<sim::DS2450Model>(*access::RomId::Parse(rom))->Memory(0x1C), 0x40);
  }
  std::chrono::milliseconds CycleTime() {
    const auto start = clock.MonotonicNow();
    ReadNet();
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock.MonotonicNow() - start);
  }
};

// The same bus read one by one and bus-wide gives the same values, in both directions of a
// change, and the bus-wide conversion holds the pull-up for the resolutions it learnt.
TEST_F(BusWideADTest, BusWideGivesTheValuesOfTheOneByOnePath) {
  StartBus(json::array({{{"rom", kQ1}, {"inputs", {1.0, 2.0, 0.5, 0.0}}},
                        {{"rom", kQ2}, {"inputs", {0.25, 1.5, 2.25, 0.75}}},
                        {{"rom", kV}, {"temperature", 20}, {"vdd", 4.8}, {"vad", 1.2}},
                        {{"rom", kT}, {"temperature", 21.5}}}));
  const std::vector<std::string> roms = {kQ1, kQ2, kV, kT};
  const auto change = [&](bool second) {
    SetInputs(kQ1, second ? std::vector<double>{2.5, 0.1, 1.75, 1.25}
                          : std::vector<double>{1.0, 2.0, 0.5, 0.0});
    SetInputs(kQ2, second ? std::vector<double>{0.3, 0.6, 0.9, 1.2}
                          : std::vector<double>{0.25, 1.5, 2.25, 0.75});
    Edit(kV, {{"temperature", second ? -4.5 : 20},
              {"vdd", second ? 5.0 : 4.8},
              {"vad", second ? 2.5 : 1.2}});
    Edit(kT, {{"temperature", second ? 30.125 : 21.5}});
  };
  Walks(3, 0);
  const auto first_one_by_one = Values(roms);
  EXPECT_EQ(first_one_by_one.at(kQ1 + "H"), "2.000V");
  EXPECT_EQ(first_one_by_one.at(kV + "M"), "20.000\u00BAC");
  change(true);
  host->log.clear();
  Walks(1, 1);
  const auto second_bus_wide = Values(roms);
  // One walk reads every part: the conversion of all four inputs of both converters is one, with
  // the pull-up held for 8 bits (learnt from the walks before).
  EXPECT_THAT(host->LogTexts("1-Wire Cycle Info"),
              Contains(HasSubstr("Bus-wide A/D conversion of 2 converter(s), 2.7 ms under strong "
                                 "pull-up")));
  EXPECT_THAT(host->LogTexts("1-Wire Cycle Info"),
              Contains(HasSubstr("Bus-wide conversion of 2 thermometer(s)")));
  change(false);
  Walks(1, 1);
  EXPECT_EQ(Values(roms), first_one_by_one);
  change(true);
  Walks(3, 0);
  EXPECT_EQ(Values(roms), second_bus_wide);
  EXPECT_EQ(second_bus_wide.at(kQ1 + "G"), "2.500V");
  EXPECT_EQ(second_bus_wide.at(kV + "M"), "-4.500\u00BAC");
  EXPECT_NE(second_bus_wide, first_one_by_one);

  // Bus-wide, the walk spends less bus time on the two converters than one by one.
  Plugin().settings.PollTemp = 0;
  Plugin().settings.PollAD = 0;
  Plugin().settings.PollI = 1;  // the walk reads the converters and the monitor's current
  Plugin().settings.BusConvert = 0;
  const auto one_by_one = CycleTime();
  Plugin().settings.BusConvert = 1;
  const auto bus_wide = CycleTime();
  EXPECT_LT(bus_wide, one_by_one);
}

// Parts that miss the conversion. An input raised to 16 bits behind the plug-in's back needs
// longer than the pull-up held for 8: the part shows its preset, is converted again on its own,
// and the next conversion waits longer. A part that vanishes under the pull-up keeps its last
// value, marked stale, until it is back.
TEST_F(BusWideADTest, APartThatMissesTheConversionShowsNoWrongValue) {
  StartBus(json::array({{{"rom", kQ1}, {"inputs", {1.0, 2.0, 0.5, 0.0}}},
                        {{"rom", kQ2}, {"inputs", {0.25, 1.5, 2.25, 0.75}}}}));
  Walks(1, 1);  // learns the resolutions (8 bits)
  EXPECT_EQ(Shown(kQ2 + "H"), "1.500V");
  SetBits(kQ2, 3, 16);
  SetInputs(kQ2, {0.5, 1.0, 1.5, 2.0});
  SetInputs(kQ1, {2.0, 1.0, 0.5, 0.25});
  host->log.clear();
  Walks(1, 1);
  const auto info = host->LogTexts("1-Wire Cycle Info");
  EXPECT_THAT(info, Contains(HasSubstr(kQ2 + " missed the bus-wide A/D conversion")));
  EXPECT_THAT(info, Not(Contains(HasSubstr(kQ1 + " missed"))));
  EXPECT_EQ(Shown(kQ2 + "G"), "0.500V");
  EXPECT_EQ(Shown(kQ2 + "J"), "2.000V");
  EXPECT_EQ(Shown(kQ1 + "G"), "2.000V");

  SetInputs(kQ1, {1.0, 2.0, 0.5, 0.0});
  SetInputs(kQ2, {0.25, 1.5, 2.25, 0.75});
  sim::SimDevice* q2 = bus->Find(*access::RomId::Parse(kQ2));
  // Gone 2 ms into the walk: under the pull-up of the bus-wide conversion.
  q2->faults().present = sim::ParseValueSource(
      {{"type", "steps"}, {"steps", {{0, 1}, {bus->Seconds() + 0.002, 0}}}}, "test schedule");
  host->log.clear();
  Walks(1, 1);
  // 160 us and 80 us a bit: 8 + 8 + 8 + 16 bits.
  EXPECT_THAT(host->LogTexts("1-Wire Cycle Info"),
              Contains(HasSubstr("Bus-wide A/D conversion of 2 converter(s), 3.4 ms")));
  EXPECT_EQ(Shown(kQ1 + "G"), "1.000V");
  EXPECT_EQ(Shown(kQ2 + "G"), "0.500V");
  EXPECT_TRUE(HostDevice(kQ2 + "G")->stale_);
  q2->faults().present = sim::Constant(1);
  Walks(1, 1);
  EXPECT_FALSE(HostDevice(kQ2 + "G")->stale_);
  EXPECT_EQ(Shown(kQ2 + "G"), "0.250V");
  EXPECT_EQ(Shown(kQ2 + "J"), "0.750V");
}

// Without a strong pull-up a DS2450 powered from the bus cannot convert bus-wide: every converter
// is converted one by one, as without the setting, and one on VCC still gives its values.
TEST_F(BusWideADTest, WithoutAStrongPullupTheConvertersAreReadOneByOne) {
  StartBus(json::array({{{"rom", kQ1}, {"inputs", {1.0, 2.0, 0.5, 0.0}}},
                        {{"rom", kQ2}, {"inputs", {0.25, 1.5, 2.25, 0.75}}}}),
           false);
  PowerFromVcc(kQ1);
  host->log.clear();
  Walks(1, 1);
  EXPECT_THAT(host->LogTexts("1-Wire Cycle Info"),
              Contains(HasSubstr("2 A/D converter(s) converted one by one: the adapter has no "
                                 "strong pull-up")));
  EXPECT_EQ(Shown(kQ1 + "H"), "2.000V");
  SetInputs(kQ1, {2.0, 1.0, 0.5, 0.25});
  Walks(1, 1);
  EXPECT_EQ(Shown(kQ1 + "G"), "2.000V");
}

// Garbled answers: a battery monitor whose page reads fail their CRC keeps its last value while
// the others are read; a converter whose line reads low garbles the convert command's CRC, which
// sends every converter to the one-by-one path.
TEST_F(BusWideADTest, CrcErrorsLoseNoOtherReading) {
  StartBus(json::array({{{"rom", kQ1}, {"inputs", {1.0, 2.0, 0.5, 0.0}}},
                        {{"rom", kQ2}, {"inputs", {0.25, 1.5, 2.25, 0.75}}},
                        {{"rom", kV}, {"temperature", 20}, {"vdd", 4.8}, {"vad", 1.2}},
                        {{"rom", kT}, {"temperature", 21.5}}}));
  Walks(1, 1);
  ASSERT_EQ(Shown(kV + "M"), "20.000\u00BAC");
  sim::SimDevice* v = bus->Find(*access::RomId::Parse(kV));
  sim::SimDevice* q2 = bus->Find(*access::RomId::Parse(kQ2));
  v->faults().crc_error_rate = 1;
  q2->faults().zeros_rate = 1;
  Edit(kV, {{"temperature", 25}, {"vdd", 4.8}, {"vad", 1.2}});
  Edit(kT, {{"temperature", 23}});
  SetInputs(kQ1, {2.0, 1.0, 0.5, 0.25});
  host->log.clear();
  const auto crc_before = HealthOf(kV).value().since_start.crc_errors;
  Plugin().settings.PollAD = 0;  // the monitor's temperature alone
  Walks(1, 1);
  EXPECT_EQ(Shown(kV + "M"), "20.000\u00BAC");
  EXPECT_GT(HealthOf(kV).value().since_start.crc_errors, crc_before);
  EXPECT_EQ(Shown(kT + "M"), "23.000\u00BAC");
  EXPECT_EQ(Shown(kQ1 + "G"), "2.000V");
  EXPECT_EQ(Shown(kQ2 + "G"), "0.250V");
  EXPECT_THAT(host->LogTexts("1-Wire ERROR(ReadNet)"),
              Contains(HasSubstr("the A/D converters are read one by one")));
  v->faults().crc_error_rate = 0;
  Walks(1, 1);
  EXPECT_EQ(Shown(kV + "M"), "25.000\u00BAC");
}

}  // namespace
}  // namespace qb::test
