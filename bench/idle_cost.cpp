// What the program costs while it only keeps watch: the real quellbrook-1wire, stand-alone at
// default settings, on a generated bus of mixed devices, once on the simulator inside the program
// (SIM) and once on a DS2480B emulated by `quellbrook-bus serve --pty` in another process. After a
// warm-up it reads the processes' CPU time (utime + stime in /proc/PID/stat) over a measuring
// window and prints the share of one core, the resident memory and thread count (/proc/PID/status)
// and, for the DS2480B, the emulator's CPU and the bytes and system calls per second on the line.
// Each share is printed as a ratio to its goal (0.2 % of a core, 25 MB resident, for 50 devices).
//
// At default settings every poll tick (4 a second, and one more every 2 s) searches the whole bus
// and checks the presence of the devices shown by their ROM id, so the bus is never idle. The
// emulated DS2480B answers at once, without the 1-Wire bus time a real one takes (about 13 ms a
// device for a search pass), so there the program fits in more ticks than on a real adapter.
//
//   idle_cost [--short] [--seconds N] [--devices N,N,...] [--program PATH] [--bus-tool PATH]
//             [--desktop PATH]
//
// The default run measures 60 s per case at 50, 200 and 500 devices, and then the desktop
// program (quellbrook-1wire-desktop, with Qt for the Setup dialog, when it is built) on the
// simulator at the first size, as it runs without a display: the cost of Qt's libraries alone.
// --short (used by the test suite) measures 5 s at 50 devices only, and fails when the program
// stops or shows no devices; its figures are coarse (CPU time is counted in hundredths of a
// second).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
using namespace std::chrono_literals;

constexpr double kCpuGoalPercent = 0.2;
constexpr double kRssGoalMb = 25.0;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// --- A generated bus -------------------------------------------------------------------------

// One device of each kind in turn, thermometers most often, as on a house's bus: the values move
// slowly, as real ones do, so the program has changes to pass on now and then.
std::string DeviceJson(int index) {
  const std::string sine = R"({"type": "sine", "mean": 20, "amplitude": 2, "period_s": )" +
                           std::to_string(600 + 37 * index) + "}";
  static const std::vector<std::pair<uint8_t, std::string>> kinds = {
      {0x28, R"("temperature": SINE)"},
      {0x10, R"("temperature": SINE)"},
      {0x28, R"("temperature": SINE, "resolution": 11)"},
      {0x22, R"("temperature": SINE)"},
      {0x26, R"("temperature": SINE, "vdd": 5.0, "vad": 2.5, "vsense_mv": 0.5)"},
      {0x28, R"("temperature": SINE)"},
      {0x12, R"("latches": [false, false], "levels": [true, false])"},
      {0x1D, R"("counters": [0, 10, 20, 30])"},
      {0x28, R"("temperature": SINE)"},
      {0x20, R"("inputs": [1.0, 2.0, 0.5, 3.0])"},
      {0x05, R"("latches": [false], "levels": [true])"},
      {0x01, ""},
      {0x28, R"("temperature": SINE)"},
      {0x30, R"("temperature": 19.5, "voltage": 3.9, "vsense_mv": 1.25)"},
      {0x2C, R"("wiper": 128)"},
      {0x21, R"("temperature": SINE)"},
  };
  const auto& [family, keys] = kinds[static_cast<size_t>(index) % kinds.size()];
  const std::string body = std::regex_replace(keys, std::regex("SINE"), sine);
  return R"({"rom": ")" + RomText(family, 0x1000 + static_cast<uint32_t>(index)) + "\"" +
         (body.empty() ? "" : ", " + body) + "}";
}

void WriteBus(const fs::path& path, int devices) {
  std::ofstream out(path);
  out << "{\n  \"devices\": [\n";
  for (int i = 0; i < devices; ++i)
    out << "    " << DeviceJson(i) << (i + 1 < devices ? ",\n" : "\n");
  out << "  ]\n}\n";
}

// --- Processes -------------------------------------------------------------------------------

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

// What /proc tells of a process at one moment.
struct Sample {
  Clock::time_point when = Clock::now();
  double cpu_seconds = 0;  // utime + stime
  long rss_kb = 0;
  long threads = 0;
  uint64_t rchar = 0, wchar = 0, syscr = 0, syscw = 0;  // /proc/PID/io
};

Sample Take(pid_t pid) {
  Sample s;
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string stat = ReadAll(proc + "/stat");
  // Fields after the command name (which may hold spaces) begin with the state, field 3.
  const size_t close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int n = 3; n <= 15 && in >> field; ++n) {
      if (n == 14) utime = std::stoull(field);
      if (n == 15) stime = std::stoull(field);
    }
    s.cpu_seconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  std::istringstream status(ReadAll(proc + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) s.rss_kb = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) s.threads = std::atol(line.c_str() + 8);
  }
  std::istringstream io(ReadAll(proc + "/io"));
  for (std::string key; io >> key;) {
    uint64_t value = 0;
    io >> value;
    if (key == "rchar:") s.rchar = value;
    if (key == "wchar:") s.wchar = value;
    if (key == "syscr:") s.syscr = value;
    if (key == "syscw:") s.syscw = value;
  }
  return s;
}

double Seconds(const Sample& a, const Sample& b) {
  return std::chrono::duration<double>(b.when - a.when).count();
}

double CpuPercent(const Sample& a, const Sample& b) {
  return 100.0 * (b.cpu_seconds - a.cpu_seconds) / Seconds(a, b);
}

double PerSecond(uint64_t a, uint64_t b, double seconds) {
  return static_cast<double>(b - a) / seconds;
}

// Host devices the program shows in its JSON API (0 when it does not answer).
int HostDevices(int port) {
  if (port <= 0) return 0;
  bench::HttpConnection client(port);
  std::string body;
  if (client.Get("/api/devices", &body) != 200) return 0;
  int count = 0;
  for (size_t at = 0; (at = body.find("\"ref\":", at)) != std::string::npos; ++at) ++count;
  return count;
}

struct Options {
  bool is_short = false;
  std::chrono::seconds measure{60};
  std::chrono::seconds warm_up{20};
  std::vector<int> sizes{50, 200, 500};
  std::string program = QB_PROGRAM_PATH;
  std::string bus_tool = QB_BUS_TOOL_PATH;
#ifdef QB_DESKTOP_PATH
  std::string desktop = QB_DESKTOP_PATH;
#else
  std::string desktop;
#endif
};

struct Result {
  bool ok = false;
  std::string problem;
  int host_devices = 0;
  double cpu = 0, emulator_cpu = 0, line_bytes = 0, program_syscalls = 0;
  long rss_kb = 0, threads = 0;
};

// One case: the program on `devices` devices, on the simulator or behind the emulated DS2480B.
Result Run(const Options& o, const std::string& program_path, int devices, bool ds2480b) {
  Result r;
  char tmpl[] = "/tmp/qb-idle-cost-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  const fs::path bus = dir / "bus.json";
  WriteBus(bus, devices);
  fs::create_directories(dir / "app");
  pid_t emulator = -1, program = -1;
  const fs::path link = dir / "ttyQB";
  {
    std::ofstream settings(dir / "settings.ini");
    settings << "[Settings]\n";
    if (ds2480b) {
      settings << "IntType=DS9097U\nIntPort=" << link.string() << "\n";
    } else {
      settings << "IntType=SIM\nIntPort=" << bus.string() << "\n";
    }
  }
  auto finish = [&](const std::string& problem) {
    r.problem = problem;
    Stop(program);
    Stop(emulator);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return r;
  };

  if (ds2480b) {
    emulator = Spawn({o.bus_tool, "serve", "--bus", bus.string(), "--pty", link.string()},
                     dir / "emulator.out");
    const auto until = Clock::now() + 10s;
    while (!fs::is_symlink(link) && Alive(emulator) && Clock::now() < until)
      std::this_thread::sleep_for(20ms);
    if (!fs::is_symlink(link))
      return finish("the emulator made no terminal: " + ReadAll(dir / "emulator.out"));
  }
  program = Spawn({program_path, "--standalone", "--app-dir", (dir / "app").string(), "--settings",
                   (dir / "settings.ini").string(), "--http", "127.0.0.1:0"},
                  dir / "program.out");

  // Warm-up: until polling has begun, then long enough for the first searches, the device
  // creation and the first read cycle.
  int port = 0;
  const auto started = Clock::now();
  std::smatch m;
  for (;;) {
    const std::string text = ReadAll(dir / "program.out");
    if (port == 0 && std::regex_search(text, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
      port = std::stoi(m[1]);
    if (text.find("Polling devices begins") != std::string::npos) break;
    if (!Alive(program)) return finish("the program stopped:\n" + text);
    if (Clock::now() - started > 60s) return finish("polling did not begin within 60 s:\n" + text);
    std::this_thread::sleep_for(100ms);
  }
  std::this_thread::sleep_for(o.warm_up);

  const Sample p0 = Take(program);
  const Sample e0 = ds2480b ? Take(emulator) : Sample{};
  std::this_thread::sleep_for(o.measure);
  const Sample p1 = Take(program);
  const Sample e1 = ds2480b ? Take(emulator) : Sample{};
  if (!Alive(program)) return finish("the program stopped:\n" + ReadAll(dir / "program.out"));
  if (ds2480b && !Alive(emulator))
    return finish("the emulator stopped:\n" + ReadAll(dir / "emulator.out"));

  const double seconds = Seconds(p0, p1);
  r.cpu = CpuPercent(p0, p1);
  r.rss_kb = p1.rss_kb;
  r.threads = p1.threads;
  r.program_syscalls =
      PerSecond(p0.syscr, p1.syscr, seconds) + PerSecond(p0.syscw, p1.syscw, seconds);
  if (ds2480b) {
    r.emulator_cpu = CpuPercent(e0, e1);
    r.line_bytes = PerSecond(e0.rchar, e1.rchar, seconds) + PerSecond(e0.wchar, e1.wchar, seconds);
  }
  r.host_devices = HostDevices(port);
  if (r.host_devices == 0) return finish("the program shows no devices in /api/devices");
  r.ok = true;
  return finish("");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--short") {
      o.is_short = true;
      o.measure = 5s;
      o.warm_up = 5s;
      o.sizes = {50};
    } else if (a == "--seconds" && has_value) {
      o.measure = std::chrono::seconds(std::atoi(argv[++i]));
    } else if (a == "--devices" && has_value) {
      o.sizes.clear();
      std::istringstream in(argv[++i]);
      for (std::string n; std::getline(in, n, ',');) o.sizes.push_back(std::atoi(n.c_str()));
    } else if (a == "--program" && has_value) {
      o.program = argv[++i];
    } else if (a == "--bus-tool" && has_value) {
      o.bus_tool = argv[++i];
    } else if (a == "--desktop" && has_value) {
      o.desktop = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: idle_cost [--short] [--seconds N] [--devices N,N,...] [--program PATH] "
                   "[--bus-tool PATH] [--desktop PATH]\n");
      return 2;
    }
  }

  std::printf(
      "Idle cost of quellbrook-1wire at default settings, %lld s per case after %lld s of "
      "warm-up\n",
      static_cast<long long>(o.measure.count()), static_cast<long long>(o.warm_up.count()));
  std::printf("goal at 50 devices: below %.1f %% of one core and below %.0f MB resident\n\n",
              kCpuGoalPercent, kRssGoalMb);
  std::printf("%-8s %7s %6s %8s %7s %7s %7s %8s %11s %10s %10s\n", "bus", "devices", "host",
              "CPU %", "x goal", "RSS MB", "x goal", "threads", "syscalls/s", "emul. CPU%",
              "line B/s");
  bool ok = true;
  struct Case {
    const char* name;
    const std::string* program;
    int devices;
    bool ds2480b;
  };
  std::vector<Case> cases;
  for (int devices : o.sizes) {
    cases.push_back({"SIM", &o.program, devices, false});
    cases.push_back({"DS2480B", &o.program, devices, true});
  }
  if (!o.is_short && !o.desktop.empty() && !o.sizes.empty())
    cases.push_back({"SIM desk", &o.desktop, o.sizes.front(), false});
  for (const Case& c : cases) {
    const Result r = Run(o, *c.program, c.devices, c.ds2480b);
    if (!r.ok) {
      std::printf("%-8s %7d  FAILED: %s\n", c.name, c.devices, r.problem.c_str());
      ok = false;
      continue;
    }
    const double rss_mb = static_cast<double>(r.rss_kb) / 1024.0;
    std::printf("%-8s %7d %6d %8.3f %7.2f %7.1f %7.2f %8ld %11.0f", c.name, c.devices,
                r.host_devices, r.cpu, r.cpu / kCpuGoalPercent, rss_mb, rss_mb / kRssGoalMb,
                r.threads, r.program_syscalls);
    if (c.ds2480b) std::printf(" %10.3f %10.0f", r.emulator_cpu, r.line_bytes);
    std::printf("\n");
    std::fflush(stdout);
  }
  if (o.is_short)
    std::printf("\n(short run: CPU time is counted in 10 ms steps, so these shares are coarse)\n");
  return ok ? 0 : 1;
}
