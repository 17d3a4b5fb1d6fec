// The device list and the debug page of a network of 500 channels, each fetched over HTTP from
// the built-in host's web server, against the same request for the host's own device list
// (/api/devices, JSON of the same devices). Prints the time per request and the ratio.
//
//   pages_bench            500 channels, 40 requests of each kind
//   pages_bench --short    50 channels, 3 requests of each (CI: that it runs, not the numbers)
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "core/hspi.h"
#include "core/plugin_state.h"
#include "host/builtin_host.h"
#include "host/web_server.h"
#include "host/web_users.h"
#include "http_load.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "web/built_pages.h"
#include "web/plugin_pages.h"

namespace {

using namespace qb;
using Seconds = std::chrono::duration<double>;

// Milliseconds per request of the earlier web server (threads on a blocking library), from one
// full run of this program on the development machine: what the present server is compared with.
constexpr double kBeforeApiMs = 2.76;
constexpr double kBeforeListMs = 3.29;
constexpr double kBeforeDebugMs = 1.34;

// The temperature channel key of the i-th thermometer (ROM ids need no valid CRC here).
std::string ThermometerKey(int i) {
  char rom[17];
  std::snprintf(rom, sizeof rom, "00%012X28", static_cast<unsigned>(i));
  return std::string(rom) + "M";
}

// Seconds per request of `path`, mean and 95th percentile, after one request that warms up;
// mean -1 on a failed request.
struct Timing {
  double mean = -1, p95 = 0;
};
Timing TimePerRequest(bench::HttpConnection& client, const std::string& path, int requests,
                      size_t& bytes) {
  std::string body;
  if (const int status = client.Get(path, &body); status != 200) {
    std::fprintf(stderr, "pages_bench: %s answered %d\n", path.c_str(), status);
    return {};
  }
  bytes = body.size();
  std::vector<double> each;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < requests; ++i) {
    const auto one = std::chrono::steady_clock::now();
    if (client.Get(path) != 200) return {};
    each.push_back(Seconds(std::chrono::steady_clock::now() - one).count());
  }
  std::sort(each.begin(), each.end());
  return {Seconds(std::chrono::steady_clock::now() - start).count() / requests,
          each[std::min(each.size() - 1, static_cast<size_t>(each.size() * 0.95))]};
}

}  // namespace

int main(int argc, char** argv) {
  const bool short_mode = argc > 1 && std::strcmp(argv[1], "--short") == 0;
  const int channels = short_mode ? 50 : 500;
  const int requests = short_mode ? 3 : 40;

  std::string pattern = (std::filesystem::temp_directory_path() / "qb-bench-XXXXXX").string();
  const std::filesystem::path dir = mkdtemp(pattern.data());
  int status = 0;
  {
    SystemClock clock;
    HeadlessEventLoop loop(clock);
    IniSettingsStore store;
    HeadlessUserInterface ui(clock, nullptr);
    auto host = std::make_shared<BuiltInHost>(dir.string(), clock, false);
    host->Start();
    WebUsers users;
    users.Load(dir / "users");
    ResetPluginState();
    ResetRegistry();
    Plugin().services = PluginServices{&store, &ui, &loop, &clock};
    Plugin().host = host;
    Plugin().callback = host;
    Plugin().parts.pages = std::make_shared<PluginWebPages>(std::make_shared<BuiltPages>());
    hspi plugin;
    host->AttachPlugin(&plugin);
    plugin.set_link("1-Wire");
    host->RegisterLink(plugin);
    InitHouseCodes(-1);
    for (int i = 0; i < channels; ++i) {
      const std::string key = ThermometerKey(i);
      auto record = gROMs().FindDev(key);
      CreateHSDevice(*record, "DS18B20", "0", key + "-Temp");
      record->HSString = std::to_string(15 + i % 10) + ".5";
    }

    HostWebServer server(*host, loop, users, dir / "html" / "1wire");
    if (std::string error = server.Bind("127.0.0.1", 0); !error.empty()) {
      std::fprintf(stderr, "pages_bench: %s\n", error.c_str());
      return 1;
    }
    server.Start();
    std::promise<int> done;
    std::thread client_thread([&] {
      bench::HttpConnection client(server.Port());
      size_t list_bytes = 0, debug_bytes = 0, api_bytes = 0;
      const Timing list_t = TimePerRequest(client, "/1-Wire?PAGE=0", requests, list_bytes);
      const Timing debug_t = TimePerRequest(client, "/1-Wire?PAGE=3", requests, debug_bytes);
      const Timing api_t = TimePerRequest(client, "/api/devices", requests, api_bytes);
      const double list = list_t.mean, debug = debug_t.mean, api = api_t.mean;
      int result = 0;
      if (list < 0 || debug < 0 || api < 0 || list_bytes < static_cast<size_t>(channels) * 100) {
        std::fprintf(stderr, "pages_bench: a request failed or a page lacks its rows\n");
        result = 1;
      } else {
        std::printf("%d channels, %d requests each\n", channels, requests);
        std::printf("%-16s %10s %10s %10s %8s %14s\n", "request", "ms/page", "p95 ms", "kB",
                    "ratio", "before, ms/page");
        auto row = [&](const char* name, Timing t, size_t bytes, double before_ms) {
          std::printf("%-16s %10.2f %10.2f %10.1f %8.2f %14.2f\n", name, t.mean * 1e3, t.p95 * 1e3,
                      bytes / 1e3, t.mean / api, short_mode ? 0.0 : before_ms);
        };
        row("/api/devices", api_t, api_bytes, kBeforeApiMs);
        row("device list", list_t, list_bytes, kBeforeListMs);
        row("debug page", debug_t, debug_bytes, kBeforeDebugMs);
      }
      loop.Quit();
      done.set_value(result);
    });
    loop.Run();
    client_thread.join();
    status = done.get_future().get();
    server.Stop();
    host->AttachPlugin(nullptr);
    ResetRegistry();
    ResetPluginState();
  }
  std::filesystem::remove_all(dir);
  return status;
}
