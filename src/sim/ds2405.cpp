#include "sim/ds2405.h"

#include <stdexcept>

#include "sim/models.h"

namespace qb::sim {

std::vector<std::unique_ptr<ValueSource>> ParseChannelList(const access::RomId& rom,
                                                           const nlohmann::json& device,
                                                           const std::string& key,
                                                           size_t max_channels) {
  std::vector<std::unique_ptr<ValueSource>> out;
  if (!device.is_object() || !device.contains(key)) return out;
  const std::string name = "device " + rom.ToString() + " \"" + key + "\"";
  const nlohmann::json& list = device[key];
  if (!list.is_array()) {
    throw std::invalid_argument(
        name + " must be an array of booleans, numbers or generators, one per channel");
  }
  if (list.size() > max_channels) {
    throw std::invalid_argument(name + " has " + std::to_string(list.size()) +
                                " entries; this part has at most " + std::to_string(max_channels) +
                                " channel(s)");
  }
  for (size_t i = 0; i < list.size(); ++i) {
    out.push_back(ParseValueSource(list[i], name + "[" + std::to_string(i) + "]"));
  }
  return out;
}

DS2405Model::DS2405Model(const access::RomId& rom, bool conducting,
                         std::unique_ptr<ValueSource> level)
    : SimDevice(rom), conducting_(conducting), level_(std::move(level)) {}

bool DS2405Model::PinLevel() {
  return !conducting_ && level_->BoolAt(Seconds());
}

std::unique_ptr<SimDevice> MakeDS2405Model(const access::RomId& rom, const nlohmann::json& device) {
  auto latches = ParseChannelList(rom, device, "latches", 1);
  auto levels = ParseChannelList(rom, device, "levels", 1);
  // Power-on: the output is off and the pull-up holds the pin high.
  const bool conducting = !latches.empty() && latches[0]->BoolAt(0);
  std::unique_ptr<ValueSource> level = levels.empty() ? Constant(1) : std::move(levels[0]);
  return std::make_unique<DS2405Model>(rom, conducting, std::move(level));
}

bool DS2405Model::FollowValues(SimDevice& edited) {
  auto* e = dynamic_cast<DS2405Model*>(&edited);
  if (!e) return false;
  level_ = std::move(e->level_);
  return true;
}

}  // namespace qb::sim
