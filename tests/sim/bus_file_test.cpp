#include "sim/bus_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/families.h"
#include "access/provider.h"
#include "support/temp_dir.h"

namespace qb::sim {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

std::string ErrorOf(const json& doc) {
  SimulatedClock clock;
  try {
    BuildBus(doc, clock, "test.json");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

json Device(const std::string& rom, json values = json::object()) {
  values["rom"] = rom;
  return values;
}

TEST(BusFile, RefusesBadDevicesWithAMessageNamingThem) {
  const std::string good = access::RomId::Make(0x28, 1).ToString();
  EXPECT_EQ(ErrorOf({{"devices", {Device(good, {{"temperature", 20}})}}}), "");
  std::string bad_crc = good;
  bad_crc[0] = bad_crc[0] == '0' ? '1' : '0';
  EXPECT_THAT(ErrorOf({{"devices", {Device(bad_crc)}}}),
              HasSubstr("device " + bad_crc +
                        ": wrong CRC (for this family and serial number the first two digits are " +
                        good.substr(0, 2) + ")"));
  const std::string memory = access::RomId::Make(0x3B, 5).ToString();
  EXPECT_THAT(ErrorOf({{"devices", {Device(memory)}}}),
              HasSubstr("device " + memory + ": the simulator has no model of family 3B"));
  // A family the catalogue knows only by name answers as its ROM id, and takes no values.
  const std::string java = access::RomId::Make(0x16, 6).ToString();
  EXPECT_EQ(ErrorOf({{"devices", {Device(java)}}}), "");
  EXPECT_THAT(ErrorOf({{"devices", {Device(java, {{"memory", "00"}})}}}),
              HasSubstr("unknown key \"memory\" (family 16 takes none)"));
  EXPECT_THAT(ErrorOf({{"devices", {Device(good, {{"temprature", 20}})}}}),
              HasSubstr("unknown key \"temprature\""));
  const json warm = {{"temperature", 20}};
  EXPECT_THAT(ErrorOf({{"devices", {Device(good, warm), Device(good, warm)}}}),
              HasSubstr("appears twice"));
  EXPECT_THAT(ErrorOf({{"devices", {Device("XYZ")}}}),
              HasSubstr("device 1: \"XYZ\" is not a ROM id"));
  EXPECT_THAT(ErrorOf({{"devices", {Device(good, {{"temperature", {{"type", "square"}}}})}}}),
              HasSubstr("unknown generator type"));
  EXPECT_THAT(
      ErrorOf({{"devices",
                {Device(good, {{"temperature", 20}, {"faults", {{"crc_error_rate", 2}}}})}}}),
      HasSubstr("from 0 to 1"));
  EXPECT_THAT(ErrorOf(json::array()),
              HasSubstr("test.json: expected an object with a \"devices\" list"));
}

TEST(BusFile, PresenceScheduleAndShortFollowSimulatedTime) {
  SimulatedClock clock;
  const auto rom = access::RomId::Make(0x01, 77);
  auto bus = BuildBus(
      {{"devices",
        {Device(rom.ToString(), {{"present", {{"type", "steps"}, {"steps", {{0, 1}, {60, 0}}}}}})}},
       {"faults", {{"short", {{"type", "steps"}, {"steps", {{0, 0}, {120, 1}}}}}}}},
      clock, "t");
  access::DSPortAdapter adapter("SIM", "t", std::make_unique<SimBusMaster>(bus, "t"));
  EXPECT_TRUE(adapter.isPresent(rom));
  clock.Advance(std::chrono::seconds(61));
  EXPECT_FALSE(adapter.isPresent(rom));
  EXPECT_EQ(adapter.Reset(), 0);
  clock.Advance(std::chrono::seconds(60));
  EXPECT_EQ(adapter.Reset(), 3);
}

TEST(BusFile, TheSimAdapterOpensABusFileAndNamesTypeAndPortOnFailure) {
  test::TempDir dir;
  const auto rom = access::RomId::Make(0x28, 3);
  test::WriteFile(dir.path() / "bus.json",
                  json{{"devices", {Device(rom.ToString(), {{"temperature", 30.5}})}}}.dump());
  SimulatedClock clock;
  access::OneWireAccessProvider provider;
  RegisterSimAdapter(provider, clock);
  auto adapter = provider.openAdapter("{SIM}", (dir.path() / "bus.json").string());
  ASSERT_TRUE(adapter->findFirstDevice());
  EXPECT_EQ(adapter->getAddressAsString(), rom.ToString());
  auto c = access::CreateContainer(0x28);
  c->SetupContainer(adapter.get(), rom.ToString());
  access::DeviceState state = c->readDevice();
  c->doTemperatureConvert(state);
  EXPECT_DOUBLE_EQ(c->getTemperature(state), 30.5);

  try {
    provider.openAdapter("{DS9490}", "USB1");
    ADD_FAILURE() << "an unknown type must fail";
  } catch (const access::AccessError& e) {
    EXPECT_THAT(e.what(), HasSubstr("DS9490"));
    EXPECT_THAT(e.what(), HasSubstr("USB1"));
  }
  try {
    provider.openAdapter("SIM", "/no/such/bus.json");
    ADD_FAILURE() << "a missing bus file must fail";
  } catch (const access::AccessError& e) {
    EXPECT_THAT(e.what(), HasSubstr("SIM"));
    EXPECT_THAT(e.what(), HasSubstr("/no/such/bus.json"));
  }
}

TEST(BusFile, RefusesABusFileBeyondTheDeviceCountOrSize) {
  json devices = json::array();
  for (uint64_t i = 1; i <= kMaxBusFileDevices + 1; ++i)
    devices.push_back(Device(access::RomId::Make(0x01, i).ToString()));
  EXPECT_THAT(ErrorOf({{"devices", devices}}),
              HasSubstr("lists 1001 devices; a bus file holds at most 1000"));
  devices.erase(devices.size() - 1);
  EXPECT_EQ(ErrorOf({{"devices", devices}}), "");

  // The size is checked before the file is read, so a huge file costs no memory.
  test::TempDir dir;
  const auto path = dir.path() / "huge.json";
  { std::ofstream(path) << "{\"devices\": []}"; }
  std::filesystem::resize_file(path, kMaxBusFileBytes + 1);
  SimulatedClock clock;
  try {
    LoadBusFile(path.string(), clock);
    ADD_FAILURE() << "a bus file over the size limit must be refused";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("a bus file may be at most 32 MB"));
  }
}

// The running bus follows its file: values, presence and new devices arrive; what the master
// wrote to a device survives an edit of its values; a broken edit is reported and the last good
// bus stays until a good one comes.
TEST(BusFile, TheSimAdapterFollowsEditsOfItsFileAndKeepsTheLastGoodBus) {
  test::TempDir dir;
  const auto path = dir.path() / "bus.json";
  const auto thermo = access::RomId::Make(0x28, 4);
  const auto sw = access::RomId::Make(0x12, 5);
  const auto button = access::RomId::Make(0x01, 6);
  auto write = [&](json thermometer, json switch_levels, bool with_button) {
    json devices = {
        Device(thermo.ToString(), thermometer),
        Device(sw.ToString(), {{"latches", {false, false}}, {"levels", switch_levels}})};
    if (with_button) devices.push_back(Device(button.ToString()));
    test::WriteFile(path, json{{"devices", devices}}.dump());
  };
  write({{"temperature", 20.0}}, {true, true}, false);
  SimulatedClock clock;
  std::vector<std::string> log;
  access::OneWireAccessProvider provider;
  RegisterSimAdapter(provider, clock, [&log](const std::string& text) { log.push_back(text); });
  auto adapter = provider.openAdapter("SIM", path.string());
  auto t = access::CreateContainer(0x28);
  t->SetupContainer(adapter.get(), thermo.ToString());
  auto s = access::CreateContainer(0x12);
  s->SetupContainer(adapter.get(), sw.ToString());
  auto temperature = [&] {
    access::DeviceState state = t->readDevice();
    t->doTemperatureConvert(state);
    return t->getTemperature(state);
  };
  EXPECT_DOUBLE_EQ(temperature(), 20.0);
  // The master sets 9 bits; an edit of the temperature must not undo that.
  access::DeviceState state = t->readDevice();
  t->setTemperatureResolution(0.5, state);
  t->writeDevice(state);

  write({{"temperature", 25.5}}, {false, true}, true);
  EXPECT_DOUBLE_EQ(temperature(), 20.0) << "the file is not looked at again within 250 ms";
  clock.Advance(std::chrono::seconds(1));
  EXPECT_DOUBLE_EQ(temperature(), 25.5);
  EXPECT_DOUBLE_EQ(t->getTemperatureResolution(t->readDevice()), 0.5);
  access::DeviceState switch_state = s->readDevice();
  EXPECT_FALSE(s->getLevel(0, switch_state));
  EXPECT_TRUE(s->getSensedActivity(0, switch_state)) << "the edit is an edge at the pin";
  EXPECT_TRUE(adapter->isPresent(button));
  ASSERT_FALSE(log.empty());
  EXPECT_THAT(log.back(), HasSubstr("2 changed, 1 added, 0 removed"));

  // Broken JSON, then a device with a wrong CRC: both reported, neither changes the bus.
  test::WriteFile(path, "{\"devices\": [");
  clock.Advance(std::chrono::seconds(1));
  EXPECT_DOUBLE_EQ(temperature(), 25.5);
  EXPECT_THAT(log.back(), HasSubstr("edit ignored, the bus stays as it was"));
  EXPECT_THAT(log.back(), HasSubstr("not valid JSON"));
  const size_t reported = log.size();
  clock.Advance(std::chrono::seconds(5));
  EXPECT_TRUE(adapter->isPresent(button));
  EXPECT_EQ(log.size(), reported) << "one broken edit is reported once";
  std::string bad = button.ToString();
  bad[0] = bad[0] == '0' ? '1' : '0';
  test::WriteFile(path, json{{"devices", {Device(bad)}}}.dump());
  clock.Advance(std::chrono::seconds(1));
  EXPECT_TRUE(adapter->isPresent(thermo));
  EXPECT_THAT(log.back(), HasSubstr("wrong CRC"));

  // A good edit after the broken ones: the thermometer leaves, the button is gone.
  write({{"temperature", 25.5}, {"present", 0}}, {false, true}, false);
  clock.Advance(std::chrono::seconds(1));
  EXPECT_FALSE(adapter->isPresent(thermo));
  EXPECT_FALSE(adapter->isPresent(button));
  EXPECT_TRUE(adapter->isPresent(sw));
  EXPECT_THAT(log.back(), HasSubstr("1 changed, 0 added, 1 removed"));
}

// The switches with PIO access take an edit of their input levels and keep what the master wrote:
// switched outputs, and the eight-channel switch's armed search, whose activity latch the edit
// sets as an edge at the pin would.
TEST(BusFile, AnEditOfPioLevelsKeepsTheSwitchedOutputs) {
  test::TempDir dir;
  const auto path = dir.path() / "bus.json";
  const auto dual = access::RomId::Make(0x3A, 1), eight = access::RomId::Make(0x29, 2),
             chain = access::RomId::Make(0x42, 3);
  auto write = [&](int level) {
    test::WriteFile(
        path,
        json{{"devices",
              {Device(dual.ToString(), {{"levels", {1, level}}}),
               Device(eight.ToString(), {{"levels", {1, 1, 1, level, 1, 1, 1, 1}}}),
               Device(chain.ToString(), {{"temperature", 20 + level}, {"levels", {1, level}}})}}}
            .dump());
  };
  write(1);
  SimulatedClock clock;
  access::OneWireAccessProvider provider;
  RegisterSimAdapter(provider, clock, nullptr);
  auto adapter = provider.openAdapter("SIM", path.string());
  std::vector<std::unique_ptr<access::OneWireContainer>> switches;
  for (const auto& rom : {dual, eight, chain}) {
    switches.push_back(access::CreateContainer(rom.family()));
    switches.back()->SetupContainer(adapter.get(), rom.ToString());
    access::DeviceState state = switches.back()->readDevice();
    switches.back()->setLatchState(0, true, false, state);
    if (rom == eight) {
      switches.back()->clearActivity();
      switches.back()->setSearchConditions(0xFF, access::SOURCE_ACTIVITY_LATCH,
                                           access::POLARITY_ONE, state);
    }
    switches.back()->writeDevice(state);
  }

  write(0);
  clock.Advance(std::chrono::seconds(1));
  for (const auto& c : switches) {
    SCOPED_TRACE(c->getAddressAsString());
    const access::DeviceState state = c->readDevice();
    EXPECT_TRUE(c->getLatchState(0, state)) << "the output switched on before the edit";
    EXPECT_FALSE(c->getLevel(0, state)) << "its transistor still conducts";
    const int edited = c->getAddress() == eight ? 3 : 1;
    EXPECT_FALSE(c->getLevel(edited, state)) << "the edited level";
    if (c->getAddress() == eight) {
      EXPECT_TRUE(c->getSensedActivity(3, state));
      EXPECT_FALSE(c->getSensedActivity(4, state));
      EXPECT_EQ(state[3], 0xFF) << "the search registers as the master wrote them";
    }
  }
  EXPECT_TRUE(adapter->isPresent(chain));
}

// Every fault rate and a counter's power losses take effect when the file is edited, not only
// after a restart.
TEST(BusFile, AnEditOfFaultsAndPowerLossesReachesTheRunningBus) {
  test::TempDir dir;
  const auto path = dir.path() / "bus.json";
  const auto thermo = access::RomId::Make(0x28, 7);
  const auto counter = access::RomId::Make(0x1D, 8);
  auto write = [&](json faults, double power_lost_every_s) {
    json k = {{"counters", {1000, 0, 0, 0}}};
    if (power_lost_every_s > 0) k["power_lost_every_s"] = power_lost_every_s;
    json devices = {Device(thermo.ToString(), {{"temperature", 20.0}, {"faults", faults}}),
                    Device(counter.ToString(), k)};
    test::WriteFile(path, json{{"devices", devices}}.dump());
  };
  write(json::object(), 0);
  SimulatedClock clock;
  access::OneWireAccessProvider provider;
  RegisterSimAdapter(provider, clock, [](const std::string&) {});
  auto adapter = provider.openAdapter("SIM", path.string());
  auto t = access::CreateContainer(0x28);
  t->SetupContainer(adapter.get(), thermo.ToString());
  auto k = access::CreateContainer(0x1D);
  k->SetupContainer(adapter.get(), counter.ToString());
  auto temperature = [&] {
    access::DeviceState state = t->readDevice();
    t->doTemperatureConvert(state);
    return t->getTemperature(state);
  };
  EXPECT_DOUBLE_EQ(temperature(), 20.0);
  EXPECT_EQ(k->readCounter(12), 1000);

  write({{"power_on_rate", 1}}, 10);
  clock.Advance(std::chrono::seconds(10));
  EXPECT_DOUBLE_EQ(temperature(), 85.0) << "every conversion lost";
  EXPECT_EQ(k->readCounter(12), 0) << "the chip lost power and counts from 0 again";

  write({{"zeros_rate", 1}}, 10);
  clock.Advance(std::chrono::seconds(1));
  EXPECT_THROW(t->readDevice(), access::AccessError) << "every block reads as zeros";
}

TEST(ValueSources, GeneratorsFollowTheirDefinition) {
  auto sine =
      ParseValueSource({{"type", "sine"}, {"mean", 10}, {"amplitude", 2}, {"period_s", 40}}, "x");
  EXPECT_NEAR(sine->At(0), 10, 1e-9);
  EXPECT_NEAR(sine->At(10), 12, 1e-9);
  EXPECT_NEAR(sine->At(30), 8, 1e-9);
  auto steps =
      ParseValueSource({{"type", "steps"}, {"steps", {{0, 1}, {5, 2}}}, {"repeat_s", 10}}, "x");
  EXPECT_EQ(steps->At(4.9), 1);
  EXPECT_EQ(steps->At(5), 2);
  EXPECT_EQ(steps->At(11), 1);
  const json walk = {{"type", "walk"}, {"start", 5}, {"step", 1}, {"interval_s", 1},
                     {"min", 0},       {"max", 6},   {"seed", 3}};
  auto a = ParseValueSource(walk, "x"), b = ParseValueSource(walk, "x");
  for (double t : {100.0, 3.0, 250.0}) {
    EXPECT_EQ(a->At(t), b->At(t)) << t;  // the same seed walks the same way, even back in time
    EXPECT_GE(a->At(t), 0);
    EXPECT_LE(a->At(t), 6);
  }
  a->Set(4.25);
  EXPECT_EQ(a->At(1000), 4.25);
  EXPECT_THROW(ParseValueSource("warm", "x"), std::invalid_argument);
  EXPECT_THROW(
      ParseValueSource({{"type", "sine"}, {"mean", 1}, {"amplitude", 1}, {"period_s", 0}}, "x"),
      std::invalid_argument);
}

}  // namespace
}  // namespace qb::sim
