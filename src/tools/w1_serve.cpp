#include "tools/w1_serve.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/clock.h"
#include "sim/emulations/w1_socket_protocol.h"
#include "sim/emulations/w1_socket_server.h"
#include "tools/serve_command.h"

namespace qb {

namespace {

// The library preloaded into the command: named by QB_W1_PRELOAD, else beside this program (as
// installed), else where the build made it.
std::string PreloadLibrary() {
  if (const char* path = std::getenv("QB_W1_PRELOAD"); path && *path) return path;
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const auto& candidate :
         {self.parent_path() / "libqb_w1_preload.so",
          self.parent_path() / "../lib/quellbrook-1wire/libqb_w1_preload.so"}) {
      if (std::filesystem::exists(candidate, ec)) return candidate.string();
    }
  }
#ifdef QB_W1_PRELOAD_PATH
  if (std::filesystem::exists(QB_W1_PRELOAD_PATH, ec)) return QB_W1_PRELOAD_PATH;
#endif
  return {};
}

// The command's process id while it runs, for the signal handler.
volatile sig_atomic_t command_pid = 0;

// Stopping the bus tool stops the command (which then ends the tool): it is passed on.
void PassOn(int signal) {
  if (command_pid > 0) kill(static_cast<pid_t>(command_pid), signal);
}

std::string Joined(const char* variable, const std::string& value, const char* separator) {
  const char* old = std::getenv(variable);
  return old && *old ? value + separator + old : value;
}

}  // namespace

int ServeW1(const std::string& bus_file, bool refuse_join, const std::vector<std::string>& command,
            std::ostream& err) {
  SystemClock clock;
  const auto bus = LoadServedBus(bus_file, clock, err);
  if (!bus) return 1;
  const std::string preload = PreloadLibrary();
  if (preload.empty()) {
    err << "quellbrook-bus: the netlink emulation library libqb_w1_preload.so was not found "
           "beside this program; name it with QB_W1_PRELOAD\n";
    return 1;
  }
  char dir_template[] = "/tmp/quellbrook-w1-XXXXXX";
  if (!mkdtemp(dir_template)) {
    err << "quellbrook-bus: cannot make a folder for the emulation's socket in /tmp\n";
    return 1;
  }
  const std::string dir = dir_template;
  auto kernel = std::make_shared<sim::W1KernelEmulator>(bus);
  kernel->RefuseJoin(refuse_join);
  sim::W1SocketServer server(kernel, dir + "/kernel");
  int status = 1;
  // SIGUSR1 removes the master and SIGUSR2 adds it again, each change an event for the group:
  // taken by a thread of their own, the signals blocked everywhere else (but in the command).
  sigset_t master_signals, previous_mask;
  sigemptyset(&master_signals);
  sigaddset(&master_signals, SIGUSR1);
  sigaddset(&master_signals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &master_signals, &previous_mask);
  std::atomic<bool> stop{false};
  std::thread faults([&] {
    const timespec poll_interval{0, 100'000'000};
    while (!stop) {
      const int signal = sigtimedwait(&master_signals, nullptr, &poll_interval);
      if (signal == SIGUSR1) server.Broadcast(kernel->RemoveMaster());
      if (signal == SIGUSR2) server.Broadcast(kernel->AddMaster());
    }
  });
  try {
    server.Start();
    const pid_t child = fork();
    if (child == 0) {
      pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
      setenv(sim::kW1SocketEnv, server.SocketPath().c_str(), 1);
      setenv("LD_PRELOAD", Joined("LD_PRELOAD", preload, ":").c_str(), 1);
      // A program built with the address sanitizer accepts a library preloaded before its own.
      setenv("ASAN_OPTIONS", Joined("ASAN_OPTIONS", "verify_asan_link_order=0", ":").c_str(), 1);
      std::vector<char*> argv;
      for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    if (child < 0) throw std::runtime_error("cannot start " + command[0]);
    command_pid = child;
    struct sigaction pass_on {};
    pass_on.sa_handler = PassOn;
    sigemptyset(&pass_on.sa_mask);
    struct sigaction previous[3];
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) sigaction(signals[i], &pass_on, &previous[i]);
    int wstatus = 0;
    while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) {
      status = WEXITSTATUS(wstatus);
      if (status == 127) err << "quellbrook-bus: cannot run " << command[0] << "\n";
    } else {
      status = 128 + WTERMSIG(wstatus);
    }
    command_pid = 0;
    for (int i = 0; i < 3; ++i) sigaction(signals[i], &previous[i], nullptr);
  } catch (const std::exception& e) {
    err << "quellbrook-bus: " << e.what() << "\n";
  }
  stop = true;
  faults.join();
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  server.Stop();
  std::filesystem::remove_all(dir);
  return status;
}

}  // namespace qb
