#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "access/container.h"

namespace qb::access {

// Function commands of the scratchpad thermometers (families 10, 22 and 28).
inline constexpr uint8_t kConvertT = 0x44;
inline constexpr uint8_t kWriteScratchpad = 0x4E;
inline constexpr uint8_t kReadScratchpad = 0xBE;
inline constexpr uint8_t kCopyScratchpad = 0x48;
inline constexpr uint8_t kRecallE2 = 0xB8;
inline constexpr uint8_t kReadPowerSupply = 0xB4;

// Scratchpad layout: temperature LSB and MSB, TH, TL, then family-specific bytes, CRC8 last.
inline constexpr size_t kScratchpadSize = 9;
inline constexpr size_t kTempLsb = 0;
inline constexpr size_t kTempMsb = 1;
inline constexpr size_t kAlarmHigh = 2;
inline constexpr size_t kAlarmLow = 3;
inline constexpr size_t kConfig = 4;  // DS1822 and DS18B20 only
inline constexpr size_t kCountRemain = 6;
inline constexpr size_t kCountPerC = 7;
inline constexpr size_t kScratchpadCrc = 8;

// The temperature range of the three parts, which also bounds the alarm limits.
inline constexpr int kThermometerMinC = -55;
inline constexpr int kThermometerMaxC = 125;

// What the DS18S20, DS1822 and DS18B20 share: a 9-byte scratchpad read with Read Scratchpad and
// protected by a CRC8, alarm limits TH/TL (and on the newer parts a configuration byte) written
// with Write Scratchpad and kept in EEPROM by Copy Scratchpad, Convert T under strong pull-up.
// The device state is the scratchpad exactly as read, CRC byte included.
class ThermometerContainer : public OneWireContainer {
 public:
  using OneWireContainer::OneWireContainer;

  bool HasAlarms() const override { return true; }
  DeviceState readDevice() override;
  void writeDevice(const DeviceState& state) override;
  void doTemperatureConvert(DeviceState& state) override;
  bool hasTemperatureAlarms() const override { return true; }
  double getTemperatureAlarm(int type, const DeviceState& state) const override;
  void setTemperatureAlarm(int type, double value, DeviceState& state) override;
  double getTemperatureAlarmResolution() const override { return 1.0; }
  void recallE2() override;
  bool isExternalPowerSupplied(const DeviceState& state) override;
  // How long a conversion takes at the resolution this scratchpad holds.
  std::chrono::milliseconds ConversionTimeOf(const DeviceState& scratchpad) const {
    CheckState(scratchpad, "ConversionTimeOf");
    return ConversionTime(scratchpad);
  }

 protected:
  // How many bytes Write Scratchpad takes from byte 2 on (2: TH, TL; 3: also the configuration).
  virtual size_t WritableBytes() const = 0;
  // The bits of writable byte `index` (0 TH, 1 TL, 2 configuration) the device keeps as written.
  virtual uint8_t WritableMask(size_t index) const { return index < 2 ? 0xFF : 0x00; }
  // True when the conversion time depends on the device's configuration, which is then read
  // before each conversion.
  virtual bool ConversionTimeVaries() const { return false; }
  // The conversion time for a scratchpad with this content.
  virtual std::chrono::milliseconds ConversionTime(const DeviceState& scratchpad) const = 0;

  // The size of the device state: the scratchpad, or more for a family that adds its own bytes
  // after it.
  virtual size_t StateSize() const { return kScratchpadSize; }
  // Raises a GeneralFailure naming `call` unless `state` has the size StateSize gives.
  void CheckState(const DeviceState& state, const char* call) const;
  // Reads the scratchpad with retries; a corrupt read is never returned.
  DeviceState ReadScratchpad();

 private:
  // One Read Scratchpad transaction; raises a CRC failure for a corrupt read. A good read is
  // remembered as the device's last known scratchpad.
  DeviceState ReadScratchpadOnce();
  // Convert T under strong pull-up for `duration`, then waits while the device reports busy;
  // run again when cut off.
  void Convert(std::chrono::milliseconds duration);
  // True when the writable bytes of the two scratchpads differ in the bits the device keeps.
  bool WritableDiffers(const DeviceState& a, const DeviceState& b) const;
  // Issues read slots until the device reports it is done (it holds the line low while busy);
  // fails after `limit`.
  void WaitWhileBusy(std::chrono::milliseconds limit, const char* what);

  // The scratchpad last read from the device with a good CRC by this container, and the device
  // and adapter it came from; empty when unknown (never read, or after a failure or an EEPROM
  // recall). Only used for the conversion time, which the read after the conversion checks.
  std::optional<DeviceState> known_pad_;
  RomId known_rom_;
  const DSPortAdapter* known_adapter_ = nullptr;
};

}  // namespace qb::access
