// The switch families with PIO access and the chain thermometer on the whole plug-in: their
// channels, readings and switch commands, and the chain order on the device list.
#include <gmock/gmock.h>

#include "onewire/chain_order.h"
#include "onewire/device_config.h"
#include "onewire/network_fixture.h"
#include "sim/ds2408.h"
#include "sim/ds2413.h"
#include "sim/ds28ea00.h"
#include "web/device_list.h"

namespace qb::test {
namespace {

using nlohmann::json;

const std::string k2413 = Rom(0x3A, 0x21), k2408 = Rom(0x29, 0x22);
// Three chain thermometers whose order along the cable is the reverse of their ROM ids'.
const std::string kFirst = Rom(0x42, 0x33), kSecond = Rom(0x42, 0x32), kThird = Rom(0x42, 0x31);

class PioFamiliesTest : public NetworkTest {
 protected:
  std::shared_ptr<DSDevice> Channel(const std::string& key) {
    auto d = gROMs().FindDev(key);
    EXPECT_NE(d, nullptr) << key;
    return d ? d : std::make_shared<DSDevice>();
  }
  template <typename Model>
  Model* Find(const std::string& rom) {
    return bus->FindAs<Model>(*access::RomId::Parse(rom));
  }
};

TEST_F(PioFamiliesTest, ChannelsReadingsAndSwitchCommands) {
  Start(json::array({{{"rom", k2413}, {"latches", {true, false}}, {"levels", {1, 0}}},
                     {{"rom", k2408}, {"levels", {1, 1, 1, 1, 1, 0, 1, 1}}},
                     {{"rom", kFirst}, {"temperature", 21.5}, {"levels", {1, 1}}}}));
  Poll(15s);
  EXPECT_EQ(Channel(k2413 + "S0")->HSString, "On");
  EXPECT_EQ(Channel(k2413 + "P0")->HSString, "Off") << "a conducting output reads low";
  EXPECT_EQ(Channel(k2413 + "P1")->HSString, "Off");
  for (int ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(Channel(k2408 + "S" + std::to_string(ch))->HSString, "Off");
    EXPECT_EQ(Channel(k2408 + "P" + std::to_string(ch))->HSString, ch == 5 ? "Off" : "On");
  }
  // The thermometer with PIO lines gets both its temperature and its switches.
  EXPECT_THAT(Channel(kFirst + "M")->HSString, ::testing::StartsWith("21.5"));
  EXPECT_EQ(Channel(kFirst + "P1")->HSString, "On");

  SetSwitch(*Channel(k2413 + "S1"), true);
  SetSwitch(*Channel(k2408 + "S6"), true);
  SetSwitch(*Channel(kFirst + "S0"), true);
  EXPECT_TRUE(Find<sim::DS2413Model>(k2413)->pio().Conducting(1));
  EXPECT_TRUE(Find<sim::DS2408Model>(k2408)->Conducting(6));
  EXPECT_TRUE(Find<sim::DS28EA00Model>(kFirst)->pio().Conducting(0));
  EXPECT_EQ(Channel(k2408 + "S6")->HSString, "On");

  // A write the device never confirms is logged as an error and not shown as switched.
  Find<sim::DS2413Model>(k2413)->FailConfirmations(100);
  SetSwitch(*Channel(k2413 + "S1"), false);
  EXPECT_TRUE(Find<sim::DS2413Model>(k2413)->pio().Conducting(1));
  EXPECT_EQ(Channel(k2413 + "S1")->HSString, "On");
}

// Between two scans of the whole bus, the alarm search finds the eight-channel switch by its
// activity latches, as it finds the DS2406: a changed input shows within a second, and the
// latches are cleared once read so the switch does not answer every search after.
TEST_F(PioFamiliesTest, AnInputChangeOfTheEightChannelSwitchIsFoundBetweenScans) {
  store.Set("Settings", "Alarming", "1");
  store.Set("Settings", "PollCycle", "30");  // the next whole scan is half a minute away
  Start(json::array({{{"rom", k2408}, {"levels", {1, 1, 1, 1, 1, 1, 1, 1}}}, {{"rom", k2413}}}));
  Poll(5s);
  auto* model = Find<sim::DS2408Model>(k2408);
  EXPECT_EQ(model->Register(0x8B), 0xFF) << "every channel watched";
  EXPECT_EQ(model->Register(0x8D) & 0x09, 0x01) << "on the activity latches; power-on flag cleared";
  ASSERT_EQ(Channel(k2408 + "P3")->HSString, "On");

  model->OutsideLevel(3).Set(0);
  Poll(1s);
  EXPECT_EQ(Channel(k2408 + "P3")->HSString, "Off");
  EXPECT_FALSE(model->Activity(3));
  model->OutsideLevel(3).Set(1);
  Poll(1s);
  EXPECT_EQ(Channel(k2408 + "P3")->HSString, "On");
  for (const auto& [category, text] : host->log)
    EXPECT_EQ(category.find("ERROR"), std::string::npos) << category << ": " << text;
}

TEST_F(PioFamiliesTest, TheChainScanOrdersTheDeviceList) {
  store.Set("Settings", kChainOrderKey, "1");
  Start(json::array({{{"rom", kFirst}, {"temperature", 20}},
                     {{"rom", k2413}},
                     {{"rom", kSecond}, {"temperature", 21}},
                     {{"rom", kThird}, {"temperature", 22}}}));
  Poll(15s);
  EXPECT_EQ(gROMs().Find(kFirst)->ChainPosition, 1);
  EXPECT_EQ(gROMs().Find(kSecond)->ChainPosition, 2);
  EXPECT_EQ(gROMs().Find(kThird)->ChainPosition, 3);
  const std::string list = DeviceListPage();
  const size_t first = list.find(kFirst), second = list.find(kSecond), third = list.find(kThird);
  ASSERT_NE(third, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  for (const auto* rom : {&kFirst, &kSecond, &kThird}) {
    EXPECT_EQ(Find<sim::DS28EA00Model>(*rom)->chain(), sim::DS28EA00Model::Chain::Off);
  }

  store.Set("Settings", kChainOrderKey, "0");
  Poll(10s);
  EXPECT_EQ(gROMs().Find(kSecond)->ChainPosition, 0) << "the setting turned off";
}

}  // namespace
}  // namespace qb::test
