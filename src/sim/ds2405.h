#pragma once

#include <memory>

#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// The addressable switch: one open-drain output. A Match ROM toggles the output; after the match,
// and after a search that singled the device out, every read slot reports the level at the pin.
// The Active-Only (alarm) search finds the device while its output transistor conducts.
class DS2405Model : public SimDevice {
 public:
  bool FollowValues(SimDevice& edited) override;
  DS2405Model(const access::RomId& rom, bool conducting, std::unique_ptr<ValueSource> level);

  // True while the output transistor conducts.
  bool Conducting() const { return conducting_; }
  void SetConducting(bool on) { conducting_ = on; }
  // The level the outside world drives while the output does not conduct.
  ValueSource& OutsideLevel() { return *level_; }
  // The level at the pin now: low while the output conducts.
  bool PinLevel();

 protected:
  void OnFunctionCommand(uint8_t) override {}  // the part has no function commands
  void OnMatched() override { conducting_ = !conducting_; }
  bool IdleBit() override { return PinLevel(); }
  bool Alarming() override { return conducting_; }

 private:
  bool conducting_;
  std::unique_ptr<ValueSource> level_;
};

}  // namespace qb::sim
