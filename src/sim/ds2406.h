#pragma once

#include <array>
#include <memory>
#include <vector>

#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// The dual addressable switch. Modelled: the 8-byte status memory (bytes 0 to 4 erased EPROM,
// 5 and 6 zero, byte 7 the SRAM byte with the conditional-search selection CSS0..CSS4 in bits 0
// to 4, the PIO-A/PIO-B channel flip-flops in bits 5 and 6, 0 meaning the transistor conducts,
// and the supply indication in bit 7), Read Status, Write Status of byte 7, Channel Access with
// its two control bytes, channel-info byte and CRC16 modes, and the conditional search. The
// activity latch of a channel is set by any edge at its pin; pins are sampled whenever the
// device is spoken to. The 1024-bit EPROM data memory is not modelled.
class DS2406Model : public SimDevice {
 public:
  bool FollowValues(SimDevice& edited) override;
  DS2406Model(const access::RomId& rom, int channels, std::array<bool, 2> conducting,
              std::array<std::unique_ptr<ValueSource>, 2> levels);

  int Channels() const { return channels_; }
  bool Conducting(int channel) const { return !(status_[7] >> (5 + channel) & 1); }
  bool Activity(int channel) const { return activity_[static_cast<size_t>(channel)]; }
  uint8_t Status(int address) const { return status_[static_cast<size_t>(address)]; }
  ValueSource& OutsideLevel(int channel) { return *levels_[static_cast<size_t>(channel)]; }
  // The level at the pin now: low while its transistor conducts.
  bool PinLevel(int channel);
  // The channel-info byte as Channel Access reports it now.
  uint8_t ChannelInfo();

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override;
  bool Alarming() override;

 private:
  enum class Step { None, Address, WriteData, WriteConfirm, Control, AccessRead, AccessWrite };
  void Sample();
  void StartAccess();
  void AccessByteDone(uint8_t data);
  bool Reading() const;

  int channels_;
  std::array<uint8_t, 8> status_{};
  std::array<std::unique_ptr<ValueSource>, 2> levels_;
  std::array<bool, 2> activity_{false, false};
  std::array<bool, 2> last_pin_{true, true};

  uint8_t command_ = 0;
  Step step_ = Step::None;
  std::vector<uint8_t> rx_;  // command and the bytes after it, for the CRC
  uint16_t address_ = 0;
  // Channel Access.
  uint8_t control_ = 0;
  uint16_t crc_ = 0;
  int bytes_since_crc_ = 0;
  int bytes_done_ = 0;
};

}  // namespace qb::sim
