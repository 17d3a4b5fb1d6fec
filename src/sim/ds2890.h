#pragma once

#include <cstdint>

#include "sim/sim_device.h"

namespace qb::sim {

// The digital potentiometer: one linear 100 kOhm element with a volatile wiper of 256
// positions (feature register F3h) and the control register (charge pump in bit 6, the wiper
// number in bits 0-1 and its complement in bits 2-3; power-on 0Ch). Modelled: Read Position,
// Write Position and Write Control (echo, then the release code 96h; a wrong release code or an
// invalid control value changes nothing), Read Control, Increment and Decrement (repeatable
// without a reset; at the ends the wiper stays). The conditional search finds the device while
// its wiper is still at the position it powered up with.
class DS2890Model : public SimDevice {
 public:
  DS2890Model(const access::RomId& rom, uint8_t wiper);

  uint8_t Wiper() const { return wiper_; }
  void SetWiper(uint8_t w) { wiper_ = w; }
  uint8_t Control() const { return control_; }
  static constexpr uint8_t kFeatures = 0xF3;

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override {
    step_ = Step::None;
    zeros_ = false;
  }
  bool IdleBit() override { return !zeros_; }
  bool Alarming() override { return wiper_ == power_on_wiper_; }
  bool SupportsOverdrive() const override { return true; }

 private:
  enum class Step { None, Value, Release, Done, Stepping };
  void Move(bool up);

  uint8_t wiper_;
  uint8_t power_on_wiper_;
  uint8_t control_ = 0x0C;
  uint8_t command_ = 0;
  uint8_t value_ = 0;
  Step step_ = Step::None;
  bool zeros_ = false;  // the device answers further read slots with zeros
};

}  // namespace qb::sim
