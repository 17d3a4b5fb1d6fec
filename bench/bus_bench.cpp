// Bus time and CPU time of the device search and of reading thermometers and A/D converters
// (DS2450) on the simulated bus.
//
// The bus time is what the bus master put on the wire (resets, time slots, strong pull-up), priced
// at the datasheet's shortest timings; the physical minimum is the same operation done with the
// fewest resets and slots the protocol allows. Their ratio shows the overhead of our stack.
//
//   bus_bench [--short] [Google Benchmark options]
//
// --short runs the 10-device cases only, each briefly: the run the test suite makes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "access/adapter.h"
#include "access/bus_conversion.h"
#include "access/ds2450.h"
#include "access/families.h"
#include "platform/clock.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace {

using namespace qb;
using access::BusTimeMicros;
using access::BusTimings;

constexpr double kConversionUs = 750000;  // 12-bit conversion, the strong pull-up held that long

struct Bench {
  explicit Bench(int count) {
    for (int i = 0; i < count; ++i) {
      const auto rom = access::RomId::Make(0x28, 0x1000 + static_cast<uint64_t>(i) * 7919);
      bus->Add(sim::MakeDS18B20Model(rom, nlohmann::json{{"temperature", 20.0 + i * 0.0625}}));
      auto c = access::MakeDS18B20Container();
      c->SetupContainer(&adapter, rom.ToString());
      thermometers.push_back(std::move(c));
    }
    // Each thermometer's scratchpad, read once as the plug-in does before it converts; the
    // conversions below keep it current.
    for (auto& c : thermometers) states.push_back(c->readDevice());
  }
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  access::DSPortAdapter adapter{"SIM", "bench",
                                std::make_unique<sim::SimBusMaster>(bus, "bench bus")};
  std::vector<std::unique_ptr<access::OneWireContainer>> thermometers;
  std::vector<access::DeviceState> states;
};

// A bus of DS2450s at their power-on set-up (8 bits on each input), each device state read once.
struct QuadBench {
  explicit QuadBench(int count) {
    for (int i = 0; i < count; ++i) {
      const auto rom = access::RomId::Make(0x20, 0x2000 + static_cast<uint64_t>(i) * 7919);
      const double v = 0.1 + 0.01 * i;
      bus->Add(sim::MakeDS2450Model(rom, nlohmann::json{{"inputs", {v, v + 0.5, v + 1, v + 1.5}}}));
      auto c = access::MakeDS2450Container();
      c->SetupContainer(&adapter, rom.ToString());
      parts.push_back(std::move(c));
    }
    for (auto& c : parts) states.push_back(c->readDevice());
  }
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  access::DSPortAdapter adapter{"SIM", "bench",
                                std::make_unique<sim::SimBusMaster>(bus, "bench bus")};
  std::vector<std::unique_ptr<access::OneWireContainer>> parts;
  std::vector<access::DeviceState> states;
};

// As the read cycle reads a DS2450 one by one: its device state, then each input converted and
// its results read.
void ReadQuadOneByOne(QuadBench& b) {
  for (size_t i = 0; i < b.parts.size(); ++i) {
    b.states[i] = b.parts[i]->readDevice();
    for (int ch = 0; ch < 4; ++ch) {
      b.parts[i]->doADConvert(ch, b.states[i]);
      benchmark::DoNotOptimize(b.parts[i]->getADVoltage(ch, b.states[i]));
    }
  }
}

// With BusConvert=1: one Convert of every input of every part under the strong pull-up, then each
// part's device state read alone.
void ReadQuadBusWide(QuadBench& b) {
  access::ConvertAllQuadAD(b.adapter,
                           access::DS2450Container::AllChannelsConversionTime(b.states[0]));
  for (size_t i = 0; i < b.parts.size(); ++i) {
    b.states[i] = b.parts[i]->readDevice();
    for (int ch = 0; ch < 4; ++ch)
      benchmark::DoNotOptimize(b.parts[i]->getADVoltage(ch, b.states[i]));
  }
}

int SearchAll(Bench& b) {
  int found = 0;
  for (bool more = b.adapter.findFirstDevice(); more; more = b.adapter.findNextDevice()) ++found;
  return found;
}

void ReadOneByOne(Bench& b) {
  for (size_t i = 0; i < b.thermometers.size(); ++i) {
    b.thermometers[i]->doTemperatureConvert(b.states[i]);
    benchmark::DoNotOptimize(b.thermometers[i]->getTemperature(b.states[i]));
  }
}

void ReadWithSkipRomConversion(Bench& b) {
  // The library's bus-wide conversion (as the read cycle runs it with BusConvert=1): Convert T on
  // every thermometer at once under the strong pull-up, then each scratchpad read alone.
  access::ConvertAllThermometers(b.adapter, std::chrono::milliseconds(750), true);
  for (auto& c : b.thermometers) {
    const access::DeviceState state = c->readDevice();
    benchmark::DoNotOptimize(c->getTemperature(state));
  }
}

// Shortest possible bus time, in microseconds, from datasheet timings (standard speed).
double Reset() {
  return BusTimings{}.reset_us[0];
}
double Slots(double n) {
  return n * BusTimings{}.slot_us[0];
}
double MinSearch(int n) {
  return n * (Reset() + Slots(8 + 64 * 3));
}
double MinSelect() {
  return Reset() + Slots(8 + 64);
}
double MinOneByOne(int n) {
  return n * (MinSelect() + Slots(8) + kConversionUs + MinSelect() + Slots(8 + 9 * 8));
}
double MinSkipRom(int n) {
  return Reset() + Slots(16) + kConversionUs + n * (MinSelect() + Slots(8 + 9 * 8));
}

// The four inputs at 8 bits: 160 us and 80 us a bit of each.
constexpr double kQuadConversionUs = 160 + 4 * 8 * 80;
// A DS2450's device state: Read Memory from address 0 over its three pages, each page's eight
// bytes and CRC16.
double MinQuadState() {
  return MinSelect() + Slots(24 + 3 * (8 + 2) * 8);
}
// One Convert of all four inputs of each part (command, mask, read-out control, CRC16), then its
// state: the fewest slots for the same results.
double MinQuadOneByOne(int n) {
  return n * (MinSelect() + Slots(24 + 16) + kQuadConversionUs + MinQuadState());
}
double MinQuadBusWide(int n) {
  return Reset() + Slots(8 + 24 + 16) + kQuadConversionUs + n * MinQuadState();
}

void ReportQuad(int n) {
  struct Row {
    const char* name;
    void (*run)(QuadBench&);
    double (*minimum)(int);
  };
  const Row rows[] = {
      {"read A/D converters one by one", ReadQuadOneByOne, MinQuadOneByOne},
      {"read A/D after one bus-wide convert", ReadQuadBusWide, MinQuadBusWide},
  };
  for (const Row& row : rows) {
    QuadBench b(n);
    b.adapter.Master().ClearStats();
    row.run(b);
    const double bus = BusTimeMicros(b.adapter.Master().Stats());
    const double min = row.minimum(n);
    std::printf("%-36s %8d %14.1f %14.1f %7.3f\n", row.name, n, bus / 1000, min / 1000, bus / min);
  }
}

void Report(const std::vector<int>& counts) {
  std::printf("%-36s %8s %14s %14s %7s\n", "operation", "devices", "bus time ms", "minimum ms",
              "ratio");
  for (int n : counts) {
    struct Row {
      const char* name;
      void (*run)(Bench&);
      double (*minimum)(int);
    };
    const Row rows[] = {
        {"full search", [](Bench& b) { SearchAll(b); }, MinSearch},
        {"read thermometers one by one", ReadOneByOne, MinOneByOne},
        {"read after one bus-wide convert", ReadWithSkipRomConversion, MinSkipRom},
    };
    for (const Row& row : rows) {
      Bench b(n);
      b.adapter.Master().ClearStats();
      row.run(b);
      const double bus = BusTimeMicros(b.adapter.Master().Stats());
      const double min = row.minimum(n);
      std::printf("%-36s %8d %14.1f %14.1f %7.3f\n", row.name, n, bus / 1000, min / 1000,
                  bus / min);
    }
    ReportQuad(n);
  }
  std::printf("\n");
}

void BM_Search(benchmark::State& state) {
  Bench b(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(SearchAll(b));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Search)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_ReadOneByOne(benchmark::State& state) {
  Bench b(static_cast<int>(state.range(0)));
  for (auto _ : state) ReadOneByOne(b);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadOneByOne)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_ReadWithSkipRomConversion(benchmark::State& state) {
  Bench b(static_cast<int>(state.range(0)));
  for (auto _ : state) ReadWithSkipRomConversion(b);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadWithSkipRomConversion)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_ReadQuadBusWide(benchmark::State& state) {
  QuadBench b(static_cast<int>(state.range(0)));
  for (auto _ : state) ReadQuadBusWide(b);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReadQuadBusWide)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // --short: the 10-device cases only, each timed briefly (the run the test suite makes).
  std::vector<char*> args;
  bool quick = false;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--short") {
      quick = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  char filter[] = "--benchmark_filter=/10$";
  char min_time[] = "--benchmark_min_time=0.001";
  if (quick) args.insert(args.begin() + 1, {filter, min_time});
  argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  argv = args.data();

  Report(quick ? std::vector<int>{10} : std::vector<int>{10, 100});
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
