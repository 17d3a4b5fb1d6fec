#include "access/container.h"

namespace qb::access {

OneWireContainer::OneWireContainer(uint8_t family) : family_(family) {
  rom_.bytes[0] = family;
}

void OneWireContainer::SetupContainer(DSPortAdapter* adapter, const std::string& rom) {
  auto parsed = RomId::Parse(rom);
  if (!parsed)
    throw AccessError(ErrorCode::GeneralFailure, getName(),
                      "\"" + rom + "\" is not a ROM id of 16 hexadecimal digits");
  if (!parsed->CrcValid())
    throw AccessError(ErrorCode::GeneralFailure, getName(),
                      "the ROM id " + rom.substr(0, 16) + " has a wrong CRC");
  if (parsed->family() != family_) {
    throw AccessError(
        ErrorCode::GeneralFailure, getName(),
        "the ROM id " + rom.substr(0, 16) + " is not of family " + FamilyText(family_));
  }
  adapter_ = adapter;
  rom_ = *parsed;
}

std::string OneWireContainer::getName() const {
  return LookUpFamily(family_).name;
}
std::string OneWireContainer::getAlternateNames() const {
  return LookUpFamily(family_).alternate_names;
}
std::string OneWireContainer::GetDescription() const {
  return LookUpFamily(family_).description;
}
int OneWireContainer::getMaxSpeed() const {
  return LookUpFamily(family_).max_speed;
}

DSPortAdapter& OneWireContainer::Adapter() const {
  if (!adapter_)
    throw AccessError(ErrorCode::NoObject, getName(),
                      "the " + getName() + " container is not set up with an adapter");
  return *adapter_;
}

void OneWireContainer::setSpeed(int speed, bool fallback) {
  if (speed < 0 || speed > 3)
    throw AccessError(ErrorCode::GeneralFailure, getName(),
                      "unknown bus speed " + std::to_string(speed));
  const bool can = speed == 0 || (speed == 1 && Adapter().canFlex()) ||
                   (speed == 2 && Adapter().canOverdrive() && getMaxSpeed() >= 2) ||
                   (speed == 3 && Adapter().canHyperdrive() && getMaxSpeed() >= 3);
  if (!can && !fallback) {
    throw AccessError(
        ErrorCode::NotSupported, getName(),
        "the " + getName() + " cannot be run at speed " + std::to_string(speed) + " here");
  }
  speed_ = can ? speed : 0;
}

void OneWireContainer::Select() {
  DSPortAdapter& a = Adapter();
  if (a.getSpeed() != speed_) a.setSpeed(speed_);
  if (!a.select(rom_)) Fail("no device answered on the bus");
}

void OneWireContainer::WithRetries(const std::function<void()>& transaction, int attempts) {
  for (int i = 1;; ++i) {
    try {
      transaction();
      return;
    } catch (const CrcError&) {
      ++tally_.crc_errors;
      if (i >= attempts) throw;
      ++tally_.retries;
    }
  }
}

void OneWireContainer::CrcMismatch(const std::string& what) const {
  throw CrcError(getName(),
                 what + " of " + getName() + " " + rom_.ToString() + " failed its CRC check");
}

void OneWireContainer::Fail(const std::string& message) const {
  ThrowBusError(getName(), getName() + " " + rom_.ToString() + ": " + message);
}

void OneWireContainer::CheckStateSize(const DeviceState& state, size_t size,
                                      const char* call) const {
  if (state.size() == size) return;
  Fail(std::string(call) + ": the state has " + std::to_string(state.size()) + " bytes, a " +
       getName() + " state has " + std::to_string(size) + " (read it with readDevice)");
}

bool OneWireContainer::isPresent() {
  return Adapter().isPresent(rom_);
}

bool OneWireContainer::IsAlarming() {
  return Adapter().isPresent(rom_, true);
}

DeviceState OneWireContainer::readDevice() {
  NotSupported("readDevice");
}
void OneWireContainer::writeDevice(const DeviceState&) {
  NotSupported("writeDevice");
}

void OneWireContainer::doTemperatureConvert(DeviceState&) {
  NotSupported("doTemperatureConvert");
}
double OneWireContainer::getTemperature(const DeviceState&) const {
  NotSupported("getTemperature");
}
bool OneWireContainer::hasSelectableTemperatureResolution() const {
  NotSupported("hasSelectableTemperatureResolution");
}
std::vector<double> OneWireContainer::getTemperatureResolutions() const {
  NotSupported("getTemperatureResolutions");
}
double OneWireContainer::getTemperatureResolution(const DeviceState&) const {
  NotSupported("getTemperatureResolution");
}
void OneWireContainer::setTemperatureResolution(double, DeviceState&) {
  NotSupported("setTemperatureResolution");
}
bool OneWireContainer::hasTemperatureAlarms() const {
  NotSupported("hasTemperatureAlarms");
}
double OneWireContainer::getTemperatureAlarm(int, const DeviceState&) const {
  NotSupported("getTemperatureAlarm");
}
void OneWireContainer::setTemperatureAlarm(int, double, DeviceState&) {
  NotSupported("setTemperatureAlarm");
}
double OneWireContainer::getTemperatureAlarmResolution() const {
  NotSupported("getTemperatureAlarmResolution");
}
void OneWireContainer::recallE2() {
  NotSupported("recallE2");
}
bool OneWireContainer::isExternalPowerSupplied(const DeviceState&) {
  NotSupported("isExternalPowerSupplied");
}

int OneWireContainer::getNumberADChannels() const {
  NotSupported("getNumberADChannels");
}
void OneWireContainer::doADConvert(int, DeviceState&) {
  NotSupported("doADConvert");
}
double OneWireContainer::getADVoltage(int, const DeviceState&) const {
  NotSupported("getADVoltage");
}
bool OneWireContainer::isADOverRange(int, const DeviceState&) const {
  return false;
}
double OneWireContainer::getCurrent(const DeviceState&) const {
  NotSupported("getCurrent");
}
bool OneWireContainer::getFlag(int) {
  NotSupported("getFlag");
}
void OneWireContainer::setFlag(int, bool) {
  NotSupported("setFlag");
}
std::vector<double> OneWireContainer::getADRanges(int) const {
  NotSupported("getADRanges");
}
double OneWireContainer::getADRange(int, const DeviceState&) const {
  NotSupported("getADRange");
}
void OneWireContainer::setADRange(int, double, DeviceState&) {
  NotSupported("setADRange");
}
std::vector<double> OneWireContainer::getADResolutions(int, double) const {
  NotSupported("getADResolutions");
}
double OneWireContainer::getADResolution(int, const DeviceState&) const {
  NotSupported("getADResolution");
}
void OneWireContainer::setADResolution(int, double, DeviceState&) {
  NotSupported("setADResolution");
}
bool OneWireContainer::hasADAlarms() const {
  NotSupported("hasADAlarms");
}
double OneWireContainer::getADAlarm(int, int, const DeviceState&) const {
  NotSupported("getADAlarm");
}
void OneWireContainer::setADAlarm(int, int, double, DeviceState&) {
  NotSupported("setADAlarm");
}
bool OneWireContainer::getADAlarmEnable(int, int, const DeviceState&) const {
  NotSupported("getADAlarmEnable");
}
void OneWireContainer::setADAlarmEnable(int, int, bool, DeviceState&) {
  NotSupported("setADAlarmEnable");
}
bool OneWireContainer::hasADAlarmed(int, int, const DeviceState&) const {
  NotSupported("hasADAlarmed");
}
bool OneWireContainer::isOutputEnabled(int, const DeviceState&) const {
  NotSupported("isOutputEnabled");
}
bool OneWireContainer::getOutputState(int, const DeviceState&) const {
  NotSupported("getOutputState");
}
void OneWireContainer::setOutput(int, bool, bool, DeviceState&) {
  NotSupported("setOutput");
}

int OneWireContainer::getNumberChannels(const DeviceState&) const {
  NotSupported("getNumberChannels");
}
bool OneWireContainer::hasLevelSensing() const {
  NotSupported("hasLevelSensing");
}
bool OneWireContainer::hasActivitySensing() const {
  NotSupported("hasActivitySensing");
}
bool OneWireContainer::getLevel(int, const DeviceState&) const {
  NotSupported("getLevel");
}
bool OneWireContainer::getLatchState(int, const DeviceState&) const {
  NotSupported("getLatchState");
}
void OneWireContainer::setLatchState(int, bool, bool, DeviceState&) {
  NotSupported("setLatchState");
}
bool OneWireContainer::getSensedActivity(int, const DeviceState&) const {
  NotSupported("getSensedActivity");
}
void OneWireContainer::clearActivity() {
  NotSupported("clearActivity");
}
void OneWireContainer::setSearchConditions(int, int, int, DeviceState&) {
  NotSupported("setSearchConditions");
}

int OneWireContainer::getWiperPosition() {
  NotSupported("getWiperPosition");
}
bool OneWireContainer::setWiperPosition(int) {
  NotSupported("setWiperPosition");
}
int OneWireContainer::increment() {
  NotSupported("increment");
}
int OneWireContainer::decrement() {
  NotSupported("decrement");
}
double OneWireContainer::potentiometerResistance(const DeviceState&) const {
  NotSupported("potentiometerResistance");
}
bool OneWireContainer::isLinear(const DeviceState&) const {
  NotSupported("isLinear");
}
bool OneWireContainer::wiperSettingsAreVolatile(const DeviceState&) const {
  NotSupported("wiperSettingsAreVolatile");
}
bool OneWireContainer::isChargePumpOn(const DeviceState&) const {
  NotSupported("isChargePumpOn");
}
void OneWireContainer::setChargePump(bool, DeviceState&) {
  NotSupported("setChargePump");
}
int OneWireContainer::numberOfWiperSettings(const DeviceState&) const {
  NotSupported("numberOfWiperSettings");
}

int64_t OneWireContainer::readCounter(int) {
  NotSupported("readCounter");
}
bool OneWireContainer::getFlag(int, uint8_t, const DeviceState&) const {
  NotSupported("getFlag");
}
void OneWireContainer::setFlag(int, uint8_t, bool, DeviceState&) {
  NotSupported("setFlag");
}
bool OneWireContainer::getAlarmStatus(int, const DeviceState&) const {
  NotSupported("getAlarmStatus");
}
int64_t OneWireContainer::getClock(const DeviceState&) const {
  NotSupported("getClock");
}
void OneWireContainer::setClock(int64_t, DeviceState&) {
  NotSupported("setClock");
}
bool OneWireContainer::isClockRunning(const DeviceState&) const {
  NotSupported("isClockRunning");
}
void OneWireContainer::setClockRunEnable(bool, DeviceState&) {
  NotSupported("setClockRunEnable");
}
int64_t OneWireContainer::getClockAlarm(const DeviceState&) const {
  NotSupported("getClockAlarm");
}
void OneWireContainer::setClockAlarm(int64_t, DeviceState&) {
  NotSupported("setClockAlarm");
}
bool OneWireContainer::isClockAlarmEnabled(const DeviceState&) const {
  NotSupported("isClockAlarmEnabled");
}
void OneWireContainer::setClockAlarmEnable(bool, DeviceState&) {
  NotSupported("setClockAlarmEnable");
}
bool OneWireContainer::isClockAlarming(const DeviceState&) const {
  NotSupported("isClockAlarming");
}
int64_t OneWireContainer::getIntervalTimer(const DeviceState&) const {
  NotSupported("getIntervalTimer");
}
void OneWireContainer::setIntervalTimer(int64_t, DeviceState&) {
  NotSupported("setIntervalTimer");
}
int64_t OneWireContainer::getIntervalTimerAlarm(const DeviceState&) const {
  NotSupported("getIntervalTimerAlarm");
}
void OneWireContainer::setIntervalTimerAlarm(int64_t, DeviceState&) {
  NotSupported("setIntervalTimerAlarm");
}
bool OneWireContainer::isIntervalTimerAlarmEnabled(const DeviceState&) const {
  NotSupported("isIntervalTimerAlarmEnabled");
}
void OneWireContainer::setIntervalTimerAlarmEnable(bool, DeviceState&) {
  NotSupported("setIntervalTimerAlarmEnable");
}
bool OneWireContainer::isIntervalTimerAlarming(const DeviceState&) const {
  NotSupported("isIntervalTimerAlarming");
}
bool OneWireContainer::isIntervalTimerAutomatic(const DeviceState&) const {
  NotSupported("isIntervalTimerAutomatic");
}
void OneWireContainer::setIntervalTimerAutomatic(bool, DeviceState&) {
  NotSupported("setIntervalTimerAutomatic");
}
bool OneWireContainer::hasClockAlarm() const {
  return false;
}
MemoryBanks OneWireContainer::getMemoryBanks() {
  return MakeMemoryBanks(*this);
}

}  // namespace qb::access
