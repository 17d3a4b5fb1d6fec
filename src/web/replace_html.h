#pragma once

#include <string>

namespace qb {

// Replacing a failed sensor from its page: the new sensor's ROM id and a button.
std::string ReplaceForm(const std::string& key);
// Handles that post ("ReplaceKey" names the channel, "ReplaceRom" the new sensor). Returns what
// was wrong (nothing is changed then), empty when the sensor was replaced; `new_key` is then the
// key the channel has now.
std::string ReplacePost(std::string& new_key);

}  // namespace qb
