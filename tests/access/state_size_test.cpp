// Every call that takes a device state, on the container of every family code, with an empty, a
// short and a full-size state. The containers are not set up with an adapter, so a call that goes
// to the bus before looking at the state raises NoObject instead of the state error.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "access/errors.h"
#include "access/families.h"

namespace qb {
namespace {

using access::DeviceState;
using access::OneWireContainer;

using StateCall = std::function<void(OneWireContainer&, DeviceState&)>;

// Each state-taking call with arguments every family that has the call accepts.
const std::vector<std::pair<const char*, StateCall>>& StateCalls() {
  using C = OneWireContainer;
  using S = DeviceState;
  static const std::vector<std::pair<const char*, StateCall>> calls = {
      {"writeDevice", [](C& c, S& s) { c.writeDevice(s); }},
      {"doTemperatureConvert", [](C& c, S& s) { c.doTemperatureConvert(s); }},
      {"getTemperature", [](C& c, S& s) { c.getTemperature(s); }},
      {"getTemperatureResolution", [](C& c, S& s) { c.getTemperatureResolution(s); }},
      {"setTemperatureResolution", [](C& c, S& s) { c.setTemperatureResolution(0.5, s); }},
      {"getTemperatureAlarm", [](C& c, S& s) { c.getTemperatureAlarm(access::ALARM_LOW, s); }},
      {"setTemperatureAlarm", [](C& c, S& s) { c.setTemperatureAlarm(access::ALARM_HIGH, 20, s); }},
      {"isExternalPowerSupplied", [](C& c, S& s) { c.isExternalPowerSupplied(s); }},
      {"doADConvert", [](C& c, S& s) { c.doADConvert(0, s); }},
      {"getADVoltage", [](C& c, S& s) { c.getADVoltage(0, s); }},
      {"getCurrent", [](C& c, S& s) { c.getCurrent(s); }},
      {"getADRange", [](C& c, S& s) { c.getADRange(0, s); }},
      {"setADRange", [](C& c, S& s) { c.setADRange(0, 5.12, s); }},
      {"getADResolution", [](C& c, S& s) { c.getADResolution(0, s); }},
      {"setADResolution", [](C& c, S& s) { c.setADResolution(0, 0.01, s); }},
      {"getADAlarm", [](C& c, S& s) { c.getADAlarm(0, access::AD_ALARM_LOW, s); }},
      {"setADAlarm", [](C& c, S& s) { c.setADAlarm(0, access::AD_ALARM_HIGH, 1.5, s); }},
      {"getADAlarmEnable", [](C& c, S& s) { c.getADAlarmEnable(0, access::AD_ALARM_LOW, s); }},
      {"setADAlarmEnable",
       [](C& c, S& s) { c.setADAlarmEnable(0, access::AD_ALARM_LOW, true, s); }},
      {"hasADAlarmed", [](C& c, S& s) { c.hasADAlarmed(0, access::AD_ALARM_HIGH, s); }},
      {"isOutputEnabled", [](C& c, S& s) { c.isOutputEnabled(0, s); }},
      {"getOutputState", [](C& c, S& s) { c.getOutputState(0, s); }},
      {"setOutput", [](C& c, S& s) { c.setOutput(0, true, false, s); }},
      {"getNumberChannels", [](C& c, S& s) { c.getNumberChannels(s); }},
      {"getLevel", [](C& c, S& s) { c.getLevel(0, s); }},
      {"getLatchState", [](C& c, S& s) { c.getLatchState(0, s); }},
      {"setLatchState", [](C& c, S& s) { c.setLatchState(0, true, false, s); }},
      {"getSensedActivity", [](C& c, S& s) { c.getSensedActivity(0, s); }},
      {"setSearchConditions",
       [](C& c, S& s) {
         c.setSearchConditions(access::CHANNEL_A, access::SOURCE_PIO, access::POLARITY_ONE, s);
       }},
      {"potentiometerResistance", [](C& c, S& s) { c.potentiometerResistance(s); }},
      {"isLinear", [](C& c, S& s) { c.isLinear(s); }},
      {"wiperSettingsAreVolatile", [](C& c, S& s) { c.wiperSettingsAreVolatile(s); }},
      {"isChargePumpOn", [](C& c, S& s) { c.isChargePumpOn(s); }},
      {"setChargePump", [](C& c, S& s) { c.setChargePump(true, s); }},
      {"numberOfWiperSettings", [](C& c, S& s) { c.numberOfWiperSettings(s); }},
      {"getFlag", [](C& c, S& s) { c.getFlag(access::CONTROL_REGISTER, 0x01, s); }},
      {"setFlag", [](C& c, S& s) { c.setFlag(access::CONTROL_REGISTER, 0x01, true, s); }},
      {"getAlarmStatus", [](C& c, S& s) { c.getAlarmStatus(access::TIMER_ALARM, s); }},
      {"getClock", [](C& c, S& s) { c.getClock(s); }},
      {"setClock", [](C& c, S& s) { c.setClock(1000, s); }},
      {"isClockRunning", [](C& c, S& s) { c.isClockRunning(s); }},
      {"setClockRunEnable", [](C& c, S& s) { c.setClockRunEnable(true, s); }},
      {"getClockAlarm", [](C& c, S& s) { c.getClockAlarm(s); }},
      {"setClockAlarm", [](C& c, S& s) { c.setClockAlarm(1000, s); }},
      {"isClockAlarmEnabled", [](C& c, S& s) { c.isClockAlarmEnabled(s); }},
      {"setClockAlarmEnable", [](C& c, S& s) { c.setClockAlarmEnable(true, s); }},
      {"isClockAlarming", [](C& c, S& s) { c.isClockAlarming(s); }},
      {"getIntervalTimer", [](C& c, S& s) { c.getIntervalTimer(s); }},
      {"setIntervalTimer", [](C& c, S& s) { c.setIntervalTimer(1000, s); }},
      {"getIntervalTimerAlarm", [](C& c, S& s) { c.getIntervalTimerAlarm(s); }},
      {"setIntervalTimerAlarm", [](C& c, S& s) { c.setIntervalTimerAlarm(1000, s); }},
      {"isIntervalTimerAlarmEnabled", [](C& c, S& s) { c.isIntervalTimerAlarmEnabled(s); }},
      {"setIntervalTimerAlarmEnable", [](C& c, S& s) { c.setIntervalTimerAlarmEnable(true, s); }},
      {"isIntervalTimerAlarming", [](C& c, S& s) { c.isIntervalTimerAlarming(s); }},
      {"isIntervalTimerAutomatic", [](C& c, S& s) { c.isIntervalTimerAutomatic(s); }},
      {"setIntervalTimerAutomatic", [](C& c, S& s) { c.setIntervalTimerAutomatic(true, s); }},
  };
  return calls;
}

// The size of the state readDevice returns, for the families that have one.
const std::map<int, size_t> kStateSizes = {
    {0x04, 32}, {0x05, 1}, {0x10, 9}, {0x12, 2}, {0x1F, 2},  {0x20, 24}, {0x21, 32}, {0x22, 9},
    {0x26, 12}, {0x28, 9}, {0x29, 6}, {0x2C, 2}, {0x30, 32}, {0x3A, 1},  {0x42, 10}};

TEST(StateSize, EveryStateTakingCallRefusesAnEmptyOrShortState) {
  int refused = 0;
  for (int family = 0; family <= 0xFF; ++family) {
    const auto known = kStateSizes.find(family);
    const size_t full = known == kStateSizes.end() ? 2 : known->second;
    for (const auto& [name, call] : StateCalls()) {
      auto c = access::CreateContainer(static_cast<uint8_t>(family));
      const std::string what =
          c->getName() + " (" + access::FamilyText(c->getAddress().family()) + ") " + name;
      for (size_t size : {size_t{0}, full - 1}) {
        DeviceState state(size, 0x00);
        try {
          call(*c, state);
          ADD_FAILURE() << what << " took a state of " << size << " bytes";
        } catch (const access::AccessError& e) {
          if (e.code() == access::ErrorCode::NotSupported) continue;
          EXPECT_EQ(e.code(), access::ErrorCode::GeneralFailure) << what << ": " << e.what();
          EXPECT_NE(std::string(e.what()).find(std::string(name) + ": the state has " +
                                               std::to_string(size) + " bytes"),
                    std::string::npos)
              << what << ": " << e.what();
          ++refused;
        }
      }
      // A state of the right size is never refused for its size (the call may still fail
      // for want of an adapter, or for what the zeros hold).
      DeviceState state(full, 0x00);
      try {
        call(*c, state);
      } catch (const access::AccessError& e) {
        EXPECT_EQ(std::string(e.what()).find("the state has"), std::string::npos)
            << what << ": " << e.what();
      }
    }
  }
  // Every family with a state has state-taking calls: none of them slipped through the table.
  EXPECT_GE(refused, 2 * 60);
}

// The switch calls take only the channels the part has: one past the last, and -1, raise a
// GeneralFailure naming the channel; the DS2406 has channel B only while its state says so.
TEST(StateSize, SwitchCallsRefuseAChannelThePartLacks) {
  const std::map<int, int> channels = {{0x05, 1}, {0x12, 2}, {0x1F, 2},
                                       {0x29, 8}, {0x3A, 2}, {0x42, 2}};
  for (const auto& [family, count] : channels) {
    auto c = access::CreateContainer(static_cast<uint8_t>(family));
    DeviceState state(kStateSizes.at(family), 0x00);
    if (family == 0x12) state[0] = 0x40;  // channel B present
    ASSERT_EQ(c->getNumberChannels(state), count) << c->getName();
    for (int channel = 0; channel < count; ++channel) {
      c->getLevel(channel, state);
      c->getLatchState(channel, state);
      c->setLatchState(channel, true, false, state);
      EXPECT_TRUE(c->getLatchState(channel, state)) << c->getName() << " channel " << channel;
    }
    const std::vector<std::pair<const char*, std::function<void(int)>>> calls = {
        {"getLevel", [&](int ch) { c->getLevel(ch, state); }},
        {"getLatchState", [&](int ch) { c->getLatchState(ch, state); }},
        {"setLatchState", [&](int ch) { c->setLatchState(ch, true, false, state); }}};
    for (const auto& [name, call] : calls) {
      for (int channel : {-1, count}) {
        try {
          call(channel);
          ADD_FAILURE() << c->getName() << " " << name << " took channel " << channel;
        } catch (const access::AccessError& e) {
          EXPECT_EQ(e.code(), access::ErrorCode::GeneralFailure) << e.what();
          EXPECT_NE(std::string(e.what()).find("has no channel " + std::to_string(channel)),
                    std::string::npos)
              << e.what();
        }
      }
    }
  }
  auto ds2406 = access::CreateContainer(0x12);
  DeviceState one_channel(2, 0x00);
  EXPECT_EQ(ds2406->getNumberChannels(one_channel), 1);
  EXPECT_THROW(ds2406->getLevel(1, one_channel), access::AccessError);
}

}  // namespace
}  // namespace qb
