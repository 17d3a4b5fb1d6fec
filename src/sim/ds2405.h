#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// Reads one per-channel list of a switch's bus-file entry ("latches" or "levels"): an array of
// at most `max_channels` values, each a number/boolean or a generator. An absent key gives an
// empty list. Raises std::invalid_argument naming the device and the key.
std::vector<std::unique_ptr<ValueSource>> ParseChannelList(const access::RomId& rom,
                                                           const nlohmann::json& device,
                                                           const std::string& key,
                                                           size_t max_channels);

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
