// Creating channel devices in the host: every allocation walks the host's whole device list
// (once per house code tried), so the cost per device grows with the number of devices. This
// shows how much, on the stand-alone host.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "core/plugin_state.h"
#include "host/builtin_host.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "registry/host_codes.h"
#include "registry/records.h"

namespace {

using namespace qb;

// The temperature channel key of the i-th thermometer (ROM ids need no valid CRC here).
std::string ThermometerKey(int i) {
  char rom[17];
  std::snprintf(rom, sizeof rom, "00%012X28", static_cast<unsigned>(i));
  return std::string(rom) + "M";
}

void BM_CreateChannelDevices(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    std::string pattern = (std::filesystem::temp_directory_path() / "qb-bench-XXXXXX").string();
    const std::filesystem::path dir = mkdtemp(pattern.data());
    SimulatedClock clock;
    HeadlessEventLoop loop(clock);
    IniSettingsStore store;
    HeadlessUserInterface ui(clock, nullptr);
    auto host = std::make_shared<BuiltInHost>(dir.string(), clock, false);
    ResetPluginState();
    ResetRegistry();
    Plugin().services = PluginServices{&store, &ui, &loop, &clock};
    Plugin().host = host;
    Plugin().callback = host;
    InitHouseCodes(-1);
    state.ResumeTiming();

    for (int i = 0; i < count; ++i) {
      const std::string key = ThermometerKey(i);
      auto record = gROMs().FindDev(key);
      CreateHSDevice(*record, "DS18B20", "0", key + "-Temp");
    }

    state.PauseTiming();
    ResetRegistry();
    ResetPluginState();
    std::filesystem::remove_all(dir);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}

}  // namespace

BENCHMARK(BM_CreateChannelDevices)
    ->Arg(100)
    ->Arg(500)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

BENCHMARK_MAIN();
