#pragma once

#include <string>

namespace qb {

// The two-point calibration of a measured channel on its page: the two pairs of a raw and a true
// value, saved or removed by a form post.
std::string CalibrationForm(const std::string& key);
// Handles that post ("CalibrationKey" names the channel; "CalRaw1", "CalTrue1", "CalRaw2",
// "CalTrue2" the values; "RemoveCalibration" removes it). Returns what was wrong (nothing is
// changed then), empty when it was saved.
std::string CalibrationPost();

}  // namespace qb
