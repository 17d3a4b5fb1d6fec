#include "tools/serve_usb.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/clock.h"
#include "sim/emulations/usb_testbed.h"
#include "tools/serve_command.h"
#include "tools/umockdev_restart.h"

namespace qb {

int ServeUsb(const std::vector<std::string>& tool_args, const std::string& bus_file,
             const std::vector<std::string>& command, std::ostream& err) {
  // The emulated device exists only for programs under umockdev's preload library: this
  // process (which makes the device) and the command (which inherits it).
  if (!sim::UsbTestbed::InMockEnvironment())
    return RestartUnderUmockdev(tool_args, "the emulated DS9490R", err);
  SystemClock clock;  // the command runs in real time, and so does the bus
  const auto bus = LoadServedBus(bus_file, clock, err);
  if (!bus) return 1;
  sigset_t signals, previous;
  sigemptyset(&signals);
  for (int s : {SIGCHLD, SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  sim::UsbTestbed testbed(bus);
  try {
    testbed.Plug();
  } catch (const std::exception& e) {
    err << "quellbrook-bus: " << e.what() << "\n";
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 1;
  }
  err << "quellbrook-bus: serving " << bus_file << " as an emulated DS9490R (USB 04FA:2490 at "
      << testbed.DeviceNode() << ") to " << command[0] << std::endl;
  std::vector<std::string> child_args = command;
  auto argv = ExecArgv(child_args);
  const pid_t child = fork();
  if (child == 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    unsetenv("QB_UMOCKDEV_WRAPPED");
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "quellbrook-bus: %s cannot run: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  if (child < 0) {
    err << "quellbrook-bus: cannot start " << command[0] << ": " << std::strerror(errno) << "\n";
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 1;
  }
  int status = 0;
  for (;;) {
    int signal = 0;
    sigwait(&signals, &signal);
    if (signal == SIGUSR1) {
      testbed.Unplug();
      err << "quellbrook-bus: the emulated DS9490R was unplugged" << std::endl;
    } else if (signal == SIGUSR2) {
      try {
        testbed.Plug();
        err << "quellbrook-bus: the emulated DS9490R was plugged in again" << std::endl;
      } catch (const std::exception& e) {
        err << "quellbrook-bus: " << e.what() << "\n";
      }
    } else if (signal == SIGINT || signal == SIGTERM) {
      kill(child, signal);
    }
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace qb
