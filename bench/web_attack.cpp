// Attack and load run of the built-in host's web server: starts the real program on the demo bus
// on a loopback port of its own, replays hostile requests and measures it under load, and prints
// a table: requests per second on the JSON device list and the device list page, the latency of
// a GET while 50 slow clients hold connections open, the program's memory before and after, and
// the status every attack got. Exits 1 when an attack got another status than the expected one.
//
//   web_attack [--short] [--program PATH]
//
// --short (used by the test suite) runs each load for a fraction of a second. Loopback only: the
// program it starts is the only one it talks to.
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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http_load.h"

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

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The program on the demo bus, in a scratch folder, its output going to a file.
class Program {
 public:
  explicit Program(const std::string& path) {
    char tmpl[] = "/tmp/qb-web-attack-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::string settings = ReadAll(QB_DEMO_SETTINGS);
    settings = std::regex_replace(settings, std::regex("@DEMO_BUS@"), QB_DEMO_BUS);
    std::ofstream(dir_ / "settings.ini") << settings;
    std::filesystem::create_directories(dir_ / "app" / "html" / "1wire");
    std::ofstream(dir_ / "app" / "html" / "1wire" / "a.txt") << "plain";
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
  // Resident memory in kB, from /proc.
  long RssKb() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
  }
  std::string output() const { return ReadAll(dir_ / "output"); }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// Sends `head` (request line and headers, without the blank line) and `body`, in pieces so that
// a server that answers early is not blocked by the rest; returns the answer's status (0: none).
int RawRequest(int port, const std::string& head, const std::string& body = "") {
  const int fd = Connect(port);
  if (fd < 0) return 0;
  const std::string all = head + "\r\n\r\n" + body;
  for (size_t sent = 0; sent < all.size();) {
    const ssize_t n =
        send(fd, all.data() + sent, std::min<size_t>(65536, all.size() - sent), MSG_NOSIGNAL);
    if (n <= 0) break;  // the server closed: it has answered already
    sent += static_cast<size_t>(n);
  }
  std::string got;
  char buf[4096];
  while (got.find("\r\n") == std::string::npos) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  std::smatch m;
  return std::regex_search(got, m, std::regex("^HTTP/1\\.[01] (\\d{3})")) ? std::stoi(m[1]) : 0;
}

// Resident memory the program gains per connection that is opened and left idle, in bytes.
long IdleConnectionBytes(const Program& program, int port, int connections) {
  const long before = program.RssKb();
  std::vector<int> fds;
  for (int i = 0; i < connections; ++i) {
    const int fd = Connect(port);
    if (fd >= 0) fds.push_back(fd);
  }
  // The server takes the connections in; a request on a fresh one shows it got that far.
  bench::HttpConnection probe(port);
  probe.Get("/api/devices");
  std::this_thread::sleep_for(300ms);
  const long after = program.RssKb();
  for (int fd : fds) close(fd);
  return fds.empty() ? 0 : (after - before) * 1024 / static_cast<long>(fds.size());
}

// The 95th percentile of `count` GETs of the JSON device list, in milliseconds, while `slow`
// clients hold connections open, each sending one header byte every 3 seconds.
double SlowClientsP95(int port, int slow, int count) {
  std::vector<int> fds;
  for (int i = 0; i < slow; ++i) {
    const int fd = Connect(port);
    if (fd >= 0) fds.push_back(fd);
  }
  std::atomic<bool> stop{false};
  std::thread dribble([&] {
    const std::string request = "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    for (size_t i = 0; !stop; ++i) {
      for (int fd : fds) send(fd, &request[std::min(i, request.size() - 1)], 1, MSG_NOSIGNAL);
      for (int w = 0; w < 30 && !stop; ++w) std::this_thread::sleep_for(100ms);
    }
  });
  std::this_thread::sleep_for(200ms);
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    bench::HttpConnection client(port);  // a starved server counts as 10 s
    const auto start = Clock::now();
    const int status = client.Get("/api/devices");
    ms.push_back(status == 200 ? Ms(Clock::now() - start) : 10000.0);
  }
  stop = true;
  dribble.join();
  for (int fd : fds) close(fd);
  std::sort(ms.begin(), ms.end());
  return ms[std::min(ms.size() - 1, static_cast<size_t>(ms.size() * 0.95))];
}

// The figures of the earlier web server (threads on a blocking library) from one full run of this
// program on the development machine, 20 clients for 5 s each: what the present server is
// compared with.
struct Recorded {
  double per_second, p50_ms, p95_ms, p99_ms;
};
constexpr Recorded kBeforeApi{17663, 0.75, 1.66, 2.79};
constexpr Recorded kBeforePage{6834, 2.73, 3.93, 5.90};

struct Attack {
  std::string name;
  std::string head;
  std::string body;
  int expected;
};

}  // namespace

int main(int argc, char** argv) {
  bool short_mode = false;
  std::string program_path = QB_PROGRAM_PATH;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--short") {
      short_mode = true;
    } else if (arg == "--program" && i + 1 < argc) {
      program_path = argv[++i];
    } else {
      std::cerr << "usage: web_attack [--short] [--program PATH]\n";
      return 2;
    }
  }
  Program program(program_path);
  if (program.port() == 0) {
    std::cerr << "web_attack: the program did not start:\n" << program.output();
    return 1;
  }
  const int port = program.port();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  std::this_thread::sleep_for(short_mode ? 500ms : 3s);  // the device list fills in
  const long rss_before = program.RssKb();

  const auto load_time = short_mode ? 300ms : 5s;
  const int clients = short_mode ? 4 : 20;
  const bench::LoadResult api = bench::Load(port, "/api/devices", clients, load_time);
  const bench::LoadResult page = bench::Load(port, "/1-Wire", clients, load_time);
  const double p95 = SlowClientsP95(port, 50, short_mode ? 10 : 60);
  const int idle_count = 100;  // below what one address may hold
  const long idle_bytes = IdleConnectionBytes(program, port, idle_count);

  const std::string big_plain(1200 * 1024, 'A');
  std::string escapes = "a=";  // a value of escapes, decoded by the page's form handling
  while (escapes.size() < 1200 * 1024) escapes += "%41";
  const std::string equals(4 * 1024 * 1024, '=');
  const std::string json_type = "Content-Type: application/json\r\n";
  const std::string form_type = "Content-Type: application/x-www-form-urlencoded\r\n";
  auto length = [](const std::string& body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n";
  };
  const std::string off = R"({"command": "Off"})";
  const std::string long_name = "{\"name\": \"" + std::string(300, 'n') + "\"}";
  const std::string huge_name = "{\"name\": \"" + std::string(10 * 1024 * 1024, 'n') + "\"}";
  std::string ranges = "Range: bytes=0-";
  for (int i = 0; i < 2700; ++i) ranges += ",0-";
  ranges += "\r\n";
  std::string many_headers;
  for (int i = 0; many_headers.size() < 1024 * 1024; ++i)
    many_headers += "X-Header-" + std::to_string(i) + ": a\r\n";
  auto head = [&](const std::string& line, const std::string& headers) {
    std::string h = line + "\r\n" + host + headers;
    h.resize(h.size() - 2);  // the last header's line break comes with the blank line
    return h;
  };
  const std::vector<Attack> attacks = {
      {"cross-site API command (text/plain)",
       head("POST /api/devices/1000001/command HTTP/1.1",
            "Origin: http://evil.example\r\nContent-Type: text/plain\r\n" + length(off)),
       off, 403},
      {"cross-site form post /1-Wire",
       head("POST /1-Wire HTTP/1.1",
            "Origin: http://evil.example\r\n" + form_type + length("UpdateA16=On")),
       "UpdateA16=On", 403},
      {"API command as text/plain, no origin",
       head("POST /api/devices/1000001/command HTTP/1.1",
            "Content-Type: text/plain\r\n" + length(off)),
       off, 415},
      {"foreign Host (DNS rebinding)",
       "GET /api/devices HTTP/1.1\r\nHost: evil.example:" + std::to_string(port), "", 421},
      {"1.2 MB text/plain post a=%41%41...",
       head("POST /1-Wire HTTP/1.1", "Content-Type: text/plain\r\n" + length(escapes)), escapes,
       413},
      {"1.2 MB form post", head("POST /1-Wire HTTP/1.1", form_type + length(big_plain)), big_plain,
       413},
      {"4 MB text/plain post of \"=\"",
       head("POST /1-Wire HTTP/1.1", "Content-Type: text/plain\r\n" + length(equals)), equals, 413},
      {"chunked form post",
       head("POST /1-Wire HTTP/1.1", form_type + "Transfer-Encoding: chunked\r\n"),
       "5\r\nA=1&B\r\n0\r\n\r\n", 411},
      {"10 MB name (PATCH)",
       head("PATCH /api/devices/1000001 HTTP/1.1", json_type + length(huge_name)), huge_name, 413},
      {"300-character name (PATCH)",
       head("PATCH /api/devices/1000001 HTTP/1.1", json_type + length(long_name)), long_name, 400},
      {"NUL in a path", head("GET /1wire/a.txt%00.html HTTP/1.1", ""), "", 400},
      {"path traversal", head("GET /1wire/..%2f..%2fsettings.ini HTTP/1.1", ""), "", 404},
      {"plain file in the image folder", head("GET /1wire/a.txt HTTP/1.1", ""), "", 200},
      {"2,700 ranges of one file", head("GET /1wire/a.txt HTTP/1.1", ranges), "", 200},
      {"two Content-Length values",
       head("PATCH /api/devices/1000001 HTTP/1.1",
            json_type + "Content-Length: 2\r\nContent-Length: 40\r\n"),
       "{}", 400},
      {"\"Transfer-Encoding :\" with a blank",
       head("POST /api/devices/1000001/command HTTP/1.1",
            json_type + "Transfer-Encoding : chunked\r\n" + length(off)),
       off, 400},
      {"1 MB of headers", head("GET /api/devices HTTP/1.1", many_headers), "", 431},
  };

  std::printf("%-40s %8s %8s %10s\n", "attack", "expected", "status", "time ms");
  int failures = 0;
  for (const auto& attack : attacks) {
    const auto start = Clock::now();
    const int status = RawRequest(port, attack.head, attack.body);
    const double took = Ms(Clock::now() - start);
    if (status != attack.expected) ++failures;
    std::printf("%-40s %8d %8d %10.1f%s\n", attack.name.c_str(), attack.expected, status, took,
                status == attack.expected ? "" : "  <-- unexpected");
  }
  std::this_thread::sleep_for(200ms);
  const long rss_after = program.RssKb();

  std::printf("\n%-40s %12s\n", "measure", "value");
  std::printf("%-34s %10s %8s %8s %8s %10s\n",
              ("load (" + std::to_string(clients) + " clients)").c_str(), "req/s", "p50 ms",
              "p95 ms", "p99 ms", "ratio");
  auto row = [](const char* name, const bench::LoadResult& r, const Recorded& before) {
    std::printf("%-34s %10.0f %8.2f %8.2f %8.2f %10s\n", name, r.per_second, r.p50_ms, r.p95_ms,
                r.p99_ms, "");
    std::printf("%-34s %10.0f %8.2f %8.2f %8.2f %10.2f\n", "  before the server change",
                before.per_second, before.p50_ms, before.p95_ms, before.p99_ms,
                r.per_second / before.per_second);
  };
  row("GET /api/devices", api, kBeforeApi);
  row("GET /1-Wire (device list)", page, kBeforePage);
  std::printf("\n%-40s %12s\n", "measure", "value");
  std::printf("%-40s %12.1f\n", "GET p95 ms with 50 slow clients open", p95);
  std::printf("%-40s %12ld\n", "RSS before, kB", rss_before);
  std::printf("%-40s %12ld\n", "RSS after, kB", rss_after);
  std::printf("%-40s %12ld\n",
              ("bytes per idle connection (" + std::to_string(idle_count) + ")").c_str(),
              idle_bytes);
  if (failures) std::printf("\n%d attack(s) got an unexpected status\n", failures);
  return failures ? 1 : 0;
}
