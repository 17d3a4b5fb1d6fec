// Charts drawn while the program logs: starts the real program on the demo bus (polled every
// second) with a readings database of many rows, then measures, first without charts and then
// while N clients (each from an address of its own) load the charts page over and over, the
// readings it logs per minute and the latency of /api/devices polled by one more client. Prints
// both runs and their ratio (with charts / without). Exits 1 when the program logs nothing, the
// device list stops answering or no chart is drawn.
//
//   chart_load [--short] [--rows N] [--clients N] [--seconds S] [--program PATH] [--wal]
//
// --short (used by the test suite) uses a small database and runs each half for two seconds.
// --wal puts the database in SQLite's write-ahead-log mode, in which readers (the charts) never
// make the logger wait for its writes: the difference shows what that lock costs.
// Loopback only: the program it starts is the only one it talks to.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/readings_table.h"
#include "platform/database.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The readings table of the program's folder, filled with `rows` readings of six sensors spread
// over the last day (what the charts page shows by default); with `wal`, in write-ahead-log mode.
bool FillDatabase(const std::filesystem::path& app, int rows, bool wal) {
  const std::string file = (app / "1WireTemps.db").string();
  if (const std::string error =
          qb::CreateSqliteReadingsDatabase(file, "T_Temps", {"ROMAddress", "DTime", "Temp"});
      !error.empty()) {
    std::cerr << "chart_load: " << error << "\n";
    return false;
  }
  auto db = qb::OpenDatabase("Provider=SQLite;Data Source=" + file);
  const auto now = std::chrono::system_clock::now();
  db->Execute("BEGIN");
  for (int i = 0; i < rows; ++i) {
    const auto when =
        now - std::chrono::milliseconds(static_cast<int64_t>(86'400'000.0 * i / rows));
    db->Execute("INSERT INTO T_Temps (ROMAddress, DTime, Temp) VALUES ($1, $2, $3)",
                {qb::DbValue("Bench Sensor " + std::to_string(i % 6)), qb::DbValue(when),
                 qb::DbValue(20.0 + (i % 600) / 100.0)});
  }
  db->Execute("COMMIT");
  if (wal) db->Execute("PRAGMA journal_mode=WAL");
  return true;
}

// The program on the demo bus in a scratch folder, its output going to a file.
class Program {
 public:
  Program(const std::string& path, int rows, bool wal) {
    char tmpl[] = "/tmp/qb-chart-load-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::string settings = ReadAll(QB_DEMO_SETTINGS);
    settings = std::regex_replace(settings, std::regex("@DEMO_BUS@"), QB_DEMO_BUS);
    settings = std::regex_replace(settings, std::regex("PollCycle=\\d+"), "PollCycle=1");
    std::ofstream(dir_ / "settings.ini") << settings;
    std::filesystem::create_directories(dir_ / "app");
    if (!FillDatabase(dir_ / "app", rows, wal)) return;
    const std::string out = (dir_ / "output").string();
    const std::vector<std::string> args = {path,         "--standalone",
                                           "--app-dir",  (dir_ / "app").string(),
                                           "--settings", (dir_ / "settings.ini").string(),
                                           "--http",     "127.0.0.1:0"};
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    const auto deadline = Clock::now() + 20s;
    std::smatch m;
    while (pid_ > 0 && port_ == 0 && Clock::now() < deadline) {
      const std::string text = ReadAll(out);
      if (std::regex_search(text, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
        port_ = std::stoi(m[1]);
      else
        std::this_thread::sleep_for(50ms);
    }
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  int port() const { return port_; }
  std::string output() const { return ReadAll(dir_ / "output"); }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// One GET from `from` (a loopback address) on a connection of its own; the status (0: no answer)
// and the body.
int Get(int port, const std::string& from, const std::string& path, std::string* body = nullptr) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string got;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + path +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buf[16384];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (body) *body = got.substr(std::min(got.size(), got.find("\r\n\r\n") + 4));
  return got.rfind("HTTP/1.", 0) == 0 && got.size() > 12 ? std::stoi(got.substr(9, 3)) : 0;
}

// A counter of the program's metrics ("written" or "failed" rows); -1 when unknown.
double Rows(int port, const std::string& which = "written") {
  std::string body;
  if (Get(port, "127.0.0.1", "/metrics", &body) != 200) return -1;
  std::smatch m;
  if (!std::regex_search(body, m,
                         std::regex("\\nquellbrook_database_rows_" + which + "_total ([0-9.e+]+)")))
    return -1;
  return std::stod(m[1]);
}

struct Half {
  double readings_per_minute = 0;
  double lost = 0;                   // readings whose row could not be written
  std::vector<double> latencies_ms;  // of /api/devices
  int failed = 0;                    // /api/devices answers other than 200
  int charts = 0, refused = 0, chart_failed = 0;
  double Percentile(double p) const {
    if (latencies_ms.empty()) return 0;
    std::vector<double> sorted = latencies_ms;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()))];
  }
};

Half Measure(int port, int chart_clients, std::chrono::seconds length) {
  Half half;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<std::thread> clients;
  for (int c = 0; c < chart_clients; ++c) {
    clients.emplace_back([&, c] {
      const std::string from = "127.0.0." + std::to_string(10 + c);
      while (!stop) {
        const int status = Get(port, from, "/1-Wire?PAGE=1");
        std::lock_guard<std::mutex> lock(mutex);
        if (status == 200) {
          ++half.charts;
        } else if (status == 429 || status == 503) {
          ++half.refused;
        } else {
          ++half.chart_failed;
        }
      }
    });
  }
  const double rows_before = Rows(port);
  const double failed_before = Rows(port, "failed");
  const auto start = Clock::now();
  while (Clock::now() - start < length) {
    const auto asked = Clock::now();
    const int status = Get(port, "127.0.0.2", "/api/devices");
    half.latencies_ms.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
    if (status != 200) ++half.failed;
    std::this_thread::sleep_for(200ms);
  }
  const double minutes = std::chrono::duration<double>(Clock::now() - start).count() / 60;
  const double rows_after = Rows(port);
  half.lost = Rows(port, "failed") - failed_before;
  stop = true;
  for (auto& t : clients) t.join();
  half.readings_per_minute =
      rows_before < 0 || rows_after < 0 ? -1 : (rows_after - rows_before) / minutes;
  return half;
}

double Ratio(double with, double without) {
  return without > 0 ? with / without : 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool short_mode = false;
  bool wal = false;
  int rows = 2'000'000, clients = 4, seconds = 60;
  std::string program_path = QB_PROGRAM_PATH;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--short") {
      short_mode = true;
      rows = 20'000;
      seconds = 2;
    } else if (arg == "--rows" && i + 1 < argc) {
      rows = std::atoi(argv[++i]);
    } else if (arg == "--clients" && i + 1 < argc) {
      clients = std::atoi(argv[++i]);
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (arg == "--program" && i + 1 < argc) {
      program_path = argv[++i];
    } else if (arg == "--wal") {
      wal = true;
    } else {
      std::cerr << "usage: chart_load [--short] [--rows N] [--clients N] [--seconds S] "
                   "[--program PATH] [--wal]\n";
      return 2;
    }
  }
  const auto filling = Clock::now();
  Program program(program_path, rows, wal);
  if (program.port() == 0) {
    std::cerr << "chart_load: the program did not start:\n" << program.output();
    return 1;
  }
  const double fill_s = std::chrono::duration<double>(Clock::now() - filling).count();
  const int port = program.port();
  // Logging is under way once the first readings are written.
  for (auto until = Clock::now() + 20s; Rows(port) <= 0 && Clock::now() < until;)
    std::this_thread::sleep_for(100ms);

  const Half without = Measure(port, 0, std::chrono::seconds(seconds));
  const Half with = Measure(port, clients, std::chrono::seconds(seconds));

  std::printf(
      "charts while logging: %d rows (filled and started in %.1f s), %d chart clients, "
      "%d s each way%s\n",
      rows, fill_s, clients, seconds, short_mode ? " (short run: numbers mean little)" : "");
  std::printf("%-22s %14s %12s %12s %12s %8s %8s %8s\n", "", "readings/min", "devices p50",
              "devices p99", "devices max", "charts", "refused", "lost");
  for (const auto& [name, h] : {std::pair<const char*, const Half&>{"without charts", without},
                                std::pair<const char*, const Half&>{"with charts", with}}) {
    std::printf("%-22s %14.0f %9.1f ms %9.1f ms %9.1f ms %8d %8d %8.0f\n", name,
                h.readings_per_minute, h.Percentile(0.5), h.Percentile(0.99), h.Percentile(1.0),
                h.charts, h.refused, h.lost);
  }
  std::printf("%-22s %14.2f %12.2f %12.2f %12.2f\n", "ratio (with/without)",
              Ratio(with.readings_per_minute, without.readings_per_minute),
              Ratio(with.Percentile(0.5), without.Percentile(0.5)),
              Ratio(with.Percentile(0.99), without.Percentile(0.99)),
              Ratio(with.Percentile(1.0), without.Percentile(1.0)));

  int status = 0;
  if (without.readings_per_minute <= 0 || with.readings_per_minute <= 0) {
    std::cerr << "chart_load: the program logged no readings in a run\n";
    status = 1;
  }
  if (without.failed + with.failed > 0) {
    std::cerr << "chart_load: /api/devices failed " << without.failed + with.failed << " times\n";
    status = 1;
  }
  if (clients > 0 && (with.charts == 0 || with.chart_failed > 0)) {
    std::cerr << "chart_load: " << with.charts << " charts drawn, " << with.chart_failed
              << " failed\n";
    status = 1;
  }
  if (status != 0) std::cerr << program.output();
  return status;
}
