#pragma once

#include <array>
#include <memory>

#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// The coupler: a main and an auxiliary branch that can be connected to the bus (at most one at
// a time), and a control output. Modelled: Status Read/Write with its status control byte and the
// status info byte sent twice, All Lines Off, Discharge Lines, Direct-On Main, Smart-On Main and
// Smart-On Auxiliary with their confirmation bytes, the event flags (a falling level at a branch
// that is not connected) and the conditional search, which finds the device while an event flag
// is set. Devices behind the branches are not modelled: a Smart-On reports that no presence
// pulse answered its reset.
class DS2409Model : public SimDevice {
 public:
  bool FollowValues(SimDevice& edited) override;
  DS2409Model(const access::RomId& rom, int connected,
              std::array<std::unique_ptr<ValueSource>, 2> levels);

  // 0 main, 1 auxiliary.
  bool Connected(int branch) const { return connected_ == branch; }
  bool Event(int branch) const { return events_[static_cast<size_t>(branch)]; }
  bool Discharging() const { return discharging_; }
  ValueSource& OutsideLevel(int branch) { return *levels_[static_cast<size_t>(branch)]; }
  // The level at a branch: the bus idles high through a connected branch, a discharge pulls
  // both low, otherwise what the outside world drives.
  bool Level(int branch);
  // True while the control output's transistor conducts.
  bool ControlOn() const;
  uint8_t StatusInfo();

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnReset() override;
  bool Alarming() override;
  bool SupportsOverdrive() const override { return true; }

 private:
  void Sample();
  void Connect(int branch);

  int connected_;  // -1 none
  bool discharging_ = false;
  bool manual_ = false;       // control output mode: manual
  bool control_aux_ = false;  // auto mode: the control output follows the auxiliary branch
  bool control_on_ = false;   // manual mode: the control output's transistor conducts
  std::array<bool, 2> events_{false, false};
  std::array<bool, 2> last_level_{true, true};
  std::array<std::unique_ptr<ValueSource>, 2> levels_;
  uint8_t command_ = 0;
  bool awaiting_ = false;
};

}  // namespace qb::sim
