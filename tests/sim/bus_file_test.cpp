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
