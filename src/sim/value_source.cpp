#include "sim/value_source.h"

#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

namespace qb::sim {

namespace {

class ConstantSource : public ValueSource {
 public:
  explicit ConstantSource(double v) : value_(v) {}
  double At(double) override { return value_; }
  void Set(double v) override { value_ = v; }
  bool MovesWithTime() const override { return false; }

 private:
  double value_;
};

// Once set, a moving source holds the set value (a simulated device wrote it).
class Settable : public ValueSource {
 public:
  double At(double t) override { return fixed_ ? *fixed_ : Compute(t); }
  void Set(double v) override { fixed_ = v; }
  bool MovesWithTime() const override { return !fixed_; }

 protected:
  virtual double Compute(double t) = 0;

 private:
  std::optional<double> fixed_;
};

class SineSource : public Settable {
 public:
  SineSource(double mean, double amplitude, double period)
      : mean_(mean), amplitude_(amplitude), period_(period) {}

 protected:
  double Compute(double t) override {
    return mean_ + amplitude_ * std::sin(2 * std::numbers::pi * t / period_);
  }

 private:
  double mean_, amplitude_, period_;
};

// A seeded random walk, stepped once per interval; the same seed and time give the same value.
class WalkSource : public Settable {
 public:
  WalkSource(double start, double step, double interval, double lo, double hi, uint32_t seed)
      : start_(start), step_(step), interval_(interval), lo_(lo), hi_(hi), seed_(seed) {
    Restart();
  }

 protected:
  double Compute(double t) override {
    const auto target = static_cast<int64_t>(std::max(0.0, t) / interval_);
    if (target < steps_) Restart();
    std::uniform_real_distribution<double> d(-step_, step_);
    while (steps_ < target) {
      value_ = std::clamp(value_ + d(rng_), lo_, hi_);
      ++steps_;
    }
    return value_;
  }

 private:
  void Restart() {
    rng_.seed(seed_);
    value_ = std::clamp(start_, lo_, hi_);
    steps_ = 0;
  }
  double start_, step_, interval_, lo_, hi_;
  uint32_t seed_;
  std::mt19937 rng_;
  double value_ = 0;
  int64_t steps_ = 0;
};

class StepsSource : public Settable {
 public:
  StepsSource(std::vector<std::pair<double, double>> steps, double repeat)
      : steps_(std::move(steps)), repeat_(repeat) {}

 protected:
  double Compute(double t) override {
    if (repeat_ > 0) t = std::fmod(std::max(0.0, t), repeat_);
    double v = steps_.front().second;
    for (const auto& [at, value] : steps_) {
      if (t >= at) v = value;
    }
    return v;
  }

 private:
  std::vector<std::pair<double, double>> steps_;
  double repeat_;
};

double Number(const nlohmann::json& obj, const char* key, const std::string& what,
              std::optional<double> fallback = {}) {
  if (!obj.contains(key)) {
    if (fallback) return *fallback;
    throw std::invalid_argument(what + ": the generator needs \"" + key + "\"");
  }
  if (!obj[key].is_number())
    throw std::invalid_argument(what + ": \"" + key + "\" must be a number");
  return obj[key].get<double>();
}

}  // namespace

std::unique_ptr<ValueSource> Constant(double value) {
  return std::make_unique<ConstantSource>(value);
}

std::unique_ptr<ValueSource> ParseValueSource(const nlohmann::json& v, const std::string& what) {
  if (v.is_boolean()) return Constant(v.get<bool>() ? 1 : 0);
  if (v.is_number()) return Constant(v.get<double>());
  if (!v.is_object() || !v.contains("type") || !v["type"].is_string()) {
    throw std::invalid_argument(
        what + ": expected a number or a generator object with a \"type\" (sine, walk or steps)");
  }
  const std::string type = v["type"].get<std::string>();
  if (type == "sine") {
    const double period = Number(v, "period_s", what);
    if (period <= 0) throw std::invalid_argument(what + ": \"period_s\" must be above 0");
    return std::make_unique<SineSource>(Number(v, "mean", what), Number(v, "amplitude", what),
                                        period);
  }
  if (type == "walk") {
    const double interval = Number(v, "interval_s", what, 10.0);
    if (interval <= 0) throw std::invalid_argument(what + ": \"interval_s\" must be above 0");
    const double lo = Number(v, "min", what, -1e9), hi = Number(v, "max", what, 1e9);
    if (lo > hi) throw std::invalid_argument(what + ": \"min\" is above \"max\"");
    return std::make_unique<WalkSource>(Number(v, "start", what), Number(v, "step", what), interval,
                                        lo, hi,
                                        static_cast<uint32_t>(Number(v, "seed", what, 1.0)));
  }
  if (type == "steps") {
    if (!v.contains("steps") || !v["steps"].is_array() || v["steps"].empty()) {
      throw std::invalid_argument(what + ": \"steps\" must be a list of [seconds, value] pairs");
    }
    std::vector<std::pair<double, double>> steps;
    for (const auto& s : v["steps"]) {
      if (!s.is_array() || s.size() != 2 || !s[0].is_number() ||
          !(s[1].is_number() || s[1].is_boolean())) {
        throw std::invalid_argument(what + ": each step must be [seconds, value]");
      }
      steps.emplace_back(s[0].get<double>(),
                         s[1].is_boolean() ? (s[1].get<bool>() ? 1.0 : 0.0) : s[1].get<double>());
    }
    return std::make_unique<StepsSource>(std::move(steps), Number(v, "repeat_s", what, 0.0));
  }
  throw std::invalid_argument(what + ": unknown generator type \"" + type +
                              "\" (use sine, walk or steps)");
}

}  // namespace qb::sim
