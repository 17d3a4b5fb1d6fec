#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "access/rom.h"
#include "sim/value_source.h"

namespace qb::sim {

// Reads one per-channel list of a switch's bus-file entry ("latches" or "levels"): an array of
// at most `max_channels` values, each a number/boolean or a generator. An absent key gives an
// empty list. Raises std::invalid_argument naming the device and the key.
std::vector<std::unique_ptr<ValueSource>> ParseChannelList(const access::RomId& rom,
                                                           const nlohmann::json& device,
                                                           const std::string& key,
                                                           size_t max_channels);

// The channels of a switch's bus-file entry with N channels.
template <size_t N>
struct SwitchChannels {
  // The output transistors at power-on, from "latches" at time 0: a channel not listed is off.
  std::array<bool, N> conducting{};
  // The levels outside, from "levels": a channel not listed is held high by its pull-up.
  std::array<std::unique_ptr<ValueSource>, N> levels;
  // How many channels the longer of the two lists names.
  size_t listed = 0;
};

template <size_t N>
SwitchChannels<N> ParseSwitchChannels(const access::RomId& rom, const nlohmann::json& device) {
  auto latches = ParseChannelList(rom, device, "latches", N);
  auto levels = ParseChannelList(rom, device, "levels", N);
  SwitchChannels<N> out;
  out.listed = std::max(latches.size(), levels.size());
  for (size_t c = 0; c < latches.size(); ++c) out.conducting[c] = latches[c]->BoolAt(0);
  for (size_t c = 0; c < N; ++c)
    out.levels[c] = c < levels.size() ? std::move(levels[c]) : Constant(1);
  return out;
}

}  // namespace qb::sim
