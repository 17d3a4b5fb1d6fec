#pragma once

#include <optional>

#include "access/container.h"

namespace qb::access {

// The PIO status byte of the dual-channel parts (DS2413, and the two PIO lines of the DS28EA00):
// bit 0 PIO-A pin level, bit 1 PIO-A output latch, bit 2 PIO-B pin level, bit 3 PIO-B output
// latch; bits 4 to 7 are the complement of bits 0 to 3. A latch of 0 means the output
// transistor conducts.
inline bool PioStatusValid(uint8_t status) {
  return (status >> 4) == (~status & 0x0F);
}
inline bool PioPinLevel(uint8_t status, int channel) {
  return status >> (2 * channel) & 1;
}
inline bool PioConducts(uint8_t status, int channel) {
  return !(status >> (2 * channel + 1) & 1);
}
// The output byte a PIO Access Write sends for the latches of `status`: bit 0 PIO-A, bit 1 PIO-B,
// the unused upper bits 1 as the datasheets ask.
inline uint8_t PioOutputByte(uint8_t status) {
  return static_cast<uint8_t>(0xFC | (status >> 1 & 1) | (status >> 2 & 2));
}

// One PIO Access Write transaction on a selected device: the command, the output byte and its
// complement, then the confirmation byte (AAh) and the new PIO status. Returns the status, or
// nothing when the confirmation or the status byte is wrong (the device did not take the byte,
// or the reply was corrupted). Ends with a bus reset.
std::optional<uint8_t> PioAccessWrite(DSPortAdapter& adapter, uint8_t command, uint8_t outputs);
// One PIO Access Read on a selected device: the PIO status byte, or nothing when its complement
// nibble does not match. Ends with a bus reset.
std::optional<uint8_t> PioAccessRead(DSPortAdapter& adapter);

// Family 3A: the dual-channel addressable switch. Two open-drain PIO channels, each with an
// output latch and a sensed pin level; no activity latches and no memory.
//
// State (1 byte): the PIO status byte as read (see above). setLatchState changes the latch bits;
// writeDevice sends them with PIO Access Write and checks the confirmation.
class DS2413Container : public OneWireContainer {
 public:
  DS2413Container() : OneWireContainer(0x3A) {}

  DeviceState readDevice() override;
  void writeDevice(const DeviceState& state) override;

  int getNumberChannels(const DeviceState& state) const override;
  bool hasLevelSensing() const override { return true; }
  bool hasActivitySensing() const override { return false; }
  bool getLevel(int channel, const DeviceState& state) const override;
  bool getLatchState(int channel, const DeviceState& state) const override;
  void setLatchState(int channel, bool on, bool smart, DeviceState& state) override;

 private:
  void CheckChannel(int channel, const DeviceState& state, const char* call) const;
};

}  // namespace qb::access
