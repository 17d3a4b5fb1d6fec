// A long run of the plug-in's real reading code on a faulty simulated bus, on the simulated clock:
// 100 devices (thermometers, two counter chips), every device with 10 % of its transfers failing
// their CRC, some reading all zeros or losing conversions, some leaving the bus for a while and
// coming back, and a counter chip losing power every few hours.
//
// It checks what users must be able to trust and prints the counts:
//  - no wrong value reaches the host or the database (each thermometer measures one known value);
//  - every injected fault is counted in the health figures (CRC errors, power-on values), and
//    every read of an absent device as an absence;
//  - a counter with the total option never goes back.
//
//   soak_bench [--short] [--hours N]
//
// The default run is a simulated day (some 20 minutes of real time: every poll tick searches the
// whole bus); --short (used by the test suite) ten simulated minutes. Exit status 1 when any
// check fails.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "onewire/counter_total.h"
#include "onewire/device_health.h"
#include "onewire/network_fixture.h"
#include "onewire/read_cycle.h"
#include "registry/value_text.h"
#include "sim/sim_device.h"

namespace qb::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kThermometers = 98;
constexpr int kVanishing = 10;  // of the thermometers, those that leave the bus for a while

class Soak : public NetworkTest {
 public:
  void TestBody() override {}

  int Run(int minutes) {
    auto rows = std::make_shared<RecordingValueLog>();
    Plugin().parts.database = rows;
    store.Set("Settings", "chkDBLog", "1");
    store.Set("Settings", "PollCycle", "30");

    json devices = json::array();
    std::map<std::string, double> expected;  // thermometer ROM id -> its temperature
    for (int i = 0; i < kThermometers; ++i) {
      const bool s20 = i % 7 == 3;
      const std::string rom = Rom(s20 ? 0x10 : 0x28, 100 + static_cast<uint64_t>(i));
      // Whole and half degrees from -20 to +85: values both families read exactly.
      const double t = i == 0 ? 85.0 : -20.0 + 0.5 * (i * 37 % 210);
      expected[rom] = t;
      json faults = {{"crc_error_rate", 0.1}};
      if (i % 5 == 1) faults["zeros_rate"] = 0.05;
      if (i % 5 == 2 && !s20) faults["power_on_rate"] = 0.2;
      json d = {{"rom", rom}, {"temperature", t}, {"faults", faults}};
      if (i >= kThermometers - kVanishing) {
        // Away for 10 minutes in every 2 hours, each at its own time.
        const int at = 600 + 300 * (i % 10);
        d["present"] = {
            {"type", "steps"}, {"steps", {{0, 1}, {at, 0}, {at + 600, 1}}}, {"repeat_s", 7200}};
      }
      store.Set("Log", rom + "M", "1");
      devices.push_back(d);
    }
    // Two counter chips: the first loses power every 3 hours and counts again from 0.
    const std::string counter = Rom(0x1D, 900), steady = Rom(0x1D, 901);
    // Seven counts every 2 minutes, the chip losing power every 3 hours (in a run of an hour or
    // less, once, half-way).
    json ramp = {{"type", "steps"}, {"steps", json::array()}};
    for (int m = 0; m <= minutes; m += 2) ramp["steps"].push_back({m * 60, m / 2 * 7});
    devices.push_back({{"rom", counter},
                       {"counters", {ramp, ramp, 0, 0}},
                       {"power_lost_every_s", minutes > 60 ? 3 * 3600 : minutes * 60 / 2},
                       {"faults", {{"crc_error_rate", 0.1}}}});
    devices.push_back(
        {{"rom", steady}, {"counters", {1, 2, 3, 4}}, {"faults", {{"crc_error_rate", 0.1}}}});
    SetCounterTotal(counter + "K1", true);

    Start(devices);
    int wrong_host = 0, wrong_rows = 0, counter_back = 0;
    double total = -1;
    const auto end = clock.Now() + std::chrono::minutes(minutes);
    int64_t polls = 0;
    while (clock.Now() < end) {
      Poll(5s);
      ++polls;
      if (polls % 6 != 0) continue;  // look every 30 s
      for (const auto& [rom, t] : expected) {
        auto d = HostDevice(rom + "-Temp");
        if (!d || d->string_.empty() || d->string_ == kNoReadingText) continue;
        if (std::fabs(ReadNumber(d->string_) - t) > 1e-9) {
          if (++wrong_host <= 5)
            std::printf("WRONG host value %s for %s (measures %g)\n", d->string_.c_str(),
                        rom.c_str(), t);
        }
      }
      if (auto d = HostDevice(counter + "-Counter1"); d && !d->string_.empty()) {
        const double now = ReadNumber(d->string_);
        if (now < total && ++counter_back <= 5)
          std::printf("Counter total went back from %g to %g\n", total, now);
        total = std::max(total, now);
      }
    }
    for (const auto& [key, value] : rows->rows) {
      const auto it = expected.find(key.substr(0, 16));
      if (it == expected.end() || std::fabs(value - it->second) > 1e-9) {
        if (++wrong_rows <= 5) std::printf("WRONG database row %s = %g\n", key.c_str(), value);
      }
    }

    int64_t crc_injected = 0, zeros_injected = 0, power_ons_injected = 0;
    for (const auto& device : bus->devices()) {
      if (device->rom().family() == 0x1D) continue;  // the counters' transfers are counted apart
      crc_injected += device->faults().crc_errors_injected;
      zeros_injected += device->faults().zeros_injected;
      power_ons_injected += device->faults().power_ons_injected;
    }
    HealthCounts thermometers;
    for (const auto& [rom, t] : expected) {
      if (auto h = HealthOf(rom)) thermometers += h->since_start;
    }
    const HealthCounts bus_sum = BusSinceStart();
    std::printf("Simulated %d min, %lld poll ticks, %zu devices\n", minutes,
                static_cast<long long>(polls * 20), bus->devices().size());
    std::printf("Thermometers: %s\n", HealthText(thermometers).c_str());
    std::printf("Injected: %lld bit errors, %lld all-zero blocks, %lld lost conversions\n",
                static_cast<long long>(crc_injected), static_cast<long long>(zeros_injected),
                static_cast<long long>(power_ons_injected));
    std::printf("Bus: %s, %.1f %% failed\n", HealthText(bus_sum).c_str(), ErrorPercent(bus_sum));
    std::printf("Database rows: %zu, wrong: %d; wrong host values: %d\n", rows->rows.size(),
                wrong_rows, wrong_host);
    std::printf("Counter total: %g, went back %d times; drops logged: %d\n", total, counter_back,
                CountLog(" went back "));

    bool ok = true;
    auto check = [&](bool good, const char* what) {
      if (!good) std::printf("FAILED: %s\n", what);
      ok = ok && good;
    };
    check(wrong_host == 0, "no wrong value reaches the host");
    check(wrong_rows == 0, "no wrong value reaches the database");
    check(counter_back == 0 && total > 0, "the counter total never goes back");
    check(CountLog(" went back ") >= 2, "every drop of the counter chip is logged");
    check(thermometers.crc_errors == crc_injected + zeros_injected,
          "every corrupted or all-zero transfer is counted as a CRC error");
    // A lost conversion is rejected when it is read; one followed by another conversion before
    // any read (an alarm check's) is never seen, so the counts need not be equal.
    check(thermometers.power_on_rejected <= power_ons_injected &&
              (power_ons_injected == 0 || thermometers.power_on_rejected > 0),
          "lost conversions are counted as power-on values rejected");
    check(thermometers.absences > 0, "absences are counted");
    check(rows->rows.size() > 0, "readings reach the database");
    return ok ? 0 : 1;
  }

 private:
  int CountLog(const std::string& text) {
    int n = 0;
    for (const auto& t : host->LogTexts("1-Wire I/F")) n += t.find(text) != t.npos;
    return n;
  }
};

}  // namespace
}  // namespace qb::test

int main(int argc, char** argv) {
  int minutes = 24 * 60;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--short") == 0) minutes = 10;
    if (std::strcmp(argv[i], "--hours") == 0 && i + 1 < argc) minutes = 60 * std::atoi(argv[++i]);
  }
  ::testing::InitGoogleMock(&argc, argv);
  qb::test::Soak soak;
  return soak.Run(minutes);
}
