// A thousand clients that each send a byte of a request every three seconds for half a minute,
// while a household member loads the device list and the API every second: each load answers
// within a second, and the program's memory grows little and comes back after.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long RssKb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

int ConnectFrom(const std::string& from, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(SlowClients, ThousandDribblersDoNotHoldUpTheHousehold) {
  TempDir dir;
  WriteFile(dir.path() / "settings.ini",
            "[Settings]\nIntType=SIM\nIntPort=" + std::string(QB_DEMO_BUS) + "\nPollCycle=5\n");
  ChildProcess program({QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir.path() / "app").string(),
                        "--settings", (dir.path() / "settings.ini").string(), "--http",
                        "127.0.0.1:0"});
  std::smatch m;
  const std::string line = program.WaitForLine("Web pages: ");
  ASSERT_TRUE(std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/"))) << line;
  const int port = std::stoi(m[1]);
  HttpClient household("127.0.0.1", port);
  household.set_read_timeout(10s);
  ASSERT_EQ(household.Get("/1-Wire")->status, 200);
  const long rss_before = RssKb(program.pid());

  // Ten addresses of a hundred connections each (one address may hold only so many).
  std::vector<int> slow;
  for (int i = 0; i < 1000; ++i) {
    const int fd = ConnectFrom("127.0.0." + std::to_string(2 + i % 10), port);
    ASSERT_GE(fd, 0) << "connection " << i;
    slow.push_back(fd);
  }
  std::atomic<bool> stop{false};
  std::thread dribble([&] {
    const std::string request = "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    for (size_t i = 0; !stop; ++i) {
      for (int fd : slow) send(fd, &request[std::min(i, request.size() - 1)], 1, MSG_NOSIGNAL);
      for (int w = 0; w < 30 && !stop; ++w) std::this_thread::sleep_for(100ms);
    }
  });
  long rss_peak = rss_before;
  double worst_ms = 0;
  const auto end = Clock::now() + 30s;
  while (Clock::now() < end) {
    const auto second = Clock::now() + 1s;
    for (const char* path : {"/1-Wire", "/api/devices"}) {
      const auto start = Clock::now();
      auto res = household.Get(path);
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      ASSERT_TRUE(res) << path << ": " << res.error();
      EXPECT_EQ(res->status, 200) << path;
      EXPECT_LT(ms, 1000.0) << path;
      worst_ms = std::max(worst_ms, ms);
    }
    rss_peak = std::max(rss_peak, RssKb(program.pid()));
    std::this_thread::sleep_until(second);
  }
  stop = true;
  dribble.join();
  for (int fd : slow) close(fd);
  EXPECT_LT(rss_peak - rss_before, 50 * 1024) << "kB";
  // Memory comes back once the slow clients are gone.
  long rss_after = RssKb(program.pid());
  for (int i = 0; i < 50 && rss_after > rss_before + 10 * 1024; ++i) {
    std::this_thread::sleep_for(100ms);
    rss_after = RssKb(program.pid());
  }
  EXPECT_LT(rss_after - rss_before, 10 * 1024) << "kB";
  std::printf("worst load %.1f ms; memory %ld kB before, %ld kB at most, %ld kB after\n", worst_ms,
              rss_before, rss_peak, rss_after);
}

}  // namespace
}  // namespace qb::test
