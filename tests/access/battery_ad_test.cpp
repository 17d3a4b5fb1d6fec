#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "access/adapter.h"
#include "access/crc.h"
#include "access/ds2438.h"
#include "access/ds2450.h"
#include "access/errors.h"
#include "access/families.h"
#include "sim/ds2438.h"
#include "sim/ds2450.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::DeviceState;
using access::RomId;

struct Bus {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  access::DSPortAdapter adapter{"SIM", "test",
                                std::make_unique<sim::SimBusMaster>(bus, "test bus")};
};

// --- DS2438 ---

const RomId kBattery = RomId::Make(0x26, 0x0000123456);

struct BatteryBus : Bus {
  sim::DS2438Model* model;
  std::unique_ptr<access::OneWireContainer> c = access::MakeDS2438Container();
  explicit BatteryBus(const nlohmann::json& values) {
    model = dynamic_cast<sim::DS2438Model*>(&bus->Add(sim::MakeDS2438Model(kBattery, values)));
    c->SetupContainer(&adapter, kBattery.ToString());
  }
};

// A state holding a raw page 0 and no voltage readings.
DeviceState Page0(uint8_t temp_lsb, uint8_t temp_msb, uint8_t cur_lsb = 0, uint8_t cur_msb = 0) {
  return {0x0F, temp_lsb, temp_msb, 0, 0, cur_lsb, cur_msb, 0, 0xFF, 0xFF, 0xFF, 0xFF};
}

TEST(DS2438, DecodesDatasheetRegisterValues) {
  auto c = access::MakeDS2438Container();
  // The datasheet's temperature table (MSB:LSB).
  EXPECT_DOUBLE_EQ(c->getTemperature(Page0(0x00, 0x7D)), 125.0);
  EXPECT_DOUBLE_EQ(c->getTemperature(Page0(0x10, 0x19)), 25.0625);
  EXPECT_DOUBLE_EQ(c->getTemperature(Page0(0x80, 0x00)), 0.5);
  EXPECT_DOUBLE_EQ(c->getTemperature(Page0(0x80, 0xFF)), -0.5);
  EXPECT_DOUBLE_EQ(c->getTemperature(Page0(0xF0, 0xE6)), -25.0625);
  EXPECT_DOUBLE_EQ(c->getTemperature(Page0(0x00, 0xC9)), -55.0);
  EXPECT_DOUBLE_EQ(c->getTemperature(Page0(0x08, 0x00)), 0.03125);  // one 13-bit step
  // The datasheet's current example: 1.25 A through 0.025 ohm reads 128; with the 0.05 ohm
  // resistor the same register is 0.625 A, 31.25 mV across the resistor.
  EXPECT_DOUBLE_EQ(c->getCurrent(Page0(0, 0, 0x80, 0x00)), 0.625);
  EXPECT_DOUBLE_EQ(c->getCurrent(Page0(0, 0, 0x80, 0x00)) * 50, 31.25);
  EXPECT_DOUBLE_EQ(c->getADVoltage(2, Page0(0, 0, 0x80, 0x00)), 0.03125);
  // Sign-extended negatives, down to the end of the range: -1024 steps, -250 mV.
  EXPECT_DOUBLE_EQ(c->getCurrent(Page0(0, 0, 0x00, 0xFC)) * 50, -250.0);
  EXPECT_DOUBLE_EQ(c->getCurrent(Page0(0, 0, 0xFF, 0xFF)) * 50, -1000.0 / 4096);
  // Voltages count 10 mV: 01F4 is 5.00 V, 03FF the top of the range.
  DeviceState s = Page0(0, 0);
  s[8] = 0xF4, s[9] = 0x01, s[10] = 0xFF, s[11] = 0x03;
  EXPECT_NEAR(c->getADVoltage(0, s), 5.00, 1e-12);
  EXPECT_NEAR(c->getADVoltage(1, s), 10.23, 1e-12);
  // No reading yet, a short state, a wrong channel: errors, never a made-up value.
  EXPECT_THROW(c->getADVoltage(0, Page0(0, 0)), access::AccessError);
  EXPECT_THROW(c->getTemperature(DeviceState{0x0F}), access::AccessError);
  EXPECT_THROW(c->getADVoltage(3, s), access::AccessError);
}

TEST(DS2438, PluginCallOrderGivesVddVadTemperatureAndCurrent) {
  BatteryBus b(
      nlohmann::json{{"temperature", 25.0625}, {"vdd", 4.87}, {"vad", 2.34}, {"vsense_mv", 31.25}});
  DeviceState state = b.c->readDevice();
  ASSERT_EQ(state.size(), 12u);
  b.c->doADConvert(0, state);
  b.c->doADConvert(1, state);
  EXPECT_NEAR(b.c->getADVoltage(0, state), 4.87, 1e-9);
  EXPECT_NEAR(b.c->getADVoltage(1, state), 2.34, 1e-9);
  // The AD flag went to the device's EEPROM copy of page 0 (Vad selected last).
  EXPECT_EQ(b.model->MemoryPage(0)[0] & access::DS2438_AD_FLAG, 0);
  // A later readDevice still carries both readings.
  EXPECT_NEAR(b.c->getADVoltage(0, b.c->readDevice()), 4.87, 1e-9);

  b.c->doTemperatureConvert(state);
  EXPECT_DOUBLE_EQ(b.c->getTemperature(state), 25.0625);
  EXPECT_EQ(b.model->MemoryPage(0)[1], 0x10);  // the datasheet's encoding on the device side
  EXPECT_EQ(b.model->MemoryPage(0)[2], 0x19);

  // Current, as the plug-in reads it: IAD on, then the current register.
  if (!b.c->getFlag(access::DS2438_IAD_FLAG)) b.c->setFlag(access::DS2438_IAD_FLAG, true);
  b.clock.Advance(std::chrono::milliseconds(100));
  state = b.c->readDevice();
  EXPECT_DOUBLE_EQ(b.c->getCurrent(state) * 50, 31.25);
  EXPECT_EQ(b.model->MemoryPage(0)[5], 128);
}

TEST(DS2438, CurrentRegisterHoldsWhileIadIsOff) {
  BatteryBus b(nlohmann::json{{"vsense_mv", -62.5}});
  b.clock.Advance(std::chrono::milliseconds(100));
  DeviceState state = b.c->readDevice();
  EXPECT_DOUBLE_EQ(b.c->getCurrent(state) * 50, -62.5);
  b.c->setFlag(access::DS2438_IAD_FLAG, false);
  EXPECT_FALSE(b.c->getFlag(access::DS2438_IAD_FLAG));
  b.model->vsense_mv().Set(50);
  b.clock.Advance(std::chrono::milliseconds(500));
  EXPECT_DOUBLE_EQ(b.c->getCurrent(b.c->readDevice()) * 50, -62.5);
  // doADConvert(2) switches the converter back on and waits for a conversion.
  state = b.c->readDevice();
  b.c->doADConvert(2, state);
  EXPECT_NEAR(b.c->getCurrent(state) * 50, 50.0, 1000.0 / 4096);  // one step
  EXPECT_THROW(b.c->setFlag(0x10, true), access::AccessError);    // TB is read-only
}

TEST(DS2438, CrcFaultsNeverGiveAWrongValue) {
  BatteryBus b(nlohmann::json{{"temperature", -10.25}, {"vdd", 5.12}, {"vad", 3.3}});
  b.model->faults().crc_error_rate = 0.3;
  int good = 0;
  for (int i = 0; i < 40; ++i) {
    try {
      DeviceState state = b.c->readDevice();
      b.c->doADConvert(i % 2, state);
      const double v = b.c->getADVoltage(i % 2, state);
      EXPECT_NEAR(v, i % 2 == 0 ? 5.12 : 3.3, 1e-9);
      b.c->doTemperatureConvert(state);
      EXPECT_DOUBLE_EQ(b.c->getTemperature(state), -10.25);
      ++good;
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), access::ErrorCode::GeneralFailure);
    }
  }
  EXPECT_GT(good, 10);
}

TEST(DS2438, BusFileValuesAreChecked) {
  EXPECT_NO_THROW(sim::MakeDS2438Model(kBattery, nlohmann::json::object()));
  try {
    sim::MakeDS2438Model(kBattery, {{"vdd", "high"}});
    FAIL() << "a text voltage was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(kBattery.ToString()), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("vdd"), std::string::npos);
  }
}

// --- DS2450 ---

const RomId kQuad = RomId::Make(0x20, 0x0000ABCDEF);

struct QuadBus : Bus {
  sim::DS2450Model* model;
  std::unique_ptr<access::OneWireContainer> c = access::MakeDS2450Container();
  explicit QuadBus(const nlohmann::json& values) {
    model = dynamic_cast<sim::DS2450Model*>(&bus->Add(sim::MakeDS2450Model(kQuad, values)));
    c->SetupContainer(&adapter, kQuad.ToString());
  }
};

TEST(DS2450, DecodesResultsAndAlarmLimitsAsTheDatasheetScalesThem) {
  auto c = access::MakeDS2450Container();
  DeviceState s(24, 0);
  s[0x08] = 0x08;                  // channel A: 8 bits, 2.56 V
  s[0x00] = 0x00, s[0x01] = 0x64;  // result 6400: 100 steps of 10 mV
  s[0x0E] = 0x00, s[0x0F] = 0x01;  // channel D: 16 bits, 5.12 V
  s[0x06] = 0xFF, s[0x07] = 0xFF;  // the highest 16-bit result
  s[0x16] = 0x64, s[0x17] = 0x96;  // the datasheet's example limits: 2.0 V and 3.0 V
  EXPECT_DOUBLE_EQ(c->getADVoltage(0, s), 1.0);
  EXPECT_DOUBLE_EQ(c->getADVoltage(3, s), 5.12 * 65535 / 65536);
  EXPECT_DOUBLE_EQ(c->getADAlarm(3, access::AD_ALARM_LOW, s), 2.0);
  EXPECT_DOUBLE_EQ(c->getADAlarm(3, access::AD_ALARM_HIGH, s), 3.0);
  EXPECT_DOUBLE_EQ(c->getADResolution(0, s), 0.01);
  EXPECT_DOUBLE_EQ(c->getADResolution(3, s), 5.12 / 65536);
  EXPECT_EQ(c->getADRanges(0), (std::vector<double>{2.56, 5.12}));
  const auto res = c->getADResolutions(0, 5.12);
  ASSERT_EQ(res.size(), 16u);
  EXPECT_DOUBLE_EQ(res.front(), 2.56);
  EXPECT_DOUBLE_EQ(res.back(), 5.12 / 65536);
  // Setting picks the nearest encoding.
  c->setADAlarm(0, access::AD_ALARM_HIGH, 1.5, s);
  EXPECT_EQ(s[0x11], 150);  // 1.5 V / 10 mV
  c->setADResolution(1, 2.56 / 4096, s);
  EXPECT_EQ(s[0x0A] & 0x0F, 12);
  c->setADResolution(1, 1e-9, s);
  EXPECT_EQ(s[0x0A] & 0x0F, 0);  // 16 bits
  c->setADRange(2, 5.10, s);
  EXPECT_EQ(s[0x0D] & 0x01, 1);
  EXPECT_THROW(c->setADRange(2, -1, s), access::AccessError);
  EXPECT_THROW(c->getADVoltage(4, s), access::AccessError);
  EXPECT_THROW(c->getADVoltage(0, DeviceState(8)), access::AccessError);
}

TEST(DS2450, ReadMemorySendsTheInvertedCrc16PerPage) {
  QuadBus q(nlohmann::json{{"inputs", {0, 0, 0, 0}}});
  auto& m = q.adapter.Master();
  ASSERT_TRUE(q.adapter.select(kQuad));
  uint8_t head[3] = {0xAA, 0x08, 0x00};
  for (uint8_t b : head) m.TouchByte(b);
  uint8_t page1[10], page2[10];
  std::fill(std::begin(page1), std::end(page1), 0xFF);
  std::fill(std::begin(page2), std::end(page2), 0xFF);
  m.Block(page1, 10);
  m.Block(page2, 10);
  // Power-on values: 08 8C per channel, then limits 00 FF.
  for (int ch = 0; ch < 4; ++ch) {
    EXPECT_EQ(page1[2 * ch], 0x08);
    EXPECT_EQ(page1[2 * ch + 1], 0x8C);
    EXPECT_EQ(page2[2 * ch], 0x00);
    EXPECT_EQ(page2[2 * ch + 1], 0xFF);
  }
  // The first CRC covers command, address and data; the next one the data alone.
  EXPECT_TRUE(access::Crc16Matches(page1, 8, access::Crc16(head, 3), page1[8], page1[9]));
  EXPECT_TRUE(access::Crc16Matches(page2, 8, 0, page2[8], page2[9]));
}

TEST(DS2450, SettingsReachTheDeviceAndTheAlarmSearchFindsALimitCrossed) {
  QuadBus q(nlohmann::json{{"inputs", {1.0, 2.0, 0.5, 3.5}}});
  q.c->setSpeed(2, false);  // the part runs at overdrive too
  DeviceState s = q.c->readDevice();
  ASSERT_EQ(s.size(), 24u);
  EXPECT_TRUE(q.c->IsAlarming());  // POR: not set up yet
  // The datasheet's set-up example for channel D: 12 bits, 5.12 V, limits 2.0 V and 3.0 V.
  q.c->setADRange(3, 5.12, s);
  q.c->setADResolution(3, 5.12 / 4096, s);
  q.c->setADAlarm(3, access::AD_ALARM_LOW, 2.0, s);
  q.c->setADAlarm(3, access::AD_ALARM_HIGH, 3.0, s);
  q.c->setADAlarmEnable(3, access::AD_ALARM_LOW, true, s);
  q.c->setADAlarmEnable(3, access::AD_ALARM_HIGH, true, s);
  for (int ch = 0; ch < 3; ++ch) {
    q.c->setADAlarmEnable(ch, access::AD_ALARM_LOW, false, s);
    q.c->setADAlarmEnable(ch, access::AD_ALARM_HIGH, false, s);
  }
  q.c->setOutput(0, true, false, s);  // enabled, transistor off
  q.c->writeDevice(s);
  EXPECT_EQ(q.model->Memory(0x0E), 0x0C);
  EXPECT_EQ(q.model->Memory(0x0F), 0x0D);  // IR, AEL, AEH; POR cleared
  EXPECT_EQ(q.model->Memory(0x16), 0x64);
  EXPECT_EQ(q.model->Memory(0x17), 0x96);
  EXPECT_EQ(q.model->Memory(0x08), 0xC8);  // OE, OC, 8 bits
  EXPECT_FALSE(q.c->IsAlarming());

  s = q.c->readDevice();
  q.c->doADConvert(3, s);
  EXPECT_NEAR(q.c->getADVoltage(3, s), 3.5, 5.12 / 4096);
  EXPECT_TRUE(q.c->hasADAlarmed(3, access::AD_ALARM_HIGH, s));
  EXPECT_FALSE(q.c->hasADAlarmed(3, access::AD_ALARM_LOW, s));
  q.adapter.setSearchOnlyAlarmingDevices();
  ASSERT_TRUE(q.adapter.findFirstDevice());
  EXPECT_EQ(q.adapter.getAddressAsString(), kQuad.ToString());
  q.adapter.setSearchAllDevices();

  // Back inside the limits: the next conversion clears the flag and the alarm.
  q.model->input(3).Set(2.5);
  q.c->doADConvert(3, s);
  EXPECT_FALSE(q.c->hasADAlarmed(3, access::AD_ALARM_HIGH, s));
  EXPECT_FALSE(q.c->IsAlarming());
  // A flag without its enable keeps the device out of the alarm search.
  q.c->setADAlarm(2, access::AD_ALARM_HIGH, 0.2, s);
  q.c->writeDevice(s);
  q.c->doADConvert(2, s);
  EXPECT_TRUE(q.c->hasADAlarmed(2, access::AD_ALARM_HIGH, s));
  EXPECT_FALSE(q.c->IsAlarming());
}

TEST(DS2450, AConductingOutputPullsItsInputLow) {
  QuadBus q(nlohmann::json{{"inputs", {0, 2.0, 0, 0}}});
  DeviceState s = q.c->readDevice();
  q.c->setOutput(1, true, true, s);
  q.c->writeDevice(s);
  EXPECT_EQ(q.model->Memory(0x0A) & 0xC0, 0x80);  // OE set, OC clear: conducting
  s = q.c->readDevice();
  EXPECT_TRUE(q.c->isOutputEnabled(1, s));
  EXPECT_TRUE(q.c->getOutputState(1, s));
  q.c->doADConvert(1, s);
  EXPECT_DOUBLE_EQ(q.c->getADVoltage(1, s), 0.0);
  q.c->setOutput(1, true, false, s);
  q.c->writeDevice(s);
  q.c->doADConvert(1, s);
  EXPECT_DOUBLE_EQ(q.c->getADVoltage(1, s), 2.0);
  EXPECT_FALSE(q.c->getOutputState(1, s));
}

TEST(DS2450, ABusPoweredConversionNeedsTheStrongPullUp) {
  QuadBus q(nlohmann::json{{"inputs", {1.0, 0, 0, 0}}});
  auto& m = q.adapter.Master();
  // Convert channel A without the strong pull-up: the part (VCC byte 00) browns out.
  ASSERT_TRUE(q.adapter.select(kQuad));
  for (uint8_t b : {0x3C, 0x01, 0x00}) m.TouchByte(b);
  m.TouchByte(0xFF);
  m.TouchByte(0xFF);
  m.Wait(std::chrono::milliseconds(5));
  EXPECT_EQ(q.model->Memory(0x01), 0x00);
  // The container delivers it.
  DeviceState s = q.c->readDevice();
  q.c->doADConvert(0, s);
  EXPECT_DOUBLE_EQ(q.c->getADVoltage(0, s), 1.0);
  EXPECT_EQ(q.model->Memory(0x01), 0x64);
}

// A full-scale input at 16 bits reads all ones, as a result preset to all ones that was never
// converted does: the container converts again (preset to all zeros) and takes it as a reading.
TEST(DS2450, AFullScaleSixteenBitResultIsAReading) {
  QuadBus q(nlohmann::json{{"inputs", {9.0, 0, 0, 0}}});
  DeviceState s = q.c->readDevice();
  q.c->setADResolution(0, 1e-9, s);
  q.c->writeDevice(s);
  q.c->doADConvert(0, s);
  EXPECT_DOUBLE_EQ(q.c->getADVoltage(0, s), 2.56 * 65535 / 65536);
  EXPECT_TRUE(q.c->isADOverRange(0, s));
}

TEST(DS2450, CrcFaultsNeverGiveAWrongValueOrSetting) {
  QuadBus q(nlohmann::json{
      {"inputs",
       {1.0, 0, 0, {{"type", "sine"}, {"mean", 2}, {"amplitude", 0}, {"period_s", 60}}}}});
  q.model->faults().crc_error_rate = 0.3;
  int good = 0;
  for (int i = 0; i < 40; ++i) {
    try {
      DeviceState s = q.c->readDevice();
      q.c->setADResolution(3, 2.56 / 256, s);
      q.c->writeDevice(s);
      q.c->doADConvert(i % 2 == 0 ? 0 : 3, s);
      EXPECT_DOUBLE_EQ(q.c->getADVoltage(i % 2 == 0 ? 0 : 3, s), i % 2 == 0 ? 1.0 : 2.0);
      ++good;
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), access::ErrorCode::GeneralFailure);
    }
  }
  EXPECT_GT(good, 10);
  EXPECT_EQ(q.model->Memory(0x0E), 0x08);
}

TEST(DS2450, BusFileInputsAreChecked) {
  try {
    sim::MakeDS2450Model(kQuad, {{"inputs", {1, 2, 3}}});
    FAIL() << "three inputs were accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(kQuad.ToString()), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("inputs"), std::string::npos);
  }
  EXPECT_THROW(sim::MakeDS2450Model(kQuad, {{"inputs", {1, 2, 3, "x"}}}), std::invalid_argument);
}

}  // namespace
}  // namespace qb
