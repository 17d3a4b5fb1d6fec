#pragma once

#include <optional>

#include "access/switch_container.h"

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

// A part whose switches are the two PIO lines, with the PIO status byte last in its state.
template <class Base>
class PioSwitchContainer : public SwitchContainer<Base> {
 public:
  template <class... BaseArgs>
  explicit PioSwitchContainer(size_t state_size, BaseArgs&&... base_args)
      : SwitchContainer<Base>(SwitchLayout{state_size, 2, false, " (PIO-A is 0, PIO-B 1)"},
                              std::forward<BaseArgs>(base_args)...),
        pio_(state_size - 1) {}

  // Sets the channel's latch bit in the state; writeDevice sends it.
  void setLatchState(int channel, bool on, bool, DeviceState& state) override {
    this->CheckChannel(channel, state, "setLatchState");
    const auto bit = static_cast<uint8_t>(1u << (2 * channel + 1));
    state[pio_] =
        on ? static_cast<uint8_t>(state[pio_] & ~bit) : static_cast<uint8_t>(state[pio_] | bit);
  }

 protected:
  SwitchChannel ChannelAt(int channel, const DeviceState& state) const override {
    return {PioPinLevel(state[pio_], channel), PioConducts(state[pio_], channel), false};
  }
  // The PIO status byte, read again after a failed complement check.
  uint8_t ReadPio() {
    uint8_t status = 0;
    this->WithRetries([&] {
      this->Select();
      const auto read = PioAccessRead(this->Adapter());
      if (!read) this->CrcMismatch("the PIO status byte");
      status = *read;
    });
    return status;
  }
  // Sends the latches of `state` with the part's PIO Access Write command. A wrong confirmation
  // means the device did not take the byte (or its answer was garbled): the write is sent again,
  // and after the last attempt the failure is raised, never taken for a switched output.
  void WritePio(uint8_t command, const DeviceState& state) {
    const uint8_t outputs = PioOutputByte(state[pio_]);
    this->WithRetries([&] {
      this->Select();
      const auto status = PioAccessWrite(this->Adapter(), command, outputs);
      if (!status) this->CrcMismatch("the PIO write confirmation");
      if (PioOutputByte(*status) != outputs) this->CrcMismatch("the output latches read back");
    });
  }

 private:
  size_t pio_;
};

}  // namespace qb::access
