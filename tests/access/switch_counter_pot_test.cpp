#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "access/adapter.h"
#include "access/crc.h"
#include "access/ds2405.h"
#include "access/ds2406.h"
#include "access/ds2409.h"
#include "access/ds2423.h"
#include "access/ds2890.h"
#include "access/families.h"
#include "sim/ds2405.h"
#include "sim/ds2406.h"
#include "sim/ds2409.h"
#include "sim/ds2423.h"
#include "sim/ds2890.h"
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
  std::unique_ptr<Container> Open(std::unique_ptr<access::OneWireContainer> (*make)(),
                                  const RomId& rom) {
    auto c = make();
    c->SetupContainer(&adapter, rom.ToString());
    return std::unique_ptr<Container>(dynamic_cast<Container*>(c.release()));
  }
  // Whether the alarm (conditional) search finds exactly this device.
  bool AlarmFinds(const RomId& rom) {
    adapter.setSearchOnlyAlarmingDevices();
    bool found = false;
    for (bool more = adapter.findFirstDevice(); more; more = adapter.findNextDevice()) {
      found |= adapter.getAddress() == rom;
    }
    adapter.setSearchAllDevices();
    return found;
  }
};

// --- Datasheet encodings decoded from raw bytes -------------------------------------------

TEST(SwitchEncodings, DS2406ChannelInfoAndStatusBytes) {
  auto c = access::MakeDS2406Container();
  // Channel-info byte 0110 0110b: two channels, PIO-B activity latch set, PIO-A sensed high,
  // PIO-B flip-flop 1 (off), PIO-A flip-flop 0 (transistor on); no Vcc.
  DeviceState s = {0x66, 0x5F};
  EXPECT_EQ(c->getNumberChannels(s), 2);
  EXPECT_TRUE(c->getLatchState(0, s));
  EXPECT_FALSE(c->getLatchState(1, s));
  EXPECT_TRUE(c->getLevel(0, s));
  EXPECT_FALSE(c->getLevel(1, s));
  EXPECT_FALSE(c->getSensedActivity(0, s));
  EXPECT_TRUE(c->getSensedActivity(1, s));
  EXPECT_EQ(c->getNumberChannels(DeviceState{0x3F, 0x7F}), 1);  // bit 6 clear: channel A only
  EXPECT_THROW(c->getLevel(1, DeviceState{0x3F, 0x7F}), access::AccessError);

  // Conditional-search codes CSS4..CSS0 from the datasheet's table.
  c->setSearchConditions(access::CHANNEL_B, access::SOURCE_PIO, access::POLARITY_ZERO, s);
  EXPECT_EQ(s[1] & 0x1F, 0b10110);  // PIO low, channel B
  c->setSearchConditions(access::CHANNEL_A, access::SOURCE_FLIP_FLOP, access::POLARITY_ONE, s);
  EXPECT_EQ(s[1] & 0x1F, 0b01101);  // flip-flop 1 (transistor off), channel A
  c->setSearchConditions(access::CHANNEL_BOTH, access::SOURCE_ACTIVITY_LATCH, access::POLARITY_ONE,
                         s);
  EXPECT_EQ(s[1] & 0x1F, 0b11011);  // activity latch 1, A or B
  EXPECT_EQ(s[1] & 0xE0, 0x40);     // the flip-flop bits are left alone
  // Turning channel B on clears its flip-flop in both bytes.
  c->setLatchState(1, true, false, s);
  EXPECT_EQ(s[0] & 0x02, 0);
  EXPECT_EQ(s[1] & 0x40, 0);
  EXPECT_THROW(c->setSearchConditions(0, access::SOURCE_PIO, 0, s), access::AccessError);
  EXPECT_THROW(c->setSearchConditions(access::CHANNEL_A, 7, 0, s), access::AccessError);
  EXPECT_THROW(c->getLevel(0, DeviceState{0x66}), access::AccessError);  // a short state
}

TEST(SwitchEncodings, DS2409StatusInfoAndDS2890Registers) {
  auto coupler = access::MakeDS2409Container();
  // 0001 1110b: main connected (bit 0 clear) and high, auxiliary off and high, main event.
  const DeviceState s = {0x1E, 0x00};
  EXPECT_EQ(coupler->getNumberChannels(s), 2);
  EXPECT_TRUE(coupler->getLatchState(0, s));
  EXPECT_FALSE(coupler->getLatchState(1, s));
  EXPECT_TRUE(coupler->getSensedActivity(0, s));
  EXPECT_FALSE(coupler->getSensedActivity(1, s));
  EXPECT_TRUE(coupler->getLevel(1, s));

  auto pot = access::MakeDS2890Container();
  // The DS2890's feature register F3h: linear, volatile, one potentiometer, 256 positions,
  // 100 kOhm. 4Ch in the control register: charge pump on, wiper 1.
  const DeviceState p = {0xF3, 0x4C};
  EXPECT_TRUE(pot->isLinear(p));
  EXPECT_TRUE(pot->wiperSettingsAreVolatile(p));
  EXPECT_EQ(pot->numberOfWiperSettings(p), 256);
  EXPECT_DOUBLE_EQ(pot->potentiometerResistance(p), 100.0);
  EXPECT_TRUE(pot->isChargePumpOn(p));
  // 01 00 00 00b: logarithmic, non-volatile, 32 positions, 10 kOhm; charge pump off.
  const DeviceState q = {0x40, 0x0C};
  EXPECT_FALSE(pot->isLinear(q));
  EXPECT_FALSE(pot->wiperSettingsAreVolatile(q));
  EXPECT_EQ(pot->numberOfWiperSettings(q), 32);
  EXPECT_DOUBLE_EQ(pot->potentiometerResistance(q), 10.0);
  EXPECT_FALSE(pot->isChargePumpOn(q));
}

// --- DS2405 ---------------------------------------------------------------------------------

TEST(DS2405, MatchToggleSearchLevelAndActiveOnlySearch) {
  Bench b;
  const RomId rom = RomId::Make(0x05, 0x2405);
  auto* model = b.Add<sim::DS2405Model>(sim::MakeDS2405Model, rom, json{{"levels", {true}}});
  auto c = b.Open<access::DS2405Container>(access::MakeDS2405Container, rom);

  DeviceState s = c->readDevice();
  EXPECT_FALSE(c->getLatchState(0, s));
  EXPECT_TRUE(c->getLevel(0, s));
  EXPECT_FALSE(b.AlarmFinds(rom));
  EXPECT_FALSE(model->Conducting()) << "reading must not toggle the output";

  // Raw: a Match ROM alone toggles the output, and read slots after it report the pin.
  ASSERT_TRUE(b.adapter.select(rom));
  EXPECT_FALSE(b.adapter.Master().TouchBit(true));  // on: the pin reads low
  EXPECT_TRUE(model->Conducting());
  ASSERT_TRUE(b.adapter.select(rom));
  EXPECT_TRUE(b.adapter.Master().TouchBit(true));
  EXPECT_FALSE(model->Conducting());

  c->setLatchState(0, true, false, s);
  c->writeDevice(s);
  EXPECT_TRUE(model->Conducting());
  c->writeDevice(s);  // already on: no toggle
  EXPECT_TRUE(model->Conducting());
  s = c->readDevice();
  EXPECT_TRUE(c->getLatchState(0, s));
  EXPECT_FALSE(c->getLevel(0, s)) << "a conducting output reads low";
  EXPECT_TRUE(b.AlarmFinds(rom));

  c->setLatchState(0, false, true, s);
  c->writeDevice(s);
  EXPECT_FALSE(model->Conducting());
  model->OutsideLevel().Set(0);
  EXPECT_FALSE(c->getLevel(0, c->readDevice()));
  EXPECT_THROW(c->getLatchState(1, s), access::AccessError);
  EXPECT_THROW(c->getSensedActivity(0, s), access::AccessError);  // no activity sensing
}

// --- DS2406 ---------------------------------------------------------------------------------

TEST(DS2406, StatusMemoryLatchesAndLevelsFromTheBusFile) {
  Bench b;
  const RomId rom = RomId::Make(0x12, 0x2406);
  auto* model = b.Add<sim::DS2406Model>(sim::MakeDS2406Model, rom,
                                        json{{"latches", {false, true}}, {"levels", {true, true}}});
  auto c = b.Open<access::DS2406Container>(access::MakeDS2406Container, rom);

  // Factory status memory: EPROM bytes erased, 5 and 6 zero, byte 7 with all CSS bits set,
  // PIO-A off and PIO-B on as the bus file says, no Vcc.
  EXPECT_EQ(c->ReadStatus(0),
            (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x3F}));
  DeviceState s = c->readDevice();
  EXPECT_EQ(c->getNumberChannels(s), 2);
  EXPECT_FALSE(c->getLatchState(0, s));
  EXPECT_TRUE(c->getLatchState(1, s));
  EXPECT_TRUE(c->getLevel(0, s));
  EXPECT_FALSE(c->getLevel(1, s)) << "a conducting output reads low";

  c->setLatchState(0, true, false, s);
  c->setLatchState(1, false, false, s);
  c->writeDevice(s);
  EXPECT_TRUE(model->Conducting(0));
  EXPECT_FALSE(model->Conducting(1));
  s = c->readDevice();
  EXPECT_TRUE(c->getLatchState(0, s));
  EXPECT_FALSE(c->getLevel(0, s));
  EXPECT_TRUE(c->getLevel(1, s));
  // Each switch made an edge at its pin: both activity latches are set until cleared.
  EXPECT_TRUE(c->getSensedActivity(0, s));
  EXPECT_TRUE(c->getSensedActivity(1, s));
  c->clearActivity();
  s = c->readDevice();
  EXPECT_FALSE(c->getSensedActivity(0, s));
  EXPECT_FALSE(c->getSensedActivity(1, s));
  model->OutsideLevel(1).Set(0);
  s = c->readDevice();
  EXPECT_FALSE(c->getLevel(1, s));
  EXPECT_TRUE(c->getSensedActivity(1, s));
  EXPECT_FALSE(c->getSensedActivity(0, s));
}

TEST(DS2406, ChannelAccessCrcCoversCommandControlInfoAndData) {
  Bench b;
  const RomId rom = RomId::Make(0x12, 0x77);
  b.Add<sim::DS2406Model>(sim::MakeDS2406Model, rom,
                          json{{"levels", {true}}});  // TO-92: channel A only
  ASSERT_TRUE(b.adapter.select(rom));
  // Read channel A, CRC16 after every 8 bytes: eight bytes of samples, then the CRC.
  uint8_t buf[3 + 1 + 8 + 2] = {0xF5, 0x40 | 0x04 | 0x02, 0xFF};
  for (size_t i = 3; i < sizeof buf; ++i) buf[i] = 0xFF;
  b.adapter.Master().Block(buf, sizeof buf);
  EXPECT_EQ(buf[3] & 0x40, 0) << "one channel";
  EXPECT_EQ(buf[3] & 0x05, 0x05) << "PIO-A off and sensed high";
  for (size_t i = 4; i < 12; ++i) EXPECT_EQ(buf[i], 0xFF) << "eight samples of a high pin";
  EXPECT_TRUE(access::Crc16Matches(buf, 12, 0, buf[12], buf[13]));
}

TEST(DS2406, ConditionalSearchFollowsTheStatusByte) {
  Bench b;
  const RomId rom = RomId::Make(0x12, 0x99);
  auto* model = b.Add<sim::DS2406Model>(sim::MakeDS2406Model, rom);
  auto c = b.Open<access::DS2406Container>(access::MakeDS2406Container, rom);
  EXPECT_TRUE(b.AlarmFinds(rom)) << "power-on selection: PIO high on A or B";

  DeviceState s = c->readDevice();
  c->setSearchConditions(access::CHANNEL_A, access::SOURCE_PIO, access::POLARITY_ZERO, s);
  c->writeDevice(s);
  EXPECT_EQ(model->Status(7) & 0x1F, 0b01110);
  EXPECT_FALSE(b.AlarmFinds(rom));
  model->OutsideLevel(0).Set(0);
  EXPECT_TRUE(b.AlarmFinds(rom));
  model->OutsideLevel(0).Set(1);

  c->setSearchConditions(access::CHANNEL_B, access::SOURCE_FLIP_FLOP, access::POLARITY_ZERO, s);
  c->writeDevice(s);
  EXPECT_FALSE(b.AlarmFinds(rom));
  c->setLatchState(1, true, false, s);  // flip-flop 0: transistor on
  c->writeDevice(s);
  EXPECT_TRUE(b.AlarmFinds(rom));

  c->setSearchConditions(access::CHANNEL_BOTH, access::SOURCE_ACTIVITY_LATCH, access::POLARITY_ONE,
                         s);
  c->writeDevice(s);
  c->clearActivity();
  EXPECT_FALSE(b.AlarmFinds(rom));
  model->OutsideLevel(0).Set(0);
  EXPECT_TRUE(b.AlarmFinds(rom));
}

// --- DS2409 ---------------------------------------------------------------------------------

TEST(DS2409, BranchesEventsAndControlOutput) {
  Bench b;
  const RomId rom = RomId::Make(0x1F, 0x2409);
  auto* model = b.Add<sim::DS2409Model>(sim::MakeDS2409Model, rom, json{{"levels", {true, true}}});
  auto c = b.Open<access::DS2409Container>(access::MakeDS2409Container, rom);

  DeviceState s = c->readDevice();
  EXPECT_EQ(s[0], 0x0F) << "power-on: both branches off and high, no events, auto mode on main";
  c->setLatchState(0, true, false, s);
  c->writeDevice(s);
  EXPECT_TRUE(model->Connected(0));
  EXPECT_TRUE(model->ControlOn()) << "auto mode: the control output follows the main branch";
  c->setLatchState(1, true, true, s);
  c->writeDevice(s);
  EXPECT_TRUE(model->Connected(1));
  EXPECT_FALSE(model->Connected(0)) << "connecting one branch disconnects the other";
  s = c->readDevice();
  EXPECT_FALSE(c->getLatchState(0, s));
  EXPECT_TRUE(c->getLatchState(1, s));

  // A falling level on the branch that is not connected is an event.
  EXPECT_FALSE(b.AlarmFinds(rom));
  model->OutsideLevel(0).Set(0);
  s = c->readDevice();
  EXPECT_TRUE(c->getSensedActivity(0, s));
  EXPECT_FALSE(c->getLevel(0, s));
  EXPECT_TRUE(b.AlarmFinds(rom));
  c->clearActivity();
  EXPECT_FALSE(b.AlarmFinds(rom));
  EXPECT_TRUE(model->Connected(1)) << "clearing the events keeps the branch connected";

  c->setLatchState(1, false, false, s);
  s[0] |= 0xC0;  // manual mode, control transistor on
  c->writeDevice(s);
  EXPECT_FALSE(model->Connected(0));
  EXPECT_FALSE(model->Connected(1));
  EXPECT_TRUE(model->ControlOn());
  EXPECT_EQ(c->readDevice()[0] & 0xC0, 0xC0);
}

// --- DS2423 ---------------------------------------------------------------------------------

TEST(DS2423, CountersAsInTheBusFileLeastSignificantByteFirst) {
  Bench b;
  const RomId rom = RomId::Make(0x1D, 0x2423);
  const json falls = {{"type", "steps"}, {"steps", {{0, 100}, {10, 50}, {20, 150}}}};
  b.Add<sim::DS2423Model>(sim::MakeDS2423Model, rom,
                          json{{"counters", {7, 0x01020304, 4294967295.0, falls}}});
  auto c = b.Open<access::DS2423Container>(access::MakeDS2423Container, rom);
  EXPECT_EQ(c->readCounter(12), 7);
  EXPECT_EQ(c->readCounter(13), 0x01020304);
  EXPECT_EQ(c->readCounter(14), 4294967295);
  EXPECT_EQ(c->readCounter(15), 100);
  b.clock.Advance(std::chrono::seconds(11));
  EXPECT_EQ(c->readCounter(15), 100) << "a counter never runs backwards";
  b.clock.Advance(std::chrono::seconds(10));
  EXPECT_EQ(c->readCounter(15), 150);
  EXPECT_THROW(c->readCounter(11), access::AccessError);
  EXPECT_THROW(c->readCounter(16), access::AccessError);

  // Raw Read Memory + Counter from the last byte of page 13: data, counter LSB first, zeros,
  // CRC16 of all that with the command and address.
  ASSERT_TRUE(b.adapter.select(rom));
  uint8_t buf[3 + 1 + 4 + 4 + 2] = {0xA5, 0xBF, 0x01};
  for (size_t i = 3; i < sizeof buf; ++i) buf[i] = 0xFF;
  b.adapter.Master().Block(buf, sizeof buf);
  EXPECT_EQ(buf[4], 0x04);
  EXPECT_EQ(buf[5], 0x03);
  EXPECT_EQ(buf[6], 0x02);
  EXPECT_EQ(buf[7], 0x01);
  for (size_t i = 8; i < 12; ++i) EXPECT_EQ(buf[i], 0x00);
  EXPECT_TRUE(access::Crc16Matches(buf, 12, 0, buf[12], buf[13]));
}

TEST(DS2423, ScratchpadCopyAndWriteCycleCounter) {
  Bench b;
  const RomId rom = RomId::Make(0x1D, 0x55);
  auto* model = b.Add<sim::DS2423Model>(sim::MakeDS2423Model, rom);
  auto c = b.Open<access::DS2423Container>(access::MakeDS2423Container, rom);
  std::vector<uint8_t> page(32);
  for (size_t i = 0; i < 32; ++i) page[i] = static_cast<uint8_t>(0x30 + i);
  c->WritePage(3, page);
  EXPECT_EQ(c->ReadPage(3), page);
  EXPECT_EQ(model->Memory()[3 * 32 + 31], 0x4F);

  EXPECT_EQ(c->readCounter(12), 0);
  c->WritePage(12, {1, 2, 3});
  c->WritePage(12, {4});
  EXPECT_EQ(c->readCounter(12), 2) << "page 12 counts its write cycles";
  EXPECT_EQ(c->readCounter(14), 0) << "the external counters do not";
  EXPECT_EQ(c->ReadPage(12)[0], 4);
  EXPECT_EQ(c->ReadPage(12)[1], 2);

  // A copy with the wrong authorization changes nothing.
  ASSERT_TRUE(b.adapter.select(rom));
  uint8_t wrong[5] = {0x5A, 0x80, 0x01, 0x1F, 0xFF};
  b.adapter.Master().Block(wrong, sizeof wrong);
  EXPECT_EQ(wrong[4], 0xFF);
  EXPECT_EQ(c->readCounter(12), 2);
}

// --- DS2890 ---------------------------------------------------------------------------------

TEST(DS2890, WiperWriteReadStepsAndControlRegister) {
  Bench b;
  const RomId rom = RomId::Make(0x2C, 0x2890);
  auto* model = b.Add<sim::DS2890Model>(sim::MakeDS2890Model, rom, json{{"wiper", 128}});
  auto c = b.Open<access::DS2890Container>(access::MakeDS2890Container, rom);

  DeviceState s = c->readDevice();
  EXPECT_EQ(s, (DeviceState{0xF3, 0x0C})) << "feature register and power-on control register";
  EXPECT_EQ(c->getWiperPosition(), 128);
  EXPECT_TRUE(b.AlarmFinds(rom)) << "still at its power-on position";
  EXPECT_TRUE(c->setWiperPosition(254));
  EXPECT_EQ(model->Wiper(), 254);
  EXPECT_EQ(c->getWiperPosition(), 254);
  EXPECT_FALSE(b.AlarmFinds(rom));
  EXPECT_EQ(c->increment(), 255);
  EXPECT_EQ(c->increment(), 255) << "at the end the wiper stays";
  EXPECT_TRUE(c->setWiperPosition(0));
  EXPECT_EQ(c->decrement(), 0);
  EXPECT_EQ(c->increment(), 1);
  EXPECT_FALSE(c->setWiperPosition(256));
  EXPECT_FALSE(c->setWiperPosition(-1));
  EXPECT_EQ(model->Wiper(), 1);

  // Raw: without the release code the position is not taken over.
  ASSERT_TRUE(b.adapter.select(rom));
  uint8_t buf[4] = {0x0F, 0x40, 0xFF, 0x00};
  b.adapter.Master().Block(buf, sizeof buf);
  EXPECT_EQ(buf[2], 0x40) << "the echo";
  EXPECT_EQ(b.adapter.Master().TouchByte(0xFF), 0xFF);
  EXPECT_EQ(model->Wiper(), 1);

  c->setChargePump(true, s);
  c->writeDevice(s);
  EXPECT_EQ(model->Control(), 0x4C);
  EXPECT_TRUE(c->isChargePumpOn(c->readDevice()));
  s[1] = 0x0D;  // not a control value the part takes
  EXPECT_THROW(c->writeDevice(s), access::AccessError);
  EXPECT_EQ(model->Control(), 0x4C);
}

// --- Faults and bus-file values ------------------------------------------------------------

TEST(SwitchCounterPot, CorruptedAnswersNeverGiveWrongValues) {
  Bench b;
  const RomId r2406 = RomId::Make(0x12, 1), r2409 = RomId::Make(0x1F, 2),
              r2423 = RomId::Make(0x1D, 3), r2890 = RomId::Make(0x2C, 4);
  b.Add<sim::DS2406Model>(sim::MakeDS2406Model, r2406, json{{"latches", {true, false}}})
      ->faults()
      .crc_error_rate = 0.3;
  b.Add<sim::DS2409Model>(sim::MakeDS2409Model, r2409, json{{"levels", {false, true}}})
      ->faults()
      .crc_error_rate = 0.3;
  b.Add<sim::DS2423Model>(sim::MakeDS2423Model, r2423, json{{"counters", {0, 0, 123456789, 42}}})
      ->faults()
      .crc_error_rate = 0.3;
  b.Add<sim::DS2890Model>(sim::MakeDS2890Model, r2890, json{{"wiper", 77}})
      ->faults()
      .crc_error_rate = 0.3;
  auto c2406 = b.Open<access::DS2406Container>(access::MakeDS2406Container, r2406);
  auto c2409 = b.Open<access::DS2409Container>(access::MakeDS2409Container, r2409);
  auto c2423 = b.Open<access::DS2423Container>(access::MakeDS2423Container, r2423);
  auto c2890 = b.Open<access::DS2890Container>(access::MakeDS2890Container, r2890);

  int good = 0, raised = 0;
  auto attempt = [&](const std::function<void()>& read) {
    try {
      read();
      ++good;
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), access::ErrorCode::GeneralFailure);
      ++raised;
    }
  };
  for (int i = 0; i < 150; ++i) {
    attempt([&] {
      const DeviceState s = c2406->readDevice();
      ASSERT_EQ(s[0], 0x4A);  // A on (low), B off and high, two channels
      ASSERT_EQ(s[1], 0x5F);
    });
    attempt([&] { ASSERT_EQ(c2409->readDevice()[0], 0x0D); });
    attempt([&] { ASSERT_EQ(c2423->readCounter(14), 123456789); });
    attempt([&] { ASSERT_EQ(c2423->readCounter(15), 42); });
    attempt([&] { ASSERT_EQ(c2890->getWiperPosition(), 77); });
    attempt([&] { ASSERT_EQ(c2890->readDevice(), (DeviceState{0xF3, 0x0C})); });
  }
  EXPECT_GT(good, 150 * 6 * 8 / 10);
  RecordProperty("raised", raised);
}

TEST(SwitchCounterPot, BusFileValuesAreChecked) {
  const RomId rom = RomId::Make(0x12, 5);
  auto fails = [&](sim::ModelMaker make, const RomId& r, const json& d, const std::string& key) {
    try {
      make(r, d);
      ADD_FAILURE() << "accepted " << d.dump();
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(r.ToString()), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
    }
  };
  fails(sim::MakeDS2406Model, rom, json{{"latches", true}}, "latches");
  fails(sim::MakeDS2406Model, rom, json{{"levels", {true, false, true}}}, "levels");
  fails(sim::MakeDS2406Model, rom, json{{"levels", {"high"}}}, "levels");
  fails(sim::MakeDS2405Model, RomId::Make(0x05, 5), json{{"latches", {true, true}}}, "latches");
  fails(sim::MakeDS2409Model, RomId::Make(0x1F, 5), json{{"latches", {true, true}}}, "latches");
  fails(sim::MakeDS2423Model, RomId::Make(0x1D, 5), json{{"counters", {1, 2, 3, 4, 5}}},
        "counters");
  fails(sim::MakeDS2423Model, RomId::Make(0x1D, 5), json{{"counters", {-1}}}, "counters");
  fails(sim::MakeDS2890Model, RomId::Make(0x2C, 5), json{{"wiper", 256}}, "wiper");
  fails(sim::MakeDS2890Model, RomId::Make(0x2C, 5), json{{"wiper", 1.5}}, "wiper");
  // A generator is a valid level.
  EXPECT_NO_THROW(sim::MakeDS2406Model(
      rom, json{{"levels",
                 {json{{"type", "sine"}, {"mean", 0.5}, {"amplitude", 1}, {"period_s", 60}}}}}));
}

}  // namespace
}  // namespace qb
