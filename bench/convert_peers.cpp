// Every DS18B20 of a bus refreshed, the program against owserver, both through the same emulated
// adapter: the bus file served as a DS2480B on a pseudo-terminal by `quellbrook-bus serve --pty`.
//
//  - ours: the real quellbrook-1wire stand-alone on that terminal at PollCycle 1 with BusConvert=1
//    (one bus-wide conversion, then a scratchpad read per thermometer); the time from an edit of
//    the bus file that warms every thermometer until the JSON API shows every new value;
//  - owserver: the same edit, then a client doing what owfs offers for it: write 1 to
//    `simultaneous/temperature` (one Skip ROM + Convert T for the whole bus) and read every
//    `/28.xxx/temperature`, again and again until every new value is read; the time from the edit
//    until then, and the time of its last round alone (one refresh of the bus). The write clears
//    owserver's cached temperatures, so these reads wait for that conversion and read its result;
//    an `/uncached/` read would start a conversion of its own per thermometer instead.
//
// Both times start at the edit, so both include the emulator noticing it (it looks at its file
// every 250 ms, when the bus is used); the ratio ours / owserver's below 1 means the program shows
// a change sooner. A round of owserver's that began before the emulator saw the edit reads the old
// values, so its client needs a second round: the last column sets ours against one round alone,
// owserver's best case.
//
//   convert_peers [--short] [--program PATH] [--bus-tool PATH]
//
// The default run measures 10 and 100 thermometers, the median of 3 edits each; --short (the test
// suite's run) one edit on 5 thermometers, both sides at once. Exit status 1 when a side never
// showed the new values.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "peer_runs.h"

namespace {

using namespace qb::bench;
using namespace std::chrono_literals;

std::string Rom(int i) {
  return RomText(0x28, 0x2000 + static_cast<uint32_t>(i));
}

double Celsius(double base, int i) {
  return base + 0.0625 * (i % 8);
}

std::string BusText(int n, double base) {
  nlohmann::json devices = nlohmann::json::array();
  for (int i = 0; i < n; ++i)
    devices.push_back({{"rom", Rom(i)}, {"temperature", Celsius(base, i)}});
  return nlohmann::json{{"devices", devices}}.dump(1);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

struct Folder {
  fs::path path;
  Folder() {
    char tmpl[] = "/tmp/qb-convert-peers-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

struct Side {
  std::vector<double> seconds;  // from each edit until every new value was shown
  std::vector<double> rounds;   // owserver: its last round (conversion and reads) per edit
  std::string problem;
};

// Thermometers the JSON API shows at `base` (the integer part of the reading's text).
int ShownAt(const std::map<std::string, ShownDevice>& shown, int n, double base) {
  const std::string prefix = std::to_string(static_cast<int>(base)) + ".";
  int count = 0;
  for (int i = 0; i < n; ++i) {
    auto it = shown.find(Rom(i) + "M");
    if (it != shown.end() && it->second.text.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

Side Ours(const std::string& program, const std::string& bus_tool, int n, int edits) {
  Side side;
  Folder dir;
  const fs::path bus = dir.path / "bus.json", link = dir.path / "ttyQB";
  ReplaceFile(bus, BusText(n, 20.0));
  Child serve = ServeDs2480b(bus_tool, bus, link, side.problem);
  if (!side.problem.empty()) return side;
  ProgramRun run = StartProgram(
      program, dir.path,
      "[Settings]\nIntType=DS9097U\nIntPort=" + link.string() + "\nPollCycle=1\nBusConvert=1\n",
      side.problem);
  if (!side.problem.empty()) return side;
  const auto until = Clock::now() + std::chrono::seconds(60 + n);
  while (ShownAt(Shown(*run.client), n, 20.0) < n) {
    if (!run.process.Alive() || Clock::now() > until) {
      side.problem = "the program did not show every thermometer:\n" + run.process.Output();
      return side;
    }
    std::this_thread::sleep_for(50ms);
  }
  for (int e = 0; e < edits; ++e) {
    const double base = e % 2 == 0 ? 25.0 : 20.0;
    ReplaceFile(bus, BusText(n, base));
    const auto edited = Clock::now();
    while (ShownAt(Shown(*run.client), n, base) < n) {
      if (Clock::now() - edited > 60s) {
        side.problem = "the edit did not arrive within 60 s";
        return side;
      }
      std::this_thread::sleep_for(5ms);
    }
    side.seconds.push_back(SecondsSince(edited));
  }
  return side;
}

// One round of owserver's simultaneous conversion: how many thermometers read `base`.
int OwserverRound(const std::string& address, const std::vector<std::string>& names, int n,
                  double base) {
  OwWrite(address, "/simultaneous/temperature", "1");
  int count = 0;
  for (const std::string& name : names) {
    std::string text;
    if (!OwRead(address, "/" + name + "/temperature", text)) continue;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    for (int i = 0; i < n; ++i) {
      if (OwfsName(Rom(i)) == name && end != text.c_str() &&
          std::fabs(value - Celsius(base, i)) < 0.001)
        ++count;
    }
  }
  return count;
}

Side Peer(const std::string& bus_tool, int n, int edits) {
  Side side;
  Folder dir;
  const fs::path bus = dir.path / "bus.json", link = dir.path / "ttyQB";
  ReplaceFile(bus, BusText(n, 20.0));
  Child serve = ServeDs2480b(bus_tool, bus, link, side.problem);
  if (!side.problem.empty()) return side;
  Owserver ow = StartOwserver(link, dir.path);
  std::vector<std::string> names;
  const auto until = Clock::now() + std::chrono::seconds(30 + n);
  while (static_cast<int>(names.size()) < n && Clock::now() < until && ow.process.Alive()) {
    names.clear();
    for (const std::string& entry : OwDir(ow.address, "/"))
      if (entry.rfind("/28.", 0) == 0) names.push_back(entry.substr(1));
    if (static_cast<int>(names.size()) < n) std::this_thread::sleep_for(200ms);
  }
  if (static_cast<int>(names.size()) != n) {
    side.problem = "owserver listed " + std::to_string(names.size()) + " of " + std::to_string(n) +
                   " thermometers:\n" + ow.process.Output();
    return side;
  }
  for (int e = 0; e < edits; ++e) {
    const double base = e % 2 == 0 ? 25.0 : 20.0;
    ReplaceFile(bus, BusText(n, base));
    const auto edited = Clock::now();
    for (;;) {
      const auto round = Clock::now();
      const int read = OwserverRound(ow.address, names, n, base);
      if (read == n) {
        side.seconds.push_back(SecondsSince(edited));
        side.rounds.push_back(SecondsSince(round));
        break;
      }
      if (Clock::now() - edited > std::chrono::seconds(60 + n)) {
        side.problem = "owserver did not read the edit within " + std::to_string(60 + n) + " s";
        return side;
      }
    }
  }
  return side;
}

}  // namespace

int main(int argc, char** argv) {
  bool is_short = false;
  std::string program = QB_PROGRAM_PATH, bus_tool = QB_BUS_TOOL_PATH;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--short") {
      is_short = true;
    } else if (a == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else if (a == "--bus-tool" && i + 1 < argc) {
      bus_tool = argv[++i];
    } else {
      std::fprintf(stderr, "usage: convert_peers [--short] [--program PATH] [--bus-tool PATH]\n");
      return 2;
    }
  }
  const std::vector<int> sizes = is_short ? std::vector<int>{5} : std::vector<int>{10, 100};
  const int edits = is_short ? 1 : 3;
  const bool peer = OwserverInstalled();

  std::printf(
      "Every DS18B20 refreshed through the emulated DS2480B, from an edit of the bus file\n");
  std::printf("until it is shown (ours: JSON API, PollCycle 1, BusConvert=1; owserver: a client\n");
  std::printf("writing simultaneous/temperature and reading every temperature), median of %d\n\n",
              edits);
  std::printf("%7s %10s %12s %16s %12s %12s\n", "devices", "ours s", "owserver s",
              "owserver round s", "ours/owsrv", "ours/round");
  bool ok = true;
  for (int n : sizes) {
    // The short run starts both sides at once, each on an emulator of its own, to keep the test
    // suite quick; its times are not figures to quote. The full run measures one at a time.
    std::future<Side> peer_run;
    if (peer && is_short)
      peer_run = std::async(std::launch::async, [&] { return Peer(bus_tool, n, edits); });
    const Side ours = Ours(program, bus_tool, n, edits);
    if (!ours.problem.empty()) {
      std::printf("%7d  FAILED (ours): %s\n", n, ours.problem.c_str());
      ok = false;
      continue;
    }
    std::printf("%7d %10.3f", n, Median(ours.seconds));
    if (!peer) {
      std::printf("  (owserver is not installed: its columns are skipped)\n");
      continue;
    }
    std::fflush(stdout);
    const Side ow = peer_run.valid() ? peer_run.get() : Peer(bus_tool, n, edits);
    if (!ow.problem.empty()) {
      std::printf("  FAILED (owserver): %s\n", ow.problem.c_str());
      ok = false;
      continue;
    }
    std::printf(" %12.3f %16.3f %12.2f %12.2f\n", Median(ow.seconds), Median(ow.rounds),
                Median(ours.seconds) / Median(ow.seconds),
                Median(ours.seconds) / Median(ow.rounds));
    std::fflush(stdout);
  }
  return ok ? 0 : 1;
}
