#include "sim/switch_channels.h"

#include <stdexcept>

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

}  // namespace qb::sim
