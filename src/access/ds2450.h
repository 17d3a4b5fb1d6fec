#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "access/container.h"

namespace qb::access {

// The DS2450 quad A/D converter (family 20): four inputs A to D (channels 0 to 3), each with a
// range of 2.56 V or 5.12 V, a resolution of 1 to 16 bits, low and high alarm limits that put
// the device in the alarm search, and an open-drain output.
//
// The device state is 24 bytes, memory pages 0 to 2 as the device holds them:
//   [0..7]   conversion results, two bytes per channel (LSB first), left-aligned to 16 bits;
//   [8..15]  control/status, two bytes per channel:
//              first:  RC3..RC0 bits 0-3 (resolution, 0 meaning 16 bits), OC bit 6, OE bit 7;
//              second: IR bit 0 (5.12 V range), AEL bit 2, AEH bit 3, AFL bit 4, AFH bit 5,
//                      POR bit 7;
//   [16..23] alarm limits, two bytes per channel: low, then high (compared with the 8 most
//            significant bits of a result: a step is range / 256).
//
// An output is "on" when its transistor conducts (OE set, OC clear): it then pulls its input
// and whatever hangs on it to ground.
class DS2450Container : public OneWireContainer {
 public:
  static constexpr size_t kStateSize = 24;

  DS2450Container();

  bool HasAlarms() const override { return true; }
  DeviceState readDevice() override;
  // Writes the control/status and alarm bytes that differ from the device. The alarm flags are
  // the device's own: their current values are kept, so an alarm the device raised after the
  // state was read is never wiped out. The power-on flags are cleared: the channels are set up.
  void writeDevice(const DeviceState& state) override;

  int getNumberADChannels() const override { return 4; }
  // Converts one channel at the resolution the state gives it, then reads the results into the
  // state (and the alarm flags the conversion set).
  void doADConvert(int channel, DeviceState& state) override;
  double getADVoltage(int channel, const DeviceState& state) const override;
  // True when the result has all the bits of the channel's resolution set: the converter clips
  // any input above its range to that code.
  bool isADOverRange(int channel, const DeviceState& state) const override;
  std::vector<double> getADRanges(int channel) const override;
  double getADRange(int channel, const DeviceState& state) const override;
  void setADRange(int channel, double range, DeviceState& state) override;
  std::vector<double> getADResolutions(int channel, double range) const override;
  double getADResolution(int channel, const DeviceState& state) const override;
  void setADResolution(int channel, double resolution, DeviceState& state) override;
  bool hasADAlarms() const override { return true; }
  double getADAlarm(int channel, int type, const DeviceState& state) const override;
  void setADAlarm(int channel, int type, double value, DeviceState& state) override;
  bool getADAlarmEnable(int channel, int type, const DeviceState& state) const override;
  void setADAlarmEnable(int channel, int type, bool enable, DeviceState& state) override;
  bool hasADAlarmed(int channel, int type, const DeviceState& state) const override;
  bool isOutputEnabled(int channel, const DeviceState& state) const override;
  bool getOutputState(int channel, const DeviceState& state) const override;
  void setOutput(int channel, bool enable, bool state_on, DeviceState& state) override;

  // The longest a conversion of one channel at `bits` takes: 80 us a bit and 160 us once.
  static std::chrono::milliseconds ConversionTime(int bits);
  // The longest one Convert of all four channels takes at the resolutions `state` gives them:
  // 80 us a bit of each channel and 160 us once.
  static std::chrono::microseconds AllChannelsConversionTime(const DeviceState& state);

 private:
  // Reads `length` bytes from `address` on with Read Memory, checking the CRC16 after each page.
  std::vector<uint8_t> ReadMemory(uint16_t address, size_t length);
  // Writes consecutive bytes with Write Memory, checking each byte's CRC16 and read-back.
  void WriteMemory(uint16_t address, const std::vector<uint8_t>& bytes);
  void CheckChannel(int channel) const;
  void CheckType(int type) const;
  void CheckState(const DeviceState& state, const char* call) const;
  double Range(int channel, const DeviceState& state) const;
  int Bits(int channel, const DeviceState& state) const;
};

}  // namespace qb::access
