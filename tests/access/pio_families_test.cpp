#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "access/adapter.h"
#include "access/ds2408.h"
#include "access/ds2413.h"
#include "access/ds28ea00.h"
#include "access/families.h"
#include "sim/ds2408.h"
#include "sim/ds2413.h"
#include "sim/ds28ea00.h"
#include "sim/generic_model.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::DeviceState;
using access::RomId;
using nlohmann::json;

struct Bench {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  access::DSPortAdapter adapter{"SIM", "test",
                                std::make_unique<sim::SimBusMaster>(bus, "test bus")};

  template <typename Model>
  Model* Add(sim::ModelMaker make, const RomId& rom, const json& device = json::object()) {
    return dynamic_cast<Model*>(&bus->Add(make(rom, device)));
  }
  template <typename Container>
  std::unique_ptr<Container> Open(const RomId& rom) {
    auto c = access::CreateContainer(rom.family());
    c->SetupContainer(&adapter, rom.ToString());
    return std::unique_ptr<Container>(dynamic_cast<Container*>(c.release()));
  }
  bool AlarmFinds(const RomId& rom) {
    adapter.setSearchOnlyAlarmingDevices();
    bool found = false;
    for (bool more = adapter.findFirstDevice(); more; more = adapter.findNextDevice())
      found |= adapter.getAddress() == rom;
    adapter.setSearchAllDevices();
    return found;
  }
};

// --- DS2413 ----------------------------------------------------------------------------------

TEST(DS2413, LatchesAndLevelsThroughPioAccess) {
  Bench b;
  const RomId rom = RomId::Make(0x3A, 0x2413);
  auto* model = b.Add<sim::DS2413Model>(sim::MakeDS2413Model, rom,
                                        json{{"latches", {true, false}}, {"levels", {1, 0}}});
  auto c = b.Open<access::DS2413Container>(rom);
  ASSERT_NE(c, nullptr) << "the factory makes the family's own container";
  DeviceState s = c->readDevice();
  ASSERT_EQ(c->getNumberChannels(s), 2);
  EXPECT_TRUE(c->getLatchState(0, s));
  EXPECT_FALSE(c->getLevel(0, s)) << "a conducting output reads low";
  EXPECT_FALSE(c->getLatchState(1, s));
  EXPECT_FALSE(c->getLevel(1, s)) << "held low outside";

  c->setLatchState(0, false, false, s);
  c->setLatchState(1, true, false, s);
  c->writeDevice(s);
  EXPECT_FALSE(model->pio().Conducting(0));
  EXPECT_TRUE(model->pio().Conducting(1));
  s = c->readDevice();
  EXPECT_TRUE(c->getLevel(0, s)) << "released: the pull-up outside";
  EXPECT_TRUE(c->getLatchState(1, s));
  EXPECT_THROW(c->getLevel(2, s), access::AccessError);
  EXPECT_THROW(c->getLevel(0, DeviceState{}), access::AccessError);
}

TEST(DS2413, AWrongConfirmationIsRetriedAndThenAnError) {
  Bench b;
  const RomId rom = RomId::Make(0x3A, 0x99);
  auto* model = b.Add<sim::DS2413Model>(sim::MakeDS2413Model, rom);
  auto c = b.Open<access::DS2413Container>(rom);
  DeviceState s = c->readDevice();
  c->setLatchState(0, true, false, s);

  model->FailConfirmations(1);  // one garbled reply: the retry switches
  c->writeDevice(s);
  EXPECT_TRUE(model->pio().Conducting(0));

  c->setLatchState(1, true, false, s);
  model->FailConfirmations(10);  // never confirmed: an error, and nothing switched
  EXPECT_THROW(c->writeDevice(s), access::AccessError);
  EXPECT_FALSE(model->pio().Conducting(1));
}

// --- DS2408 ----------------------------------------------------------------------------------

TEST(DS2408, EightLatchesLevelsAndActivity) {
  Bench b;
  const RomId rom = RomId::Make(0x29, 0x2408);
  auto* model = b.Add<sim::DS2408Model>(
      sim::MakeDS2408Model, rom,
      json{{"latches", {true, false, false, false, false, false, false, true}},
           {"levels", {1, 1, 0, 1, 1, 1, 1, 1}}});
  auto c = b.Open<access::DS2408Container>(rom);
  ASSERT_NE(c, nullptr);
  DeviceState s = c->readDevice();
  ASSERT_EQ(c->getNumberChannels(s), 8);
  EXPECT_TRUE(c->getLatchState(0, s));
  EXPECT_TRUE(c->getLatchState(7, s));
  EXPECT_FALSE(c->getLatchState(3, s));
  EXPECT_FALSE(c->getLevel(0, s));
  EXPECT_TRUE(c->getLevel(1, s));
  EXPECT_FALSE(c->getLevel(2, s));
  EXPECT_TRUE(access::DS2408Container::PoweredOnSinceCleared(s)) << "PORL after power-on";

  c->setLatchState(0, false, false, s);
  c->setLatchState(5, true, false, s);
  c->writeDevice(s);
  EXPECT_FALSE(model->Conducting(0));
  EXPECT_TRUE(model->Conducting(5));
  s = c->readDevice();
  EXPECT_TRUE(c->getSensedActivity(0, s));
  EXPECT_TRUE(c->getSensedActivity(5, s));
  EXPECT_FALSE(c->getSensedActivity(1, s));

  c->clearActivity();
  model->OutsideLevel(3).Set(0);  // a door contact opens
  s = c->readDevice();
  EXPECT_FALSE(c->getLevel(3, s));
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(c->getSensedActivity(ch, s), ch == 3) << ch;
}

TEST(DS2408, AWrongConfirmationIsRetriedAndThenAnError) {
  Bench b;
  const RomId rom = RomId::Make(0x29, 0x77);
  auto* model = b.Add<sim::DS2408Model>(sim::MakeDS2408Model, rom);
  auto c = b.Open<access::DS2408Container>(rom);
  DeviceState s = c->readDevice();
  c->setLatchState(2, true, false, s);
  model->FailConfirmations(2);
  c->writeDevice(s);
  EXPECT_TRUE(model->Conducting(2));
  c->setLatchState(6, true, false, s);
  model->FailConfirmations(10);
  EXPECT_THROW(c->writeDevice(s), access::AccessError);
  EXPECT_FALSE(model->Conducting(6));
}

TEST(DS2408, ConditionalSearchOnActivityClearsThePowerOnFlagAndKeepsRstzMode) {
  Bench b;
  const RomId rom = RomId::Make(0x29, 0x55);
  auto* model = b.Add<sim::DS2408Model>(sim::MakeDS2408Model, rom);
  auto c = b.Open<access::DS2408Container>(rom);
  EXPECT_FALSE(b.AlarmFinds(rom)) << "power-on: nothing selected";

  DeviceState s = c->readDevice();
  s[5] |= 0x04;  // the board wired RSTZ as a strobe output
  c->setSearchConditions(0xFF, access::SOURCE_ACTIVITY_LATCH, access::POLARITY_ONE, s);
  c->writeDevice(s);
  EXPECT_EQ(model->Register(0x8D) & 0x0F, 0x05) << "PLS and ROS set, PORL cleared";
  EXPECT_FALSE(b.AlarmFinds(rom));
  model->OutsideLevel(4).Set(0);
  EXPECT_TRUE(b.AlarmFinds(rom)) << "an edge sets the activity latch";
  c->clearActivity();
  EXPECT_FALSE(b.AlarmFinds(rom));

  model->PowerOn();
  EXPECT_TRUE(access::DS2408Container::PoweredOnSinceCleared(c->readDevice()));
  EXPECT_THROW(c->setSearchConditions(1, access::SOURCE_FLIP_FLOP, access::POLARITY_ONE, s),
               access::AccessError);
}

// --- DS28EA00 --------------------------------------------------------------------------------

TEST(DS28EA00, TemperatureResolutionAlarmsAndPioSwitches) {
  Bench b;
  const RomId rom = RomId::Make(0x42, 0x28EA);
  auto* model = b.Add<sim::DS28EA00Model>(
      sim::MakeDS28EA00Model, rom,
      json{{"temperature", 21.5}, {"resolution", 10}, {"alarm_high", 30}, {"levels", {1, 0}}});
  auto c = b.Open<access::DS28EA00Container>(rom);
  ASSERT_NE(c, nullptr);
  DeviceState s = c->readDevice();
  ASSERT_EQ(s.size(), 10u);
  EXPECT_DOUBLE_EQ(c->getTemperatureResolution(s), 0.25);
  c->doTemperatureConvert(s);
  ASSERT_EQ(s.size(), 10u) << "the PIO byte survives the conversion";
  EXPECT_DOUBLE_EQ(c->getTemperature(s), 21.5);
  EXPECT_DOUBLE_EQ(c->getTemperatureAlarm(access::ALARM_HIGH, s), 30);
  EXPECT_TRUE(c->getLevel(0, s));
  EXPECT_FALSE(c->getLevel(1, s));

  c->setLatchState(0, true, false, s);
  c->setTemperatureAlarm(access::ALARM_LOW, -10, s);
  c->writeDevice(s);
  EXPECT_TRUE(model->pio().Conducting(0));
  s = c->readDevice();
  EXPECT_TRUE(c->getLatchState(0, s));
  EXPECT_FALSE(c->getLevel(0, s));
  EXPECT_DOUBLE_EQ(c->getTemperatureAlarm(access::ALARM_LOW, s), -10);
}

TEST(DS28EA00, ChainScanFindsTheCableOrderNotTheSearchOrder) {
  Bench b;
  // Five sensors along the cable in an order unlike that of their ROM ids, with other parts
  // between them that must not disturb the scan.
  const uint64_t serials[] = {0x500, 0x100, 0x400, 0x200, 0x300};
  std::vector<RomId> cable;
  for (uint64_t serial : serials) {
    cable.push_back(RomId::Make(0x42, serial));
    b.Add<sim::DS28EA00Model>(sim::MakeDS28EA00Model, cable.back(), json{{"temperature", 20}});
    b.Add<sim::DS2413Model>(sim::MakeDS2413Model, RomId::Make(0x3A, serial));
  }
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(access::FindChainOrder(b.adapter), cable) << "pass " << pass;
    for (const RomId& rom : cable) {
      EXPECT_EQ(b.bus->FindAs<sim::DS28EA00Model>(rom)->chain(), sim::DS28EA00Model::Chain::Off)
          << "chain mode is left";
    }
  }

  // A legacy button answers 0Fh as Read ROM: the collision is an error, not a wrong order.
  b.bus->Add(std::make_unique<sim::GenericModel>(RomId::Make(0x01, 0x1990)));
  EXPECT_THROW(access::FindChainOrder(b.adapter), access::AccessError);
  for (const RomId& rom : cable)
    EXPECT_EQ(b.bus->FindAs<sim::DS28EA00Model>(rom)->chain(), sim::DS28EA00Model::Chain::Off);
}

}  // namespace
}  // namespace qb
