// Switch inputs and commands, the program against owserver, both through the same emulated
// adapter: the bus file (DS18B20 thermometers, a DS2406 and a DS2408) served as a DS2480B on a
// pseudo-terminal by `quellbrook-bus serve --pty`.
//
//  - an input: the DS2406's input A and the DS2408's input 3 flipped in one edit of the bus file;
//    the time until the program's JSON API shows each, until its MQTT bridge publishes each
//    (a subscriber on a mosquitto broker of the benchmark's own), and until owserver shows each
//    to a client polling it: through `/uncached/` as fast as owserver answers (its best case,
//    the bus busy all the time) and once a second, and through owserver's cache once a second
//    (each second's poll falls at another point of the period, spread evenly over the edits);
//  - a command: On or Off to the DS2406's latch A through the JSON API's command route; the time
//    until the JSON API shows the latch's new state and until MQTT carries it, and how long the
//    request itself took.
//
// Every figure is the median and the worst of the edits or commands, and its ratio to the goal of
// 1 s at PollCycle 1 (the program at default settings otherwise); input times include the
// emulator noticing the edit (it looks at its file every 250 ms), as a user's would.
//
//   switch_peers [--short] [--thermometers N] [--bus-convert 0|1] [--program PATH]
//                [--bus-tool PATH]
//
// The default run measures a bus of 10 thermometers read in turn (BusConvert=0), then one of 100
// converted at once (BusConvert=1); --thermometers and --bus-convert measure one bus of their own
// (the short run: 10 thermometers read in turn).
//
// The default run makes 10 edits and 10 commands per column; --short (the test suite's run) makes
// one of each, polls owserver only as fast as it answers (its cache keeps a value up to 15 s) and
// runs both sides at once. Exit status 1 when a change never showed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "peer_runs.h"
#include "support/mqtt_broker.h"

namespace {

using namespace qb::bench;
using namespace std::chrono_literals;

constexpr double kGoalSeconds = 1.0;
const std::string kDs2406 = RomText(0x12, 0x3000);
const std::string kDs2408 = RomText(0x29, 0x3001);

std::string BusText(int thermometers, bool input) {
  nlohmann::json devices = nlohmann::json::array();
  for (int i = 0; i < thermometers; ++i)
    devices.push_back(
        {{"rom", RomText(0x28, 0x2000 + static_cast<uint32_t>(i))}, {"temperature", 20.5}});
  devices.push_back({{"rom", kDs2406}, {"latches", {false, false}}, {"levels", {input, false}}});
  devices.push_back(
      {{"rom", kDs2408}, {"levels", {true, true, true, input, true, true, true, true}}});
  return nlohmann::json{{"devices", devices}}.dump(1);
}

struct Folder {
  fs::path path;
  Folder() {
    char tmpl[] = "/tmp/qb-switch-peers-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// One row of the table: the seconds each change took to show (negative: it never did).
struct Row {
  std::string name;
  std::vector<double> seconds;
};

// One thing watched after a change: whether it shows the change yet, and how long it took.
struct Watch {
  Row* row;
  std::function<bool()> shows;
  double took = -1;
};

// Polls every watch until each shows the change or `limit` passes; records the times in the rows.
// The first poll comes `first` after the change: a client polling on a period of its own meets a
// change at any point of its period.
bool WaitForAll(std::vector<Watch>& watches, Clock::time_point changed, std::chrono::seconds limit,
                const std::function<void()>& poll, std::chrono::milliseconds pause,
                std::chrono::milliseconds first = std::chrono::milliseconds(0)) {
  bool all = false;
  std::this_thread::sleep_until(changed + first);
  while (!all && Clock::now() - changed < limit) {
    poll();
    all = true;
    for (Watch& w : watches) {
      if (w.took < 0 && w.shows()) w.took = SecondsSince(changed);
      all = all && w.took >= 0;
    }
    if (!all) std::this_thread::sleep_for(pause);
  }
  for (Watch& w : watches) w.row->seconds.push_back(w.took);
  return all;
}

// The pause after change `c` of `changes`: the program works on a tick of its own (a poll each
// second, a thermometer's conversion in most of it), so changes made a fixed time after the last
// one showed would all meet the same point of it. Pauses of 0.3 s plus an even share of a second
// spread the changes over the whole tick, as a user's come.
std::chrono::milliseconds Apart(int c, int changes) {
  return 300ms + 1000ms * ((c * 7) % changes) / changes;
}

struct Result {
  std::vector<Row> rows;
  std::string problem;
};

struct Options {
  bool is_short = false;
  int thermometers = 10;
  int bus_convert = 0;
  std::string program = QB_PROGRAM_PATH, bus_tool = QB_BUS_TOOL_PATH;
};

Result Ours(const Options& o, int changes) {
  Result result;
  Folder dir;
  const fs::path bus = dir.path / "bus.json", link = dir.path / "ttyQB";
  ReplaceFile(bus, BusText(o.thermometers, true));
  Child serve = ServeDs2480b(o.bus_tool, bus, link, result.problem);
  if (!result.problem.empty()) return result;
  qb::test::MqttBroker broker(dir.path);
  std::string broker_problem;
  const bool mqtt = broker.Start(broker_problem);
  if (!mqtt) std::printf("(MQTT columns skipped: %s)\n", broker_problem.c_str());
  std::string settings = "[Settings]\nIntType=DS9097U\nIntPort=" + link.string() +
                         "\nPollCycle=1\nBusConvert=" + std::to_string(o.bus_convert) + "\n";
  if (mqtt)
    settings += "[MQTT]\nEnabled=1\nBroker=" + broker.url() +
                "\nBaseTopic=quellbrook\nClientId=switch-peers\n";
  ProgramRun run = StartProgram(o.program, dir.path, settings, result.problem);
  if (!result.problem.empty()) return result;
  std::unique_ptr<qb::test::MqttProbe> probe;
  if (mqtt) probe = std::make_unique<qb::test::MqttProbe>(broker.port(), "quellbrook/#");

  const std::string input_keys[2] = {kDs2406 + "P0", kDs2408 + "P3"};
  const std::string latch_key = kDs2406 + "S0";
  std::map<std::string, ShownDevice> shown;
  auto poll = [&] { shown = Shown(*run.client); };
  auto api_shows = [&](const std::string& key, const std::string& text) {
    auto it = shown.find(key);
    return it != shown.end() && it->second.text == text;
  };
  auto mqtt_shows = [&](const std::string& key, const std::string& payload) {
    return probe && probe->Last("quellbrook/" + key + "/state") == payload;
  };

  // Ready: the API shows both inputs and the latch, and MQTT carries the first input.
  const auto until = Clock::now() + 60s + std::chrono::seconds(o.thermometers);
  for (;;) {
    poll();
    if (api_shows(input_keys[0], "On") && api_shows(input_keys[1], "On") &&
        shown.count(latch_key) && (!probe || mqtt_shows(input_keys[0], "ON")))
      break;
    if (!run.process.Alive() || Clock::now() > until) {
      std::string keys;
      for (const auto& [key, device] : shown) keys += " " + key + "=" + device.text;
      result.problem =
          "the program did not show the switches (shown:" + keys + ")\n" + run.process.Output();
      return result;
    }
    std::this_thread::sleep_for(50ms);
  }

  result.rows = {{"DS2406 input: edit to JSON API", {}},    {"DS2406 input: edit to MQTT", {}},
                 {"DS2408 input: edit to JSON API", {}},    {"DS2408 input: edit to MQTT", {}},
                 {"DS2406 latch: command to JSON API", {}}, {"DS2406 latch: command to MQTT", {}},
                 {"DS2406 latch: command request", {}}};
  bool input = true;
  for (int c = 0; c < changes; ++c) {
    input = !input;
    ReplaceFile(bus, BusText(o.thermometers, input));
    const auto edited = Clock::now();
    const std::string text = input ? "On" : "Off", payload = input ? "ON" : "OFF";
    std::vector<Watch> watches;
    for (int k = 0; k < 2; ++k) {
      const std::string key = input_keys[k];
      watches.push_back({&result.rows[2 * k], [&, key] { return api_shows(key, text); }});
      if (probe)
        watches.push_back({&result.rows[2 * k + 1], [&, key] { return mqtt_shows(key, payload); }});
    }
    if (!WaitForAll(watches, edited, 10s, poll, 5ms))
      result.problem = "an input flip did not arrive within 10 s";
    std::this_thread::sleep_for(Apart(c, changes));
  }

  const int ref = shown[latch_key].ref;
  bool on = api_shows(latch_key, "On");
  for (int c = 0; c < changes; ++c) {
    on = !on;
    const std::string text = on ? "On" : "Off", payload = on ? "ON" : "OFF";
    const auto sent = Clock::now();
    std::string answer;
    const int status = PostJson(run.port, "/api/devices/" + std::to_string(ref) + "/command",
                                std::string("{\"command\": \"") + text + "\"}", &answer);
    result.rows[6].seconds.push_back(SecondsSince(sent));
    if (status != 200 && status != 204) {
      result.problem = "the command was refused (" + std::to_string(status) + "): " + answer;
      return result;
    }
    std::vector<Watch> watches = {{&result.rows[4], [&] { return api_shows(latch_key, text); }}};
    if (probe) watches.push_back({&result.rows[5], [&] { return mqtt_shows(latch_key, payload); }});
    if (!WaitForAll(watches, sent, 10s, poll, 5ms))
      result.problem = "a command's state did not show within 10 s";
    std::this_thread::sleep_for(Apart(c, changes));
  }
  if (!probe) result.rows.erase(result.rows.begin() + 5);
  if (!probe) result.rows.erase(result.rows.begin() + 3);
  if (!probe) result.rows.erase(result.rows.begin() + 1);
  return result;
}

// owserver on the same kind of bus: a client polls the two inputs, uncached or through owserver's
// cache, every `period` (0: as fast as owserver answers) until each shows the flip.
Result Peer(const Options& o, int changes, bool cached, std::chrono::milliseconds period) {
  Result result;
  Folder dir;
  const fs::path bus = dir.path / "bus.json", link = dir.path / "ttyQB";
  ReplaceFile(bus, BusText(o.thermometers, true));
  Child serve = ServeDs2480b(o.bus_tool, bus, link, result.problem);
  if (!result.problem.empty()) return result;
  Owserver ow = StartOwserver(link, dir.path);
  const std::string prefix = cached ? "/" : "/uncached/";
  const std::string paths[2] = {prefix + OwfsName(kDs2406) + "/sensed.A",
                                prefix + OwfsName(kDs2408) + "/sensed.3"};
  std::string values[2];
  auto poll = [&] {
    for (int k = 0; k < 2; ++k)
      if (!OwRead(ow.address, paths[k], values[k])) values[k].clear();
  };
  auto value = [&](int k) {
    std::string v = values[k];
    v.erase(std::remove(v.begin(), v.end(), ' '), v.end());
    return v;
  };
  const auto until = Clock::now() + 60s;
  for (poll(); value(0) != "1" || value(1) != "1"; poll()) {
    if (!ow.process.Alive() || Clock::now() > until) {
      result.problem = "owserver did not read the inputs:\n" + ow.process.Output();
      return result;
    }
    std::this_thread::sleep_for(200ms);
  }
  const std::string how = std::string(cached ? "owserver cached" : "owserver uncached") +
                          (period.count() > 0 ? ", every 1 s" : ", at once");
  result.rows = {{"DS2406 input: edit to " + how, {}}, {"DS2408 input: edit to " + how, {}}};
  bool input = true;
  for (int c = 0; c < changes; ++c) {
    input = !input;
    ReplaceFile(bus, BusText(o.thermometers, input));
    const auto edited = Clock::now();
    const std::string want = input ? "1" : "0";
    std::vector<Watch> watches;
    for (int k = 0; k < 2; ++k)
      watches.push_back(
          {&result.rows[static_cast<size_t>(k)], [&, k] { return value(k) == want; }});
    // The client's polls fall at evenly spread points of its period, one per edit.
    const auto first = period * (2 * c + 1) / (2 * changes);
    if (!WaitForAll(watches, edited, 30s, poll, period.count() > 0 ? period : 5ms, first))
      result.problem = how + ": an input flip did not show within 30 s";
    std::this_thread::sleep_for(300ms);
  }
  return result;
}

void Print(const Row& row) {
  std::vector<double> v = row.seconds;
  std::sort(v.begin(), v.end());
  if (v.empty() || v.front() < 0) {
    std::printf("%-58s  FAILED: a change never showed\n", row.name.c_str());
    return;
  }
  const double median = v[v.size() / 2], worst = v.back();
  std::printf("%-58s %9.3f %9.3f %10.2f\n", row.name.c_str(), median, worst, median / kGoalSeconds);
}

double MedianOf(const std::vector<Row>& rows, const std::string& name) {
  for (const Row& r : rows) {
    if (r.name != name) continue;
    std::vector<double> v = r.seconds;
    std::sort(v.begin(), v.end());
    return v.empty() || v.front() < 0 ? -1 : v[v.size() / 2];
  }
  return -1;
}

// One bus: ours, then owserver's clients on the same kind of bus; false when a change never showed.
bool RunCase(const Options& o) {
  const int changes = o.is_short ? 1 : 10;
  std::printf(
      "Switch inputs and commands through the emulated DS2480B, %d thermometers beside them "
      "(BusConvert=%d),\n",
      o.thermometers, o.bus_convert);
  std::printf(
      "PollCycle 1; median and worst of %d changes, ratio of the median to the goal of 1 s\n\n",
      changes);
  std::printf("%-58s %9s %9s %10s\n", "case", "median s", "worst s", "x goal");
  bool ok = true;
  std::vector<Row> all;
  auto report = [&](const Result& r, const char* who) {
    if (!r.problem.empty()) {
      std::printf("%s: FAILED: %s\n", who, r.problem.c_str());
      ok = false;
    }
    for (const Row& row : r.rows) {
      Print(row);
      all.push_back(row);
    }
    std::fflush(stdout);
  };
  // The short run starts owserver's side at once with ours, each on an emulator of its own, to
  // keep the test suite quick; its times are not figures to quote.
  const bool peer = OwserverInstalled();
  std::future<Result> peer_run;
  if (peer && o.is_short)
    peer_run = std::async(std::launch::async, [&] { return Peer(o, changes, false, 0ms); });
  report(Ours(o, changes), "ours");
  if (!peer) {
    std::printf("(owserver is not installed: its rows are skipped)\n");
    return ok;
  }
  report(peer_run.valid() ? peer_run.get() : Peer(o, changes, false, 0ms), "owserver uncached");
  if (o.is_short) {
    std::printf(
        "(owserver polled every second and its cached reads are left out of the short run)\n");
  } else {
    report(Peer(o, changes, false, 1000ms), "owserver uncached");
    report(Peer(o, changes, true, 1000ms), "owserver cached");
  }
  std::printf("\nours / owserver (medians):\n");
  for (const char* part : {"DS2406", "DS2408"}) {
    const std::string p = part;
    for (const char* ours : {"JSON API", "MQTT"}) {
      for (const char* peer : {"owserver uncached, at once", "owserver uncached, every 1 s",
                               "owserver cached, every 1 s"}) {
        const double a = MedianOf(all, p + " input: edit to " + ours);
        const double b = MedianOf(all, p + " input: edit to " + peer);
        if (a > 0 && b > 0)
          std::printf("%-58s %9.2f\n", (p + " " + ours + " / " + peer).c_str(), a / b);
      }
    }
  }
  std::printf("\n");
  std::fflush(stdout);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool one_case = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--short") {
      o.is_short = true;
    } else if (a == "--thermometers" && has_value) {
      o.thermometers = std::atoi(argv[++i]);
      one_case = true;
    } else if (a == "--bus-convert" && has_value) {
      o.bus_convert = std::atoi(argv[++i]);
      one_case = true;
    } else if (a == "--program" && has_value) {
      o.program = argv[++i];
    } else if (a == "--bus-tool" && has_value) {
      o.bus_tool = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: switch_peers [--short] [--thermometers N] [--bus-convert 0|1] "
                   "[--program PATH] [--bus-tool PATH]\n");
      return 2;
    }
  }
  if (one_case || o.is_short) return RunCase(o) ? 0 : 1;
  bool ok = RunCase(o);
  o.thermometers = 100;
  o.bus_convert = 1;
  ok = RunCase(o) && ok;
  return ok ? 0 : 1;
}
