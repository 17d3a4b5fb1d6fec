#pragma once

#include "sim/sim_device.h"

namespace qb::sim {

// A device that answers the ROM layer only (a serial-number button, or a family the simulator
// has no model for). It can be told to answer the alarm search.
class GenericModel : public SimDevice {
 public:
  using SimDevice::SimDevice;
  void SetAlarming(bool alarming) { alarming_ = alarming; }

 protected:
  void OnFunctionCommand(uint8_t) override { Ignore(); }
  bool Alarming() override { return alarming_; }

 private:
  bool alarming_ = false;
};

}  // namespace qb::sim
