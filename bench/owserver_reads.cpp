#include "owserver_reads.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <vector>

namespace qb::bench {

std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  close(s);
  return port;
}

bool Installed(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

OwserverReads ReadThroughOwserver(const OwserverSetup& setup) {
  OwserverReads run;
  const std::string server = "127.0.0.1:" + std::to_string(FreePort());
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    if (!setup.preload.empty()) setenv("LD_PRELOAD", setup.preload.c_str(), 1);
    std::vector<std::string> args = setup.command_prefix;
    for (const std::string& a : {std::string("owserver"), std::string("--foreground"),
                                 setup.device_option, std::string("-p"), server})
      args.push_back(a);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  // The device list, once owserver has found the adapter and searched the bus.
  std::vector<std::string> ids;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(30 + static_cast<int>(setup.thermometers) / 2);
  while (ids.size() < setup.thermometers && std::chrono::steady_clock::now() < deadline) {
    ids.clear();
    std::istringstream list(Capture("owdir -s " + server + " / 2>/dev/null"));
    std::string line;
    while (std::getline(list, line))
      if (line.rfind("/28.", 0) == 0) ids.push_back(line.substr(1));
    if (ids.size() < setup.thermometers)
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  if (ids.size() != setup.thermometers)
    std::printf("  owserver: listed %zu of %zu devices\n", ids.size(), setup.thermometers);

  const uint64_t before = setup.line_count();
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& id : ids) {
    const std::string text =
        Capture("owread -s " + server + " /uncached/" + id + "/temperature 2>/dev/null");
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || std::fabs(value - setup.expected(id)) > 0.001) ++run.wrong;
  }
  run.wrong += static_cast<int>(setup.thermometers - ids.size());
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.line = setup.line_count() - before;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  return run;
}

}  // namespace qb::bench
