// The DS1994 clock, the DS1921 thermochron, the DS2760 battery monitor and the DS1990A: the
// datasheets' register encodings, then round trips through the simulated devices.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "access/adapter.h"
#include "access/ds1921.h"
#include "access/ds1994.h"
#include "access/ds2760.h"
#include "access/errors.h"
#include "access/families.h"
#include "sim/ds1921.h"
#include "sim/ds1994.h"
#include "sim/generic_model.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::DeviceState;
using access::RomId;
using namespace std::chrono_literals;

struct Bus {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  access::DSPortAdapter adapter{"SIM", "test",
                                std::make_unique<sim::SimBusMaster>(bus, "test bus")};
  std::unique_ptr<access::OneWireContainer> Add(sim::ModelMaker make, const RomId& rom,
                                                const nlohmann::json& values) {
    bus->Add(make(rom, values));
    auto c = access::CreateContainer(rom.family());
    c->SetupContainer(&adapter, rom.ToString());
    return c;
  }
};

DeviceState Page() {
  return DeviceState(32, 0x00);
}

// --- DS1994 ---

TEST(DS1994, RegisterPageAsTheDatasheetLaysItOut) {
  auto c = access::CreateContainer(0x04);
  // Counters: 40 bits, least significant byte first, the first byte counting 1/256 s.
  struct {
    uint8_t bytes[5];
    int64_t ms;
  } const counters[] = {
      {{0x00, 0x00, 0x00, 0x00, 0x00}, 0},
      {{0x80, 0x01, 0x00, 0x00, 0x00}, 1500},
      {{0x01, 0x00, 0x00, 0x00, 0x00}, 3},  // 1/256 s is 3.9 ms: whole ms below it
      {{0xFF, 0x00, 0x00, 0x00, 0x00}, 996},
      {{0x00, 0x80, 0x51, 0x01, 0x00}, 86400000},
      {{0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 4294967295000},
  };
  for (const auto& t : counters) {
    for (auto [offset, get] : {std::pair{0x02, &access::OneWireContainer::getClock},
                               {0x07, &access::OneWireContainer::getIntervalTimer},
                               {0x10, &access::OneWireContainer::getClockAlarm},
                               {0x15, &access::OneWireContainer::getIntervalTimerAlarm}}) {
      DeviceState s = Page();
      std::copy(t.bytes, t.bytes + 5, s.begin() + offset);
      EXPECT_EQ(((*c).*get)(s), t.ms) << "offset " << offset;
    }
    // And back: setClock stores the same bytes (the nearest count).
    DeviceState s = Page();
    c->setClock(t.ms, s);
    EXPECT_TRUE(std::equal(t.bytes, t.bytes + 5, s.begin() + 2)) << t.ms;
  }
  // Control: OSC is bit 4, AUTO bit 5; status: RTF bit 0, ITF bit 1, the enables active low.
  DeviceState s = Page();
  s[1] = 0x10;
  EXPECT_TRUE(c->isClockRunning(s));
  EXPECT_FALSE(c->isIntervalTimerAutomatic(s));
  c->setIntervalTimerAutomatic(true, s);
  c->setClockRunEnable(false, s);
  EXPECT_EQ(s[1], 0x20);
  s[0] = 0x38;  // RTE, ITE, CCE set: every alarm disabled
  EXPECT_FALSE(c->isClockAlarmEnabled(s));
  EXPECT_FALSE(c->isIntervalTimerAlarmEnabled(s));
  c->setClockAlarmEnable(true, s);
  EXPECT_EQ(s[0], 0x30);
  s[0] = 0x03;
  EXPECT_TRUE(c->isClockAlarming(s));
  EXPECT_TRUE(c->isIntervalTimerAlarming(s));
  // Outside the counter: refused, the state untouched.
  s = Page();
  EXPECT_THROW(c->setClock(-1, s), access::AccessError);
  EXPECT_THROW(c->setClock(4294967296000, s), access::AccessError);
  EXPECT_EQ(s, Page());
}

const RomId kDS1994 = RomId::Make(0x04, 0x1994);

TEST(DS1994, SetStartAlarmAndReadBackThroughTheScratchpad) {
  Bus b;
  auto c = b.Add(sim::MakeDS1994Model, kDS1994, {{"clock", 1000}, {"running", false}});
  DeviceState s = c->readDevice();
  EXPECT_EQ(c->getClock(s), 1000000);
  EXPECT_FALSE(c->isClockRunning(s));
  EXPECT_FALSE(c->IsAlarming());

  // Stopped: time passes, the clock does not.
  b.clock.Advance(5s);
  EXPECT_EQ(c->getClock(c->readDevice()), 1000000);

  // Set, start, alarm 10 s on: one writeDevice.
  const int64_t t0 = 1796650000000;  // 2026-12-07 (whole seconds)
  c->setClock(t0, s);
  c->setClockRunEnable(true, s);
  c->setClockAlarm(t0 + 10000, s);
  c->setClockAlarmEnable(true, s);
  c->writeDevice(s);
  s = c->readDevice();
  EXPECT_TRUE(c->isClockRunning(s));
  EXPECT_TRUE(c->isClockAlarmEnabled(s));
  EXPECT_EQ(c->getClockAlarm(s), t0 + 10000);
  EXPECT_NEAR(static_cast<double>(c->getClock(s)), static_cast<double>(t0), 100);
  EXPECT_FALSE(c->isClockAlarming(s));

  b.clock.Advance(12s);
  EXPECT_TRUE(c->IsAlarming());  // the alarm search finds it
  s = c->readDevice();
  EXPECT_NEAR(static_cast<double>(c->getClock(s)), static_cast<double>(t0 + 12000), 100);
  EXPECT_TRUE(c->isClockAlarming(s));
  // Reading the status register cleared the flag in the device.
  EXPECT_FALSE(c->isClockAlarming(c->readDevice()));
  EXPECT_FALSE(c->IsAlarming());

  // A writeDevice that changes nothing leaves the running clock alone.
  s = c->readDevice();
  b.clock.Advance(3s);
  c->writeDevice(s);
  EXPECT_NEAR(static_cast<double>(c->getClock(c->readDevice())), t0 + 15000.0, 100);

  // Interval timer: manual mode runs while STOP/START is 0; automatic mode runs on an idle bus.
  s = c->readDevice();
  c->setIntervalTimer(0, s);
  c->setIntervalTimerAlarm(2000, s);
  c->setIntervalTimerAlarmEnable(true, s);
  c->setIntervalTimerAutomatic(true, s);
  c->writeDevice(s);
  b.clock.Advance(3s);
  s = c->readDevice();
  EXPECT_TRUE(c->isIntervalTimerAutomatic(s));
  EXPECT_NEAR(static_cast<double>(c->getIntervalTimer(s)), 3000, 100);
  EXPECT_TRUE(c->isIntervalTimerAlarming(s));
}

TEST(DS1994, ClockAtTheEndsOfItsRange) {
  Bus b;
  auto zero = b.Add(sim::MakeDS1994Model, RomId::Make(0x04, 1), {{"clock", 0}});
  auto top = b.Add(sim::MakeDS1994Model, RomId::Make(0x04, 2),
                   {{"clock", 4294967295u}, {"running", true}});
  EXPECT_EQ(zero->getClock(zero->readDevice()), 0);
  DeviceState s = top->readDevice();
  EXPECT_EQ(top->getClock(s), 4294967295000);
  EXPECT_TRUE(top->isClockRunning(s));
  // It counts on past 2^32 s and wraps to 0, as the 40-bit counter does.
  b.clock.Advance(2s);
  EXPECT_NEAR(static_cast<double>(top->getClock(top->readDevice())), 1000.0, 10);
  // A bus file value outside the counter is refused with the key named.
  EXPECT_THROW(sim::MakeDS1994Model(kDS1994, {{"clock", 4294967296.0}}), std::invalid_argument);
}

// --- DS1921 ---

TEST(DS1921, RegistersFlagsAndTemperatureCodesOfTheDatasheet) {
  auto c = access::CreateContainer(0x21);
  // Temperature: T = code / 2 - 40.
  for (auto [code, celsius] : {std::pair{0x00, -40.0},
                               {0x4F, -0.5},
                               {0x50, 0.0},
                               {0x51, 0.5},
                               {0x7D, 22.5},
                               {0xFA, 85.0}}) {
    DeviceState s = Page();
    s[0x11] = static_cast<uint8_t>(code);
    EXPECT_EQ(c->getTemperature(s), celsius);
    s[0x0B] = static_cast<uint8_t>(code);
    EXPECT_EQ(c->getTemperatureAlarm(access::ALARM_LOW, s), celsius);
    DeviceState t = Page();
    c->setTemperatureAlarm(access::ALARM_HIGH, celsius, t);
    EXPECT_EQ(t[0x0C], code);
  }
  DeviceState s = Page();
  EXPECT_THROW(c->setTemperatureAlarm(access::ALARM_LOW, -45, s), access::AccessError);
  EXPECT_THROW(c->setTemperatureAlarm(access::ALARM_HIGH, NAN, s), access::AccessError);

  // Control register 0x20E: TLS bit 2, THS bit 1, TAS bit 0, EOSC bit 7 (set stops the clock).
  c->setFlag(access::CONTROL_REGISTER, access::TEMP_LOW_SEARCH_FLAG, true, s);
  EXPECT_EQ(s[0x0E], 0x04);
  c->setFlag(access::CONTROL_REGISTER, access::TEMP_HIGH_SEARCH_FLAG, true, s);
  c->setClockAlarmEnable(true, s);
  EXPECT_EQ(s[0x0E], 0x07);
  EXPECT_TRUE(c->getFlag(access::CONTROL_REGISTER, access::TEMP_HIGH_SEARCH_FLAG, s));
  EXPECT_TRUE(c->isClockRunning(s));
  c->setClockRunEnable(false, s);
  EXPECT_EQ(s[0x0E], 0x87);
  // Status register 0x214: TLF bit 2, THF bit 1, TAF bit 0.
  s[0x14] = 0x84;
  EXPECT_TRUE(c->getAlarmStatus(access::TEMPERATURE_LOW_ALARM, s));
  EXPECT_FALSE(c->getAlarmStatus(access::TEMPERATURE_HIGH_ALARM, s));
  EXPECT_FALSE(c->getAlarmStatus(access::TIMER_ALARM, s));
  EXPECT_THROW(c->getFlag(0x200, 1, s), access::AccessError);

  // The BCD clock: 2026-12-07 13:30:05, a Monday (day 2 with Sunday as 1), century bit set.
  const uint8_t regs[7] = {0x05, 0x30, 0x13, 0x02, 0x07, 0x92, 0x26};
  s = Page();
  std::copy(regs, regs + 7, s.begin());
  EXPECT_EQ(c->getClock(s), 1796650205000);
  DeviceState back = Page();
  c->setClock(1796650205000, back);
  EXPECT_TRUE(std::equal(regs, regs + 7, back.begin()));
  // 12-hour mode: 01 PM is 13 h; 12 AM is midnight. Without the century bit, the 1900s.
  s[2] = 0x40 | 0x20 | 0x01;
  EXPECT_EQ(c->getClock(s), 1796650205000);
  s[2] = 0x40 | 0x12;
  EXPECT_EQ(c->getClock(s), 1796650205000 - 13 * 3600000);
  s[2] = 0x13, s[5] = 0x12, s[6] = 0x99;
  EXPECT_EQ(c->getClock(s), 944573405000);  // 1999-12-07 13:30:05
  s[4] = 0x32;                              // no 32nd day
  EXPECT_THROW(c->getClock(s), access::AccessError);
  EXPECT_THROW(c->setClock(4102444800000, back), access::AccessError);  // 2100

  // The weekly alarm: its next occurrence from the clock; masked fields match anything.
  s = back;                                      // Monday 13:30:05
  c->setClockAlarm(1796650205000 - 3600000, s);  // Monday 12:30:05: next week
  EXPECT_EQ(c->getClockAlarm(s), 1796650205000 - 3600000 + 7 * 86400000LL);
  s[0x07] = 0x00, s[0x08] = 0x80, s[0x09] = 0x80, s[0x0A] = 0x80;  // each minute at :00
  EXPECT_EQ(c->getClockAlarm(s), 1796650205000 + 55000);
}

const RomId kDS1921 = RomId::Make(0x21, 0x1921);

TEST(DS1921, AlarmLimitsArmTheConditionalSearchAsThePluginSetsThem) {
  Bus b;
  auto hot = b.Add(sim::MakeDS1921Model, kDS1921, {{"temperature", 30.5}});
  auto cold = b.Add(sim::MakeDS1921Model, RomId::Make(0x21, 2), {{"temperature", -12.5}});
  for (auto* c : {hot.get(), cold.get()}) {
    DeviceState s = c->readDevice();
    c->doTemperatureConvert(s);
    EXPECT_FALSE(c->IsAlarming());  // no search flag set yet
  }
  // The plug-in's order: readDevice, the search flag, the limit, writeDevice.
  for (auto [c, type, flag, limit] :
       {std::tuple{hot.get(), access::ALARM_HIGH, access::TEMP_HIGH_SEARCH_FLAG, 25.0},
        std::tuple{cold.get(), access::ALARM_LOW, access::TEMP_LOW_SEARCH_FLAG, -10.0}}) {
    DeviceState s = c->readDevice();
    c->setFlag(access::CONTROL_REGISTER, flag, true, s);
    c->setTemperatureAlarm(type, limit, s);
    c->writeDevice(s);
    s = c->readDevice();
    EXPECT_EQ(c->getTemperatureAlarm(type, s), limit);
    EXPECT_TRUE(c->getFlag(access::CONTROL_REGISTER, flag, s));
  }
  DeviceState s = hot->readDevice();
  hot->doTemperatureConvert(s);
  EXPECT_EQ(hot->getTemperature(s), 30.5);
  EXPECT_TRUE(hot->IsAlarming());
  s = hot->readDevice();
  EXPECT_TRUE(hot->getAlarmStatus(access::TEMPERATURE_HIGH_ALARM, s));
  EXPECT_FALSE(hot->getAlarmStatus(access::TEMPERATURE_LOW_ALARM, s));

  s = cold->readDevice();
  cold->doTemperatureConvert(s);
  EXPECT_EQ(cold->getTemperature(s), -12.5);
  EXPECT_TRUE(cold->IsAlarming());
  EXPECT_TRUE(cold->getAlarmStatus(access::TEMPERATURE_LOW_ALARM, cold->readDevice()));

  // Clearing the flag and the search flag: silent again.
  s = cold->readDevice();
  cold->setFlag(access::STATUS_REGISTER, 0x04, false, s);
  cold->setFlag(access::CONTROL_REGISTER, access::TEMP_LOW_SEARCH_FLAG, false, s);
  cold->writeDevice(s);
  EXPECT_FALSE(cold->IsAlarming());
}

TEST(DS1921, ClockSetStartedAndTicking) {
  Bus b;
  auto c = b.Add(sim::MakeDS1921Model, kDS1921, {{"clock", 946684799}});  // 1999-12-31 23:59:59
  DeviceState s = c->readDevice();
  EXPECT_EQ(c->getClock(s), 946684799000);
  EXPECT_FALSE(c->isClockRunning(s));
  c->setClockRunEnable(true, s);
  c->writeDevice(s);
  b.clock.Advance(2s);
  s = c->readDevice();
  EXPECT_TRUE(c->isClockRunning(s));
  EXPECT_EQ(c->getClock(s), 946684801000);  // into 2000: the century bit set
  EXPECT_EQ(s[5] & 0x80, 0x80);
  // The weekly alarm passes: TAF, and with TAS the alarm search.
  c->setClockAlarm(946684801000 + 3000, s);
  c->setClockAlarmEnable(true, s);
  c->writeDevice(s);
  EXPECT_FALSE(c->IsAlarming());
  b.clock.Advance(4s);
  EXPECT_TRUE(c->IsAlarming());
  EXPECT_TRUE(c->isClockAlarming(c->readDevice()));
}

// A garbled read is retried, and refused when it stays garbled: the DS1921's page by its
// CRC16, the DS1994's (which sends no CRC) by two reads that must agree.
TEST(ClockButtons, GarbledRegisterReadsAreRetriedOrRefused) {
  Bus b;
  auto thermochron = b.Add(sim::MakeDS1921Model, kDS1921, {{"clock", 946684799}});
  auto clock = b.Add(sim::MakeDS1994Model, kDS1994, {{"clock", 1000}});
  for (auto* c : {thermochron.get(), clock.get()}) {
    sim::SimDevice* model = b.bus->Find(c->getAddress());
    ASSERT_NE(model, nullptr);
    model->faults().crc_error_rate = 1;
    EXPECT_THROW(c->readDevice(), access::AccessError);
    // Now and then a flipped bit: the retries absorb it. The DS1921 sends its page as one block,
    // the DS1994 byte by byte.
    model->faults().crc_error_rate = c == clock.get() ? 0.005 : 0.1;
    for (int i = 0; i < 20; ++i) {
      const DeviceState s = c->readDevice();
      EXPECT_EQ(c->getClock(s), c == clock.get() ? 1000000 : 946684799000);
    }
  }
}

// --- DS2760 ---

TEST(DS2760, RegistersAndRoundTrip) {
  auto c = access::CreateContainer(0x30);
  // MSB first, left-aligned: temperature 11 bits of 0.125, voltage 11 bits of 4.88 mV, current
  // 13 bits of 15.625 uV (0.625 mA through the 25 milliohm resistor).
  struct {
    uint8_t msb, lsb;
    double temperature, volts, vsense;
  } const rows[] = {
      {0x00, 0x00, 0, 0, 0},
      {0x00, 0x20, 0.125, 0.00488, 4 * 15.625e-6},
      {0x17, 0x00, 23.0, 184 * 0.00488, 736 * 15.625e-6},
      {0xFF, 0xE0, -0.125, -0.00488, -4 * 15.625e-6},
      {0x7F, 0xE0, 127.875, 1023 * 0.00488, 4092 * 15.625e-6},
      {0xEC, 0x00, -20.0, -160 * 0.00488, -640 * 15.625e-6},
  };
  for (const auto& r : rows) {
    DeviceState s = Page();
    s[0x18] = s[0x0C] = s[0x0E] = r.msb;
    s[0x19] = s[0x0D] = s[0x0F] = r.lsb;
    EXPECT_EQ(c->getTemperature(s), r.temperature);
    EXPECT_NEAR(c->getADVoltage(0, s), r.volts, 1e-12);
    EXPECT_NEAR(c->getADVoltage(access::DS2438_CHANNEL_VSENSE, s), r.vsense, 1e-12);
    EXPECT_NEAR(c->getCurrent(s), r.vsense / 0.025, 1e-12);
  }
  EXPECT_THROW(c->getADVoltage(1, Page()), access::AccessError);

  Bus b;
  auto dev = b.Add(sim::MakeDS2760Model, RomId::Make(0x30, 0x2760),
                   {{"temperature", -7.375}, {"voltage", 3.904}, {"vsense_mv", -12.5}});
  DeviceState s = dev->readDevice();
  dev->doTemperatureConvert(s);
  EXPECT_EQ(dev->getTemperature(s), -7.375);
  dev->doADConvert(0, s);
  EXPECT_NEAR(dev->getADVoltage(0, s), 3.904, 0.00488 / 2);
  EXPECT_NEAR(dev->getADVoltage(access::DS2438_CHANNEL_VSENSE, s), -0.0125, 15.625e-6 / 2);
  EXPECT_NEAR(dev->getCurrent(s), -0.5, 0.000625);
}

// --- DS1990A ---

TEST(DS1990A, AddressOnlyAnEmptyStateAndNothingElse) {
  Bus b;
  const RomId rom = RomId::Make(0x01, 0x1990);
  b.bus->Add(std::make_unique<sim::GenericModel>(rom));
  auto c = access::CreateContainer(0x01);
  c->SetupContainer(&b.adapter, rom.ToString());
  EXPECT_EQ(c->getName(), "DS1990A");
  EXPECT_TRUE(c->readDevice().empty());
  DeviceState s;
  EXPECT_THROW(c->getTemperature(s), access::AccessError);
  EXPECT_THROW(c->writeDevice(s), access::AccessError);
  // Absent, it is an error rather than an empty state.
  auto gone = access::CreateContainer(0x01);
  gone->SetupContainer(&b.adapter, RomId::Make(0x01, 0x1991).ToString());
  EXPECT_THROW(gone->readDevice(), access::AccessError);
}

}  // namespace
}  // namespace qb
