#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qb::sim {

// A value of a simulated device that may move with time: a constant, a sine, a random walk or
// a schedule of steps. Time is in seconds since the bus was loaded.
class ValueSource {
 public:
  virtual ~ValueSource() = default;
  virtual double At(double seconds) = 0;
  // The value read as a boolean (above 0.5 is true).
  bool BoolAt(double seconds) { return At(seconds) > 0.5; }
  // Replaces the source's value from now on (a test or the simulated device itself sets it).
  virtual void Set(double value) = 0;
  // Whether the value may differ from one moment to the next: when not, the simulator does not
  // need to read its clock to know it.
  virtual bool MovesWithTime() const { return true; }
};

// A constant value.
std::unique_ptr<ValueSource> Constant(double value);

// Reads a value of the bus file: a number, true/false, or a generator object:
//   {"type": "sine", "mean": 20, "amplitude": 5, "period_s": 600}
//   {"type": "walk", "start": 20, "step": 0.2, "interval_s": 10, "min": 10, "max": 30, "seed": 7}
//   {"type": "steps", "steps": [[0, 20], [60, 25]], "repeat_s": 120}
// Throws std::invalid_argument with a message naming `what` when the value is not one of these.
std::unique_ptr<ValueSource> ParseValueSource(const nlohmann::json& value, const std::string& what);

}  // namespace qb::sim
