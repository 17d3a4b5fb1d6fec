#pragma once

#include <array>
#include <memory>
#include <vector>

#include "sim/confirmed_write.h"
#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// The eight-channel addressable switch (family 29). Modelled: the registers 88h to 8Dh (pin
// levels, output latches, activity latches, conditional-search mask and polarity,
// control/status with PLS, CT, ROS, PORL and VCCP), Read PIO Registers (F0h, CRC16 to the end of
// the page), Channel-Access Read (F5h, 32 samples then a CRC16), Channel-Access Write (5Ah, byte,
// complement, AAh and the pin levels), Write Conditional Search Register (CCh), Reset Activity
// Latches (C3h, answered with AAh) and the conditional search. An activity latch is set by any
// edge at its pin; pins are sampled whenever the device is spoken to. Power-on state: every
// output off, activity latches and search registers cleared, PORL set, RSTZ a reset input.
class DS2408Model : public SimDevice {
 public:
  DS2408Model(const access::RomId& rom, uint8_t latches,
              std::array<std::unique_ptr<ValueSource>, 8> levels);

  bool Conducting(int channel) const { return !(latches_ >> channel & 1); }
  bool Activity(int channel) const { return activity_ >> channel & 1; }
  uint8_t Register(int address) const;
  ValueSource& OutsideLevel(int channel) { return *levels_[static_cast<size_t>(channel)]; }
  uint8_t PinLevels();
  // The next `count` Channel-Access Writes are answered with a wrong confirmation byte and not
  // taken, as when the byte arrived corrupted.
  void FailConfirmations(int count) { write_.FailConfirmations(count); }
  // A power-on reset: outputs off, registers cleared, PORL set.
  void PowerOn();
  // An edited bus file: the levels outside come from `edited`; latches, activity and the search
  // registers stay as the master left them, and a level the edit changed sets its activity
  // latch at the next sample, as an edge at the pin would.
  bool FollowValues(SimDevice& edited) override;

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override;
  bool Alarming() override;
  bool SupportsOverdrive() const override { return true; }

 private:
  enum class Step { None, Address, Reading, Writing, SearchRegister, Confirming };
  void Sample();
  void SendSamples();

  uint8_t latches_ = 0xFF;
  uint8_t activity_ = 0;
  uint8_t mask_ = 0;
  uint8_t polarity_ = 0;
  uint8_t control_ = 0x08;
  uint8_t last_pins_ = 0xFF;
  std::array<std::unique_ptr<ValueSource>, 8> levels_;

  uint8_t command_ = 0;
  Step step_ = Step::None;
  std::vector<uint8_t> rx_;
  uint16_t address_ = 0;
  ConfirmedWrite write_;
  bool first_block_ = true;
};

}  // namespace qb::sim
