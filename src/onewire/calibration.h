#pragma once

#include <optional>
#include <string>

namespace qb {

// A two-point calibration of a channel: two readings as the device gave them and the true values
// they stand for; a reading in between (or beyond) is mapped along the straight line through
// them. Kept in the settings ([Calibration], by channel key: "raw1,true1,raw2,true2"). It works
// on the reading in the device's own unit (°C for temperatures, before a Fahrenheit scale), and
// the "Adjustment" offset is added after it.
struct Calibration {
  double raw1 = 0, true1 = 0, raw2 = 0, true2 = 0;
};

std::optional<Calibration> CalibrationOf(const std::string& key);
// Stores a calibration, or removes it (nullopt). The two raw values must differ.
void SetCalibration(const std::string& key, const std::optional<Calibration>& calibration);
// The reading as calibrated (unchanged without a calibration). The raw reading is remembered for
// the API (LastRawReading).
double Calibrated(const std::string& key, double raw);
std::optional<double> LastRawReading(const std::string& key);

}  // namespace qb
