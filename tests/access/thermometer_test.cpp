#include "sim/thermometer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "access/adapter.h"
#include "access/bus_conversion.h"
#include "access/crc.h"
#include "access/ds18s20.h"
#include "access/errors.h"
#include "access/families.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::DeviceState;
using access::ErrorCode;
using access::RomId;
using nlohmann::json;

struct ThermoBus {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  access::DSPortAdapter adapter{"SIM", "test",
                                std::make_unique<sim::SimBusMaster>(bus, "test bus")};

  // Adds a model of `family` and returns its container.
  std::unique_ptr<access::OneWireContainer> Add(uint8_t family, uint64_t serial,
                                                const json& device) {
    const RomId rom = RomId::Make(family, serial);
    auto model = family == 0x10   ? sim::MakeDS18S20Model(rom, device)
                 : family == 0x22 ? sim::MakeDS1822Model(rom, device)
                                  : sim::MakeDS18B20Model(rom, device);
    bus->Add(std::move(model));
    auto c = family == 0x10   ? access::MakeDS18S20Container()
             : family == 0x22 ? access::MakeDS1822Container()
                              : access::MakeDS18B20Container();
    c->SetupContainer(&adapter, rom.ToString());
    return c;
  }
  sim::ThermometerModel& Model(const access::OneWireContainer& c) {
    return *bus->FindAs<sim::ThermometerModel>(c.getAddress());
  }
  int64_t NowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               clock.MonotonicNow().time_since_epoch())
        .count();
  }
};

// A scratchpad as a device would send it, with the given temperature register and configuration.
DeviceState Pad(uint16_t reg, uint8_t config = 0x7F) {
  DeviceState s{static_cast<uint8_t>(reg & 0xFF),
                static_cast<uint8_t>(reg >> 8),
                0x4B,
                0x46,
                config,
                0xFF,
                0x0C,
                0x10,
                0};
  s[8] = access::Crc8(s.data(), 8);
  return s;
}

// The datasheet's finer DS18S20 reading: TEMP_READ (the register without its half-degree bit)
// - 0.25 + (COUNT_PER_C - COUNT_REMAIN) / COUNT_PER_C.
double ExtendedS20(const DeviceState& s) {
  const int temp_read = static_cast<int16_t>(s[1] << 8 | s[0]) >> 1;
  return temp_read - 0.25 + (s[7] - s[6]) / static_cast<double>(s[7]);
}

void ExpectFailure(const std::function<void()>& call, ErrorCode code = ErrorCode::GeneralFailure) {
  try {
    call();
    ADD_FAILURE() << "no error raised";
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), code) << e.what();
  }
}

TEST(Thermometer, DecodesTheDatasheetTemperatureTables) {
  const std::pair<double, uint16_t> b20[] = {
      {125, 0x07D0}, {85, 0x0550},   {25.0625, 0x0191}, {10.125, 0x00A2},   {0.5, 0x0008},
      {0, 0x0000},   {-0.5, 0xFFF8}, {-10.125, 0xFF5E}, {-25.0625, 0xFE6F}, {-55, 0xFC90}};
  for (auto make : {access::MakeDS18B20Container, access::MakeDS1822Container}) {
    auto c = make();
    for (const auto& [celsius, reg] : b20)
      EXPECT_EQ(c->getTemperature(Pad(reg)), celsius) << c->getName() << " " << reg;
    // Below 12 bits the low register bits are undefined and must not show in the reading.
    EXPECT_EQ(c->getTemperature(Pad(0x0197, 0x1F)), 25.0);    // 9 bits
    EXPECT_EQ(c->getTemperature(Pad(0x0197, 0x3F)), 25.25);   // 10 bits
    EXPECT_EQ(c->getTemperature(Pad(0x0197, 0x5F)), 25.375);  // 11 bits
    EXPECT_EQ(c->getTemperature(Pad(0xFE6F, 0x1F)), -25.5);   // negative values round down too
    EXPECT_EQ(c->getTemperatureResolution(Pad(0, 0x3F)), 0.25);
  }
  const std::pair<double, uint16_t> s20[] = {{85, 0x00AA}, {25, 0x0032},   {0.5, 0x0001},
                                             {0, 0x0000},  {-0.5, 0xFFFF}, {-25, 0xFFCE},
                                             {-55, 0xFF92}};
  auto c = access::MakeDS18S20Container();
  for (const auto& [celsius, reg] : s20)
    EXPECT_EQ(c->getTemperature(Pad(reg, 0xFF)), celsius) << reg;
  // The DS18S20 example of its datasheet: 00AAh, COUNT_REMAIN 0Ch, COUNT_PER_C 10h is 85 C.
  EXPECT_EQ(ExtendedS20(Pad(0x00AA, 0xFF)), 85.0);
  ExpectFailure([&] { c->getTemperature(DeviceState(8)); });
}

TEST(Thermometer, FirstReadBeforeAnyConversionIsThePowerOnValue) {
  ThermoBus s;
  auto s20 = s.Add(0x10, 1, {{"temperature", 21.5}});
  auto d22 = s.Add(0x22, 2, {{"temperature", 21.5}});
  auto b20 = s.Add(0x28, 3, {{"temperature", 21.5}, {"alarm_high", 30}, {"alarm_low", -10}});
  for (auto* c : {s20.get(), d22.get(), b20.get()}) {
    const DeviceState st = c->readDevice();
    EXPECT_EQ(c->getTemperature(st), 85.0) << c->getName();
    EXPECT_EQ(st[7], 0x10);
    EXPECT_EQ(st[5], 0xFF);
    EXPECT_FALSE(c->IsAlarming());
    EXPECT_TRUE(c->isExternalPowerSupplied(st));
  }
  const DeviceState st = b20->readDevice();
  EXPECT_EQ(access::StateToHex(st).substr(0, 10), "50051EF67F");  // 0550h, TH 30, TL -10, 12 bits
  EXPECT_EQ(ExtendedS20(s20->readDevice()), 85.0);
}

TEST(Thermometer, Ds18s20FinerReadingRecoversTheTemperatureToASixteenth) {
  ThermoBus s;
  auto c = s.Add(0x10, 7, {{"temperature", 0}});
  auto& model = s.Model(*c);
  DeviceState st = c->readDevice();
  for (int sixteenths = -55 * 16; sixteenths <= 125 * 16; sixteenths += 13) {
    const double t = sixteenths / 16.0;
    model.Temperature().Set(t +
                            0.01);  // a hair above: the device quantises, it does not pass it on
    c->doTemperatureConvert(st);
    EXPECT_EQ(ExtendedS20(st), t);
    EXPECT_EQ(access::DS18S20ExtendedTemperature(st), t);
    EXPECT_NEAR(c->getTemperature(st), t, 0.25) << t;  // the register is the nearest half degree
    EXPECT_GE(st[6], 1);
    EXPECT_LE(st[6], 16);
    const std::string hex = access::StateToHex(st);  // where the plug-in takes the counts from
    EXPECT_EQ(hex.substr(12, 2), access::BytesToHexText(&st[6], 1));
    EXPECT_EQ(hex.substr(14, 2), "10");
  }
}

// Every register value from -55 to +125 C with every count: the whole degrees are rounded
// towards minus infinity, so below zero the reading is never a degree too warm.
TEST(Thermometer, Ds18s20ExtendedReadingFollowsTheDatasheetAcrossItsRange) {
  for (int half_degrees = -110; half_degrees <= 250; ++half_degrees) {
    for (int count_remain = 0; count_remain <= 16; ++count_remain) {
      DeviceState st = Pad(static_cast<uint16_t>(half_degrees), 0xFF);
      st[6] = static_cast<uint8_t>(count_remain);
      const double datasheet = std::floor(half_degrees / 2.0) - 0.25 + (16 - count_remain) / 16.0;
      ASSERT_EQ(access::DS18S20ExtendedTemperature(st), datasheet)
          << half_degrees << " half degrees, COUNT_REMAIN " << count_remain;
    }
  }
  // The readings the issue saw a degree too warm: -5.6, -0.3 and -10.5 C.
  ThermoBus s;
  auto c = s.Add(0x10, 8, {{"temperature", 0}});
  DeviceState st = c->readDevice();
  for (const auto& [set, reads] : {std::pair{-5.6, -5.625}, {-0.3, -0.3125}, {-10.5, -10.5}}) {
    s.Model(*c).Temperature().Set(set);
    c->doTemperatureConvert(st);
    EXPECT_EQ(access::DS18S20ExtendedTemperature(st), reads) << set;
  }
  // Without a count per degree there is no finer reading; a state of another size is refused.
  st = Pad(0xFFF5, 0xFF);  // -5.5 C
  st[7] = 0;
  EXPECT_EQ(access::DS18S20ExtendedTemperature(st), -5.5);
  ExpectFailure([] { access::DS18S20ExtendedTemperature(DeviceState(8)); });
}

TEST(Thermometer, ResolutionSetsConversionTimeAndStep) {
  ThermoBus s;
  auto c = s.Add(0x28, 9, {{"temperature", 21.3}});
  EXPECT_TRUE(c->hasSelectableTemperatureResolution());
  const std::tuple<double, int64_t, double> cases[] = {
      {0.5, 94, 21.5}, {0.25, 188, 21.25}, {0.125, 375, 21.25}, {0.0625, 750, 21.3125}};
  for (const auto& [resolution, ms, reading] : cases) {
    DeviceState st = c->readDevice();
    c->setTemperatureResolution(resolution, st);
    c->writeDevice(st);
    const int64_t before = s.NowMs();
    c->doTemperatureConvert(st);
    EXPECT_EQ(s.NowMs() - before, ms) << resolution;
    EXPECT_EQ(c->getTemperatureResolution(st), resolution);
    EXPECT_EQ(c->getTemperature(st), reading) << resolution;
  }
  // The conversion time is the one the device has, not one a state not yet written asks for.
  DeviceState st = c->readDevice();
  c->setTemperatureResolution(0.5, st);
  const int64_t before = s.NowMs();
  c->doTemperatureConvert(st);
  EXPECT_EQ(s.NowMs() - before, 750);

  auto s20 = s.Add(0x10, 10, {{"temperature", 21.3}});
  EXPECT_FALSE(s20->hasSelectableTemperatureResolution());
  EXPECT_EQ(s20->getTemperatureResolutions(), std::vector<double>{0.5});
  DeviceState s20st = s20->readDevice();
  const int64_t start = s.NowMs();
  s20->doTemperatureConvert(s20st);
  EXPECT_EQ(s.NowMs() - start, 750);
  EXPECT_EQ(s20->getTemperature(s20st), 21.5);
}

// The conversion time comes from the scratchpad the container last read, without reading it
// again; when the device's resolution was changed behind its back (here by a second container on
// the same device), the read after the conversion shows it and the conversion runs again for the
// time the device needs, so a parasite-powered part that browned out is still read right.
TEST(Thermometer, ResolutionChangedElsewhereIsConvertedAgainForTheRightTime) {
  ThermoBus s;
  auto c = s.Add(0x28, 12, {{"temperature", 21.3}, {"power", "parasite"}});
  DeviceState st = c->readDevice();
  c->setTemperatureResolution(0.5, st);
  c->writeDevice(st);  // 9 bits, read back by this container

  auto other = access::MakeDS18B20Container();
  other->SetupContainer(&s.adapter, c->getAddressAsString());
  DeviceState other_st = other->readDevice();
  other->setTemperatureResolution(0.0625, other_st);
  other->writeDevice(other_st);  // 12 bits, in EEPROM too

  const int64_t before = s.NowMs();
  c->doTemperatureConvert(st);
  // 94 ms held for 9 bits: too short, the part browns out; then the 750 ms 12 bits need.
  EXPECT_EQ(s.NowMs() - before, 94 + 750);
  EXPECT_EQ(c->getTemperatureResolution(st), 0.0625);
  EXPECT_EQ(c->getTemperature(st), 21.3125);

  // Known now: the next conversion takes the right time at once.
  const int64_t again = s.NowMs();
  c->doTemperatureConvert(st);
  EXPECT_EQ(s.NowMs() - again, 750);
  EXPECT_EQ(c->getTemperature(st), 21.3125);
}

TEST(Thermometer, AlarmSearchFindsExactlyTheThermometersOutsideTheirLimits) {
  ThermoBus s;
  struct Case {
    uint8_t family;
    double temperature;
    int low, high;
    bool alarms;
  };
  // Whole degrees (rounded down) at or below TL alarm on all three; at TH the DS18B20 and DS1822
  // alarm and the DS18S20 only above it.
  const Case cases[] = {{0x28, 30.0, 10, 30, true},  {0x28, 29.9375, 10, 30, false},
                        {0x22, 10.5, 10, 30, true},  {0x22, 11.0, 10, 30, false},
                        {0x10, 30.0, 10, 30, false}, {0x10, 31.0, 10, 30, true},
                        {0x10, 10.5, 10, 30, true},  {0x28, -0.5, -1, 5, true},
                        {0x10, -0.5, -2, 5, false},  {0x28, 20.0, -55, 125, false}};
  std::vector<std::unique_ptr<access::OneWireContainer>> containers;
  std::set<std::string> expected;
  uint64_t serial = 100;
  for (const auto& k : cases) {
    auto c = s.Add(k.family, serial++, {{"temperature", k.temperature}});
    DeviceState st = c->readDevice();
    c->setTemperatureAlarm(access::ALARM_LOW, k.low, st);
    c->setTemperatureAlarm(access::ALARM_HIGH, k.high, st);
    c->writeDevice(st);
    EXPECT_EQ(c->getTemperatureAlarm(access::ALARM_LOW, c->readDevice()), k.low);
    if (k.alarms) expected.insert(c->getAddressAsString());
    containers.push_back(std::move(c));
  }
  auto search = [&] {
    std::set<std::string> found;
    s.adapter.setSearchOnlyAlarmingDevices();
    for (bool more = s.adapter.findFirstDevice(); more; more = s.adapter.findNextDevice())
      found.insert(s.adapter.getAddressAsString());
    return found;
  };
  EXPECT_TRUE(search().empty());  // no conversion yet
  for (auto& c : containers) {
    DeviceState st = c->readDevice();
    c->doTemperatureConvert(st);
    EXPECT_EQ(c->IsAlarming(), expected.count(c->getAddressAsString()) == 1)
        << c->getName() << " " << c->getTemperature(st);
  }
  EXPECT_EQ(search(), expected);
  // The flag follows the next conversion.
  for (size_t i = 0; i < containers.size(); ++i) {
    auto& c = containers[i];
    s.Model(*c).Temperature().Set((cases[i].low + cases[i].high) / 2);
    DeviceState st = c->readDevice();
    c->doTemperatureConvert(st);
  }
  EXPECT_TRUE(search().empty());
}

TEST(Thermometer, WriteDeviceKeepsLimitsAndResolutionInEeprom) {
  for (const char* power : {"external", "parasite"}) {
    SCOPED_TRACE(power);
    ThermoBus s;
    auto c = s.Add(0x28, 5, {{"temperature", 18.0}, {"power", power}});
    EXPECT_EQ(c->isExternalPowerSupplied(c->readDevice()), std::string(power) == "external");
    DeviceState st = c->readDevice();
    c->setTemperatureAlarm(access::ALARM_HIGH, 125, st);
    c->setTemperatureAlarm(access::ALARM_LOW, -55, st);
    c->setTemperatureResolution(0.125, st);
    c->writeDevice(st);
    EXPECT_EQ(s.Model(*c).Eeprom(), (std::array<uint8_t, 3>{0x7D, 0xC9, 0x5F}));
    // Overwrite the scratchpad without copying it; Recall E2 brings back what was written.
    ASSERT_TRUE(s.adapter.select(c->getAddress()));
    for (uint8_t b : {0x4E, 0x01, 0x02, 0x1F}) s.adapter.Master().TouchByte(b);
    EXPECT_EQ(c->getTemperatureAlarm(access::ALARM_HIGH, c->readDevice()), 1);
    c->recallE2();
    st = c->readDevice();
    EXPECT_EQ(c->getTemperatureAlarm(access::ALARM_HIGH, st), 125);
    EXPECT_EQ(c->getTemperatureAlarm(access::ALARM_LOW, st), -55);
    EXPECT_EQ(c->getTemperatureResolution(st), 0.125);
    c->doTemperatureConvert(st);
    EXPECT_EQ(c->getTemperature(st), 18.0);
    // An unchanged state costs no EEPROM write.
    const auto powered = s.adapter.Master().Stats().power_delivery;
    c->writeDevice(st);
    EXPECT_EQ(s.adapter.Master().Stats().power_delivery, powered);
  }
  // The DS18S20 keeps TH and TL.
  ThermoBus s;
  auto c = s.Add(0x10, 6, {{"temperature", 18.0}});
  DeviceState st = c->readDevice();
  c->setTemperatureAlarm(access::ALARM_HIGH, 40, st);
  c->writeDevice(st);
  EXPECT_EQ(s.Model(*c).Eeprom()[0], 40);
}

TEST(Thermometer, ParasitePartWithoutStrongPullUpLosesTheConversion) {
  ThermoBus s;
  auto c = s.Add(0x28, 11, {{"temperature", 18.0}, {"power", "parasite"}, {"alarm_high", 20}});
  DeviceState st = c->readDevice();
  c->doTemperatureConvert(st);
  EXPECT_EQ(c->getTemperature(st), 18.0);
  // Convert T followed by busy polling, as for an externally powered part: the device browns
  // out and comes back with its power-on scratchpad.
  ASSERT_TRUE(s.adapter.select(c->getAddress()));
  s.adapter.Master().TouchByte(0x44);
  EXPECT_TRUE(s.adapter.Master().TouchBit(true));
  s.adapter.Master().Wait(std::chrono::milliseconds(750));
  st = c->readDevice();
  EXPECT_EQ(c->getTemperature(st), 85.0);
  EXPECT_EQ(c->getTemperatureAlarm(access::ALARM_HIGH, st), 20);
}

TEST(Thermometer, CrcFaultsNeverYieldAWrongValue) {
  ThermoBus s;
  auto b20 = s.Add(0x28, 21, {{"temperature", -12.4375}});
  auto s20 = s.Add(0x10, 22, {{"temperature", -12.4375}});
  s.Model(*b20).faults().crc_error_rate = 0.3;
  s.Model(*s20).faults().crc_error_rate = 0.3;
  int good = 0, raised = 0;
  for (int i = 0; i < 150; ++i) {
    for (auto* c : {b20.get(), s20.get()}) {
      try {
        DeviceState st = c->readDevice();
        const double first = c->getTemperature(st);
        EXPECT_TRUE(first == 85.0 || first == (c == b20.get() ? -12.4375 : -12.5)) << first;
        c->doTemperatureConvert(st);
        EXPECT_EQ(c->getTemperature(st), c == b20.get() ? -12.4375 : -12.5);
        if (c == s20.get()) {
          EXPECT_EQ(ExtendedS20(st), -12.4375);
        }
        st[2] = static_cast<uint8_t>(i % 50);  // a new TH, written and verified each round
        c->writeDevice(st);
        EXPECT_EQ(s.Model(*c).Eeprom()[0], i % 50);
        ++good;
      } catch (const access::AccessError& e) {
        EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
        ++raised;
      }
    }
  }
  EXPECT_GT(good, 200);
  EXPECT_LT(raised, 100);
}

TEST(Thermometer, RejectsWhatTheDeviceCannotHold) {
  ThermoBus s;
  auto c = s.Add(0x28, 31, {{"temperature", 20}});
  DeviceState st = c->readDevice();
  ExpectFailure([&] { c->setTemperatureResolution(0.1, st); });
  ExpectFailure([&] { c->setTemperatureAlarm(access::ALARM_HIGH, 126, st); });
  ExpectFailure([&] { c->setTemperatureAlarm(access::ALARM_LOW, -56, st); });
  ExpectFailure([&] { c->setTemperatureAlarm(access::ALARM_LOW, 20.5, st); });
  ExpectFailure([&] { c->setTemperatureAlarm(7, 20, st); });
  EXPECT_EQ(st, c->readDevice());  // nothing rejected reached the state
  ExpectFailure([&] { c->writeDevice(DeviceState(3)); });
  auto s20 = s.Add(0x10, 32, {{"temperature", 20}});
  ExpectFailure([&] { s20->setTemperatureResolution(0.25, st); });
  s.Model(*c).faults().present = sim::Constant(0);
  ExpectFailure([&] { c->doTemperatureConvert(st); });

  const RomId rom = RomId::Make(0x28, 33);
  for (const json& bad : {json{{"temperature", 20}, {"resolution", 13}},
                          json{{"temperature", 20}, {"alarm_high", 20.5}},
                          json{{"temperature", 20}, {"power", "solar"}}, json{{"alarm_low", 0}}}) {
    try {
      sim::MakeDS18B20Model(rom, bad);
      ADD_FAILURE() << bad.dump();
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(rom.ToString()), std::string::npos) << e.what();
    }
  }
}

// A master whose resets are answered with an alarm presence while `alarm` is set, and which notes
// the speed each byte went out at.
class NotingMaster : public sim::SimBusMaster {
 public:
  using SimBusMaster::SimBusMaster;
  bool CanOverdrive() const override { return true; }
  access::ResetResult Reset() override {
    const access::ResetResult r = SimBusMaster::Reset();
    return alarm && r == access::ResetResult::Presence ? access::ResetResult::Alarm : r;
  }
  uint8_t TouchByte(uint8_t byte) override {
    bytes.emplace_back(byte, GetSpeed());
    return SimBusMaster::TouchByte(byte);
  }
  bool alarm = true;
  std::vector<std::pair<uint8_t, access::Speed>> bytes;
};

// On an overdrive bus with an alarming part the conversion still runs: reset, Skip ROM and
// Convert T at regular speed, the others read meanwhile at overdrive, and only the rest of the
// conversion time waited after them.
TEST(Thermometer, BusWideConversionOnAnOverdriveBusWithAnAlarmingPart) {
  using namespace std::chrono_literals;
  SimulatedClock clock;
  auto bus = std::make_shared<sim::SimBus>(clock);
  auto owned = std::make_unique<NotingMaster>(bus, "test bus");
  NotingMaster& m = *owned;
  access::DSPortAdapter adapter{"SIM", "test", std::move(owned)};
  const RomId rom = RomId::Make(0x28, 9);
  bus->Add(sim::MakeDS18B20Model(rom, {{"temperature", 21.5}, {"alarm_high", 20}}));
  auto c = access::MakeDS18B20Container();
  c->SetupContainer(&adapter, rom.ToString());

  m.SetSpeed(access::Speed::Overdrive);
  const auto start = clock.MonotonicNow();
  access::Speed speed_meanwhile = access::Speed::Regular;
  access::ConvertAllThermometers(adapter, 750ms, false, [&] {
    speed_meanwhile = m.GetSpeed();
    m.Wait(500ms);
    return std::chrono::milliseconds(500);
  });
  EXPECT_EQ(clock.MonotonicNow() - start, 750ms);
  EXPECT_EQ(speed_meanwhile, access::Speed::Overdrive);
  EXPECT_EQ(m.GetSpeed(), access::Speed::Overdrive);
  using Sent = std::pair<uint8_t, access::Speed>;
  EXPECT_EQ(m.bytes, (std::vector<Sent>{{access::kSkipRom, access::Speed::Regular},
                                        {access::kConvertT, access::Speed::Regular}}));

  m.alarm = false;
  m.SetSpeed(access::Speed::Regular);
  EXPECT_EQ(c->getTemperature(c->readDevice()), 21.5);
}

}  // namespace
}  // namespace qb
