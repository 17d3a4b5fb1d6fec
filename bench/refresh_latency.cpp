// How fast edits of the bus reach the program's JSON API: the real quellbrook-1wire, stand-alone
// on the simulator (SIM) at PollCycle 1, its bus file edited while it runs.
//
//  - refresh: every thermometer's temperature is changed in one edit; the time until the JSON
//    API shows every new value, with the thermometers read in turn (BusConvert=0) and all
//    converted at once (BusConvert=1), against the bus's physical minimum for one bus-wide
//    refresh (one 12-bit conversion plus a Match ROM and scratchpad read per part, standard
//    speed, application note 126 timings);
//  - switch input: a DS2406 input level and a DS2408 input level flipped in one edit of the
//    file; the time until the JSON API shows each, against the goal of 1 s.
//
// Every time includes the simulator noticing the edit (it looks at its file every 250 ms) and
// the poll tick; it is what a user sees, not the bus time (bus_bench prints that).
//
//   refresh_latency [--short] [--program PATH]
//
// --short (the test suite's run) measures 10 thermometers converted at once and two switch flips.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http_load.h"
#include "peer_runs.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using qb::bench::RomText;
using Clock = std::chrono::steady_clock;
using nlohmann::json;
using namespace std::chrono_literals;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Physical minimum of one bus-wide refresh of n DS18B20 at standard speed: reset and Skip ROM +
// Convert T, 750 ms, then per part a reset, Match ROM with its id and Read Scratchpad (9 bytes).
double MinimumRefreshSeconds(int n) {
  const double reset_us = 960, slot_us = 65;
  return (reset_us + 16 * slot_us + 750000 + n * (reset_us + (8 + 64 + 8 + 72) * slot_us)) / 1e6;
}

// The edited bus: n DS18B20 at `celsius` (each a little apart), one DS2406 whose input A is
// `input` and one DS2408 whose input 3 is `input`.
void WriteBus(const fs::path& path, int n, double celsius, bool input) {
  json devices = json::array();
  for (int i = 0; i < n; ++i)
    devices.push_back({{"rom", RomText(0x28, 0x2000 + static_cast<uint32_t>(i))},
                       {"temperature", celsius + 0.0625 * (i % 8)}});
  devices.push_back(
      {{"rom", RomText(0x12, 0x3000)}, {"latches", {false, false}}, {"levels", {input, false}}});
  devices.push_back({{"rom", RomText(0x29, 0x3001)},
                     {"levels", {true, true, true, input, true, true, true, true}}});
  const fs::path temp = path.string() + ".new";
  std::ofstream(temp) << json{{"devices", devices}}.dump(1);
  fs::rename(temp, path);  // as an editor saves: the program never reads half a file
}

pid_t Spawn(const std::vector<std::string>& args, const fs::path& output) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(50ms);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  pid = -1;
}

bool Alive(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

// The status text of every host device, by its iomisc key (ROM id and channel letter).
std::map<std::string, std::string> Shown(bench::HttpConnection& client) {
  std::map<std::string, std::string> shown;
  std::string body;
  if (client.Get("/api/devices", &body) != 200) return shown;
  const json doc = json::parse(body, nullptr, false);
  const json& list = doc.is_object() && doc.contains("devices") ? doc["devices"] : doc;
  if (!list.is_array()) return shown;
  for (const auto& d : list) {
    if (d.is_object() && d.contains("iomisc") && d.contains("string"))
      shown[d["iomisc"].get<std::string>()] = d["string"].get<std::string>();
  }
  return shown;
}

struct Run {
  fs::path dir;
  pid_t program = -1;
  std::unique_ptr<bench::HttpConnection> client;
  std::string problem;
  ~Run() {
    Stop(program);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

// Starts the program on n thermometers and the switch; empty problem when it shows them all.
void Start(Run& r, const std::string& program, int n, int bus_convert) {
  char tmpl[] = "/tmp/qb-refresh-XXXXXX";
  r.dir = mkdtemp(tmpl);
  WriteBus(r.dir / "bus.json", n, 20.0, true);
  fs::create_directories(r.dir / "app");
  std::ofstream(r.dir / "settings.ini")
      << "[Settings]\nIntType=SIM\nIntPort=" << (r.dir / "bus.json").string()
      << "\nPollCycle=1\nBusConvert=" << bus_convert << "\n";
  r.program = Spawn({program, "--standalone", "--app-dir", (r.dir / "app").string(), "--settings",
                     (r.dir / "settings.ini").string(), "--http", "127.0.0.1:0"},
                    r.dir / "program.out");
  int port = 0;
  std::smatch m;
  const auto started = Clock::now();
  for (;;) {
    const std::string text = ReadAll(r.dir / "program.out");
    if (port == 0 && std::regex_search(text, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/"))) {
      port = std::stoi(m[1]);
      r.client = std::make_unique<bench::HttpConnection>(port);
    }
    if (r.client) {
      const auto shown = Shown(*r.client);
      int temps = 0;
      for (const auto& [key, text] : shown) {
        if (key.size() == 17 && key.back() == 'M' && text.find("20.") == 0) ++temps;
      }
      if (temps == n && shown.count(RomText(0x12, 0x3000) + "P0") &&
          shown.count(RomText(0x29, 0x3001) + "P3"))
        return;
    }
    if (!Alive(r.program)) {
      r.problem = "the program stopped:\n" + text;
      return;
    }
    if (Clock::now() - started > std::chrono::seconds(60 + 3 * n)) {
      r.problem = "the program did not show every device in time";
      return;
    }
    std::this_thread::sleep_for(100ms);
  }
}

// Seconds from an edit until `done` holds for what the API shows (negative: it never did).
template <typename Done>
double TimeUntil(Run& r, Done done, std::chrono::seconds limit) {
  const auto edited = Clock::now();
  while (Clock::now() - edited < limit) {
    if (done(Shown(*r.client))) return std::chrono::duration<double>(Clock::now() - edited).count();
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  bool is_short = false;
  std::string program = QB_PROGRAM_PATH;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--short") {
      is_short = true;
    } else if (a == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else {
      std::fprintf(stderr, "usage: refresh_latency [--short] [--program PATH]\n");
      return 2;
    }
  }
  bool ok = true;
  const std::vector<int> sizes = is_short ? std::vector<int>{10} : std::vector<int>{10, 100};
  const int flips = is_short ? 2 : 10;
  // The short run skips the one-by-one case: filling the API takes a poll per thermometer.
  const std::vector<int> modes = is_short ? std::vector<int>{1} : std::vector<int>{0, 1};
  // The switch inputs flipped by each edit, and what the rows call them.
  const std::pair<std::string, const char*> inputs[] = {
      {RomText(0x12, 0x3000) + "P0", "DS2406 input to JSON API"},
      {RomText(0x29, 0x3001) + "P3", "DS2408 input to JSON API"}};

  std::printf("Edits of the simulated bus file until the JSON API shows them (PollCycle 1)\n\n");
  std::printf("%-28s %7s %10s %12s %12s %8s\n", "case", "devices", "BusConvert", "seconds",
              "minimum s", "ratio");
  for (int n : sizes) {
    for (int bus_convert : modes) {
      Run r;
      Start(r, program, n, bus_convert);
      if (!r.problem.empty()) {
        std::printf("refresh: FAILED: %s\n", r.problem.c_str());
        ok = false;
        continue;
      }
      // Every thermometer 5 degrees warmer in one edit.
      WriteBus(r.dir / "bus.json", n, 25.0, true);
      const double seconds = TimeUntil(
          r,
          [n](const std::map<std::string, std::string>& shown) {
            int done = 0;
            for (const auto& [key, text] : shown)
              if (key.size() == 17 && key.back() == 'M' && text.find("25.") == 0) ++done;
            return done == n;
          },
          std::chrono::seconds(30 + 3 * n));
      if (seconds < 0) {
        std::printf("%-28s %7d %10d  FAILED: not every value arrived\n", "refresh all thermometers",
                    n, bus_convert);
        ok = false;
        continue;
      }
      const double minimum = MinimumRefreshSeconds(n);
      std::printf("%-28s %7d %10d %12.3f %12.3f %8.2f\n", "refresh all thermometers", n,
                  bus_convert, seconds, minimum, seconds / minimum);

      // The switch inputs, flipped back and forth: the time each one took to show.
      std::vector<double> times[2];
      bool input = true;
      for (int f = 0; f < flips && ok; ++f) {
        input = !input;
        WriteBus(r.dir / "bus.json", n, 25.0, input);
        const std::string want = input ? "On" : "Off";
        const auto edited = Clock::now();
        double took[2] = {-1, -1};
        while (Clock::now() - edited < 10s && (took[0] < 0 || took[1] < 0)) {
          const auto shown = Shown(*r.client);
          for (int k = 0; k < 2; ++k) {
            auto it = shown.find(inputs[k].first);
            if (took[k] < 0 && it != shown.end() && it->second == want)
              took[k] = std::chrono::duration<double>(Clock::now() - edited).count();
          }
          std::this_thread::sleep_for(10ms);
        }
        for (int k = 0; k < 2; ++k) {
          if (took[k] < 0) {
            std::printf("%s: FAILED: the flip to %s did not arrive\n", inputs[k].second,
                        want.c_str());
            ok = false;
          }
          times[k].push_back(took[k]);
        }
        std::this_thread::sleep_for(300ms);  // apart from the next edit
      }
      for (int k = 0; k < 2 && ok; ++k) {
        std::sort(times[k].begin(), times[k].end());
        const double median = times[k][times[k].size() / 2], worst = times[k].back();
        std::printf("%-28s %7d %10d %12.3f %12s %8.2f  (median; worst %.3f s, goal 1 s)\n",
                    inputs[k].second, n, bus_convert, median, "1.000", median / 1.0, worst);
      }
      std::fflush(stdout);
    }
  }
  return ok ? 0 : 1;
}
