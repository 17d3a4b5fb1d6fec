#include "tools/serve_ds2482.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/clock.h"
#include "sim/emulations/ds2482_emulator.h"
#include "sim/emulations/i2c_dev_server.h"
#include "tools/serve_command.h"
#include "tools/umockdev_restart.h"

namespace qb {

namespace {

// The command being run: SIGINT and SIGTERM are passed on to it, so that stopping the server
// stops the command, and the server ends when it has.
volatile pid_t running_command = 0;

void PassOn(int signal) {
  if (running_command > 0) kill(running_command, signal);
}

}  // namespace

int ServeDS2482(const DS2482ServeOptions& o, const std::vector<std::string>& self_args,
                std::ostream& err) {
  if (!sim::I2cDevServer::UnderUmockdev())
    return RestartUnderUmockdev(self_args, "the emulated I2C bus", err);

  SystemClock clock;  // the command runs in real time, and so does the bus
  std::vector<std::shared_ptr<sim::SimBus>> buses;
  for (int c = 0; c < o.channels; ++c) {
    buses.push_back(LoadServedBus(o.bus_file, clock, err));
    if (!buses.back()) return 1;
  }
  auto chip = std::make_shared<sim::DS2482Emulator>(buses);
  sim::I2cDevServer server(chip, o.address, o.bus_number);
  try {
    server.Start();
  } catch (const std::exception& e) {
    err << "quellbrook-bus: " << e.what() << "\n";
    return 1;
  }
  char address[8];
  std::snprintf(address, sizeof address, "0x%02X", o.address);
  err << "quellbrook-bus: serving " << o.bus_file << " as a "
      << (o.channels == 8 ? "DS2482-800" : "DS2482-100") << " on " << server.NodePath()
      << " address " << address << std::endl;

  std::vector<std::string> command = o.command;
  auto argv = ExecArgv(command);
  const pid_t child = fork();
  if (child < 0) {
    err << "quellbrook-bus: cannot start " << command[0] << ": " << std::strerror(errno) << "\n";
    return 1;
  }
  if (child == 0) {
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "quellbrook-bus: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  running_command = child;
  struct sigaction pass_on {};
  pass_on.sa_handler = PassOn;
  sigemptyset(&pass_on.sa_mask);
  struct sigaction old_int {
  }, old_term{};
  sigaction(SIGINT, &pass_on, &old_int);
  sigaction(SIGTERM, &pass_on, &old_term);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  running_command = 0;
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  err << "quellbrook-bus: " << server.Transactions() << " I2C transactions" << std::endl;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace qb
