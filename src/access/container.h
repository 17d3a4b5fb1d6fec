#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/memory_bank.h"
#include "access/rom.h"

namespace qb::access {

// A device's state: its register or scratchpad bytes, as read by readDevice and handed back to
// the calls that take a state. Shown as two upper-case hex digits per byte.
using DeviceState = std::vector<uint8_t>;
inline std::string StateToHex(const DeviceState& s) {
  return BytesToHexText(s.data(), s.size());
}

// Constants of the temperature calls.
inline constexpr int ALARM_LOW = 0;
inline constexpr int ALARM_HIGH = 1;

// Constants of the switch calls (the DS2406's search conditions).
inline constexpr int CHANNEL_A = 0x01;  // channel selection: PIO-A only
inline constexpr int CHANNEL_B = 0x02;  // PIO-B only
inline constexpr int CHANNEL_BOTH = 0x03;
inline constexpr int SOURCE_ACTIVITY_LATCH = 0x01;
inline constexpr int SOURCE_FLIP_FLOP = 0x02;
inline constexpr int SOURCE_PIO = 0x03;
inline constexpr int POLARITY_ZERO = 0x00;
inline constexpr int POLARITY_ONE = 0x01;

// Constants of the thermochron's flag calls: the control register and its alarm search flags
// (TLS is bit 2, THS bit 1, TAS bit 0 of the DS1921's control register at 0x20E).
inline constexpr int CONTROL_REGISTER = 0x20E;
inline constexpr int STATUS_REGISTER = 0x214;
inline constexpr uint8_t TEMP_LOW_SEARCH_FLAG = 0x04;
inline constexpr uint8_t TEMP_HIGH_SEARCH_FLAG = 0x02;
inline constexpr uint8_t TIMER_ALARM_SEARCH_FLAG = 0x01;
// getAlarmStatus types of the thermochron.
inline constexpr int TEMPERATURE_LOW_ALARM = 0x10;
inline constexpr int TEMPERATURE_HIGH_ALARM = 0x20;
inline constexpr int TIMER_ALARM = 0x08;

// Constants of the A/D calls.
inline constexpr int AD_ALARM_LOW = 0;
inline constexpr int AD_ALARM_HIGH = 1;
// DS2438 channels for doADConvert/getADVoltage.
inline constexpr int DS2438_CHANNEL_VDD = 0;
inline constexpr int DS2438_CHANNEL_VAD = 1;
inline constexpr int DS2438_CHANNEL_VSENSE = 2;
// DS2438 status/configuration flags for getFlag/setFlag.
inline constexpr int DS2438_IAD_FLAG = 0x01;
inline constexpr int DS2438_CA_FLAG = 0x02;
inline constexpr int DS2438_EE_FLAG = 0x04;
inline constexpr int DS2438_AD_FLAG = 0x08;

// One 1-Wire device, bound to an adapter and a ROM id. The base class holds what every family
// has (name, presence, speed, alarm search); every family-specific call raises
// ErrorCode::NotSupported here and is overridden by the families that have it.
class OneWireContainer {
 public:
  explicit OneWireContainer(uint8_t family);
  virtual ~OneWireContainer() = default;

  // Binds the container to an adapter and the ROM id in its text form (first 16 characters).
  void SetupContainer(DSPortAdapter* adapter, const std::string& rom);
  const RomId& getAddress() const { return rom_; }
  std::string getAddressAsString() const { return rom_.ToString(); }

  // Generic calls.
  virtual std::string getName() const;
  virtual std::string getAlternateNames() const;
  virtual std::string GetDescription() const;
  virtual bool isPresent();
  virtual int getMaxSpeed() const;
  // Sets the speed this device is talked to at; with `fallback` a speed the adapter cannot run
  // falls back to regular speed instead of failing.
  void setSpeed(int speed, bool fallback);
  int getSpeed() const { return speed_; }
  // True when the device answers the alarm search.
  virtual bool IsAlarming();
  virtual bool HasAlarms() const { return false; }
  virtual DeviceState readDevice();
  // Transfers of this container that failed a CRC check, and those run again after one.
  struct Tally {
    int64_t crc_errors = 0;
    int64_t retries = 0;
  };
  const Tally& tally() const { return tally_; }
  virtual void writeDevice(const DeviceState& state);

  // Temperature.
  virtual void doTemperatureConvert(DeviceState& state);
  virtual double getTemperature(const DeviceState& state) const;
  virtual bool hasSelectableTemperatureResolution() const;
  virtual std::vector<double> getTemperatureResolutions() const;
  virtual double getTemperatureResolution(const DeviceState& state) const;
  virtual void setTemperatureResolution(double resolution, DeviceState& state);
  virtual bool hasTemperatureAlarms() const;
  virtual double getTemperatureAlarm(int type, const DeviceState& state) const;
  virtual void setTemperatureAlarm(int type, double value, DeviceState& state);
  virtual double getTemperatureAlarmResolution() const;
  virtual void recallE2();
  virtual bool isExternalPowerSupplied(const DeviceState& state);

  // A/D converters and battery monitors.
  virtual int getNumberADChannels() const;
  virtual void doADConvert(int channel, DeviceState& state);
  virtual double getADVoltage(int channel, const DeviceState& state) const;
  // Whether the channel's last result is the converter's highest: the input was at or above the
  // top of its range, so the voltage read is a lower bound, not the input. False for converters
  // that cannot tell.
  virtual bool isADOverRange(int channel, const DeviceState& state) const;
  virtual double getCurrent(const DeviceState& state) const;
  virtual bool getFlag(int flag);
  virtual void setFlag(int flag, bool value);
  virtual std::vector<double> getADRanges(int channel) const;
  virtual double getADRange(int channel, const DeviceState& state) const;
  virtual void setADRange(int channel, double range, DeviceState& state);
  virtual std::vector<double> getADResolutions(int channel, double range) const;
  virtual double getADResolution(int channel, const DeviceState& state) const;
  virtual void setADResolution(int channel, double resolution, DeviceState& state);
  virtual bool hasADAlarms() const;
  virtual double getADAlarm(int channel, int type, const DeviceState& state) const;
  virtual void setADAlarm(int channel, int type, double value, DeviceState& state);
  virtual bool getADAlarmEnable(int channel, int type, const DeviceState& state) const;
  virtual void setADAlarmEnable(int channel, int type, bool enable, DeviceState& state);
  virtual bool hasADAlarmed(int channel, int type, const DeviceState& state) const;
  virtual bool isOutputEnabled(int channel, const DeviceState& state) const;
  virtual bool getOutputState(int channel, const DeviceState& state) const;
  virtual void setOutput(int channel, bool enable, bool state_on, DeviceState& state);

  // Switches.
  virtual int getNumberChannels(const DeviceState& state) const;
  virtual bool hasLevelSensing() const;
  virtual bool hasActivitySensing() const;
  virtual bool getLevel(int channel, const DeviceState& state) const;
  // True when the channel's output transistor conducts.
  virtual bool getLatchState(int channel, const DeviceState& state) const;
  virtual void setLatchState(int channel, bool on, bool smart, DeviceState& state);
  virtual bool getSensedActivity(int channel, const DeviceState& state) const;
  virtual void clearActivity();
  virtual void setSearchConditions(int channel, int source, int polarity, DeviceState& state);

  // Potentiometers.
  virtual int getWiperPosition();
  virtual bool setWiperPosition(int position);
  virtual int increment();
  virtual int decrement();
  virtual double potentiometerResistance(const DeviceState& state) const;  // kilo-ohms
  virtual bool isLinear(const DeviceState& state) const;
  virtual bool wiperSettingsAreVolatile(const DeviceState& state) const;
  virtual bool isChargePumpOn(const DeviceState& state) const;
  virtual void setChargePump(bool on, DeviceState& state);
  virtual int numberOfWiperSettings(const DeviceState& state) const;

  // Counters.
  virtual int64_t readCounter(int page);

  // Thermochron register flags and alarm status (register addresses as above).
  virtual bool getFlag(int reg, uint8_t flag, const DeviceState& state) const;
  virtual void setFlag(int reg, uint8_t flag, bool value, DeviceState& state);
  virtual bool getAlarmStatus(int type, const DeviceState& state) const;

  // Clocks. Times are milliseconds since 1970-01-01 00:00 (no time zone); the interval timer and
  // its alarm are milliseconds too. The devices count in 1/256 s underneath.
  virtual int64_t getClock(const DeviceState& state) const;
  virtual void setClock(int64_t time_ms, DeviceState& state);
  virtual bool isClockRunning(const DeviceState& state) const;
  virtual void setClockRunEnable(bool run, DeviceState& state);
  virtual bool hasClockAlarm() const;
  virtual int64_t getClockAlarm(const DeviceState& state) const;
  virtual void setClockAlarm(int64_t time_ms, DeviceState& state);
  virtual bool isClockAlarmEnabled(const DeviceState& state) const;
  virtual void setClockAlarmEnable(bool enable, DeviceState& state);
  virtual bool isClockAlarming(const DeviceState& state) const;
  virtual int64_t getIntervalTimer(const DeviceState& state) const;
  virtual void setIntervalTimer(int64_t time_ms, DeviceState& state);
  virtual int64_t getIntervalTimerAlarm(const DeviceState& state) const;
  virtual void setIntervalTimerAlarm(int64_t time_ms, DeviceState& state);
  virtual bool isIntervalTimerAlarmEnabled(const DeviceState& state) const;
  virtual void setIntervalTimerAlarmEnable(bool enable, DeviceState& state);
  virtual bool isIntervalTimerAlarming(const DeviceState& state) const;
  virtual bool isIntervalTimerAutomatic(const DeviceState& state) const;
  virtual void setIntervalTimerAutomatic(bool automatic, DeviceState& state);

  // Memory: the device's banks (empty for a device without memory).
  virtual MemoryBanks getMemoryBanks();
  // For the memory banks, which talk to the device on the container's behalf: the adapter, and
  // a bus reset that addresses this device (GeneralFailure when it does not answer).
  DSPortAdapter& BankAdapter() const { return Adapter(); }
  void SelectForBank() { Select(); }

 protected:
  // The adapter; NoObject when the container is not set up.
  DSPortAdapter& Adapter() const;
  // Resets the bus and addresses this device at its speed; a GeneralFailure when it does not
  // answer.
  void Select();
  // Runs a transaction up to `attempts` times while it fails a CRC check (CrcMismatch), then
  // raises the last failure. Anything else it raises goes straight through.
  void WithRetries(const std::function<void()>& transaction, int attempts = 3);
  // Raised inside transactions for a failed CRC.
  [[noreturn]] void CrcMismatch(const std::string& what) const;
  [[noreturn]] void NotSupported(const std::string& call) const {
    ThrowNotSupported(getName(), call);
  }
  // A bus error naming this device.
  [[noreturn]] void Fail(const std::string& message) const;
  // Raises a GeneralFailure naming `call` unless `state` has exactly `size` bytes, the size of
  // the state readDevice returns: an empty, short or foreign state is never read or written.
  void CheckStateSize(const DeviceState& state, size_t size, const char* call) const;

  uint8_t family_;
  RomId rom_;
  DSPortAdapter* adapter_ = nullptr;
  int speed_ = 0;
  Tally tally_;
};

// The name, alternate names, description and fastest speed of a family.
struct FamilyInfo {
  const char* name;
  const char* alternate_names;
  const char* description;
  int max_speed;  // 0 regular, 2 overdrive
};
// What the library knows of a family; a generic entry for families it does not know.
FamilyInfo LookUpFamily(uint8_t family);

}  // namespace qb::access
