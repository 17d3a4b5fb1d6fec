// Throughput and CPU of the MQTT bridge, against mosquitto_pub sending the same messages. Starts
// its own mosquitto on a free loopback port, gives a built-in host N thermometer channels of the
// plug-in (500 by default) and runs the bridge on this thread's event loop:
//
//  1. every channel changes once a second for a few seconds, as on a large bus: the messages the
//     bridge publishes per second (state and attributes of each change) and the CPU it costs;
//  2. every channel changes at every sync, as fast as the bridge goes: its capacity;
//  3. the messages of one second of (1) sent by mosquitto_pub, one process per message as a
//     script would, and all through one `mosquitto_pub -l` (one topic; its best case).
//
// A subscriber then checks that the broker holds every channel's last state. Prints a table with
// CPU microseconds per message and the ratios; exits 1 when a state is missing.
//
//   mqtt_bench [--short] [--channels N]
//
// --short (used by the test suite) runs 50 channels for 2 s.
#include <mosquitto.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/hspi.h"
#include "host/builtin_host.h"
#include "host/mqtt_bridge.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "support/mqtt_broker.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Seconds(Steady::duration d) {
  return std::chrono::duration<double>(d).count();
}

int Run(const std::vector<std::string>& args, const std::string& input = {}) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipe_fds[2] = {-1, -1};
  if (!input.empty()) {
    if (pipe(pipe_fds) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
  }
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (!input.empty()) {
    close(pipe_fds[0]);
    for (size_t done = 0; rc == 0 && done < input.size();) {
      const ssize_t n = write(pipe_fds[1], input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(pipe_fds[1]);
  }
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Key(int i) {
  char rom[20];
  std::snprintf(rom, sizeof rom, "%012X%02X28", i + 1, 0);
  return std::string(rom) + "M";
}

}  // namespace

int main(int argc, char** argv) {
  bool short_run = false;
  int channels = 500;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--short") == 0) short_run = true;
    if (std::strcmp(argv[i], "--channels") == 0 && i + 1 < argc) channels = std::atoi(argv[++i]);
  }
  if (short_run) channels = 50;
  const int seconds = short_run ? 2 : 10;
  if (qb::test::MosquittoProgram().empty()) {
    std::printf("mosquitto is not installed (Debian package mosquitto): nothing to measure\n");
    return 0;
  }
  qb::test::TempDir dir;
  qb::test::MqttBroker broker(dir.path());
  std::string error;
  if (!broker.Start(error)) {
    std::fprintf(stderr, "mqtt_bench: %s\n", error.c_str());
    return 1;
  }

  qb::SystemClock clock;
  qb::HeadlessEventLoop loop(clock);
  loop.AdoptCurrentThread();
  auto host = std::make_shared<qb::BuiltInHost>(dir.str(), clock, false);
  host->Start();
  std::vector<std::shared_ptr<qb::DeviceRecord>> devices;
  for (int i = 0; i < channels; ++i) {
    auto d = host->devices().ByRef(host->NewDevice(Key(i)));
    d->interface = qb::kPluginName;
    d->iomisc = Key(i);
    d->hc = std::string(1, static_cast<char>('A' + i / 64));
    d->dc = std::to_string(i % 64 + 1);
    d->string = "20";
    devices.push_back(d);
  }
  qb::MqttSettings settings;
  settings.enabled = true;
  settings.host = "127.0.0.1";
  settings.port = broker.port();
  qb::MqttBridge bridge(*host, loop, settings);
  if (std::string problem = bridge.Start(); !problem.empty()) {
    std::fprintf(stderr, "mqtt_bench: %s\n", problem.c_str());
    return 1;
  }
  const auto deadline = Steady::now() + 10s;
  while ((!bridge.Connected() || bridge.Published() < static_cast<uint64_t>(channels)) &&
         Steady::now() < deadline) {
    loop.RunDue();
    std::this_thread::sleep_for(5ms);
  }
  if (!bridge.Connected()) {
    std::fprintf(stderr, "mqtt_bench: the bridge did not connect\n");
    return 1;
  }
  int step = 0;
  auto change_all = [&] {
    ++step;
    const auto now = clock.Now();
    for (int i = 0; i < channels; ++i) {
      auto& d = *devices[static_cast<size_t>(i)];
      d.string = std::to_string(20 + i % 10) + "." + std::to_string(step % 100);
      d.lastChange = now;
    }
  };

  // 1. Every channel changes once a second.
  uint64_t before = bridge.Published();
  double cpu = CpuSeconds(RUSAGE_SELF);
  auto start = Steady::now();
  for (int s = 0; s < seconds; ++s) {
    change_all();
    const auto next = start + std::chrono::seconds(s + 1);
    while (Steady::now() < next) {
      loop.RunDue();
      std::this_thread::sleep_for(5ms);
    }
  }
  const double paced_wall = Seconds(Steady::now() - start);
  const double paced_cpu = CpuSeconds(RUSAGE_SELF) - cpu;
  const double paced_messages = static_cast<double>(bridge.Published() - before);

  // 2. As fast as it goes: a change of every channel before every sync.
  before = bridge.Published();
  cpu = CpuSeconds(RUSAGE_SELF);
  start = Steady::now();
  while (Steady::now() - start < std::chrono::seconds(short_run ? 1 : 3)) {
    change_all();
    bridge.Sync();
    loop.RunDue();
  }
  const double fast_wall = Seconds(Steady::now() - start);
  const double fast_cpu = CpuSeconds(RUSAGE_SELF) - cpu;
  const double fast_messages = static_cast<double>(bridge.Published() - before);

  // The broker holds the last state of every channel.
  const std::string last = devices.back()->string;
  loop.RunDue();
  bridge.Sync();
  int missing = 0;
  {
    qb::test::MqttProbe probe(broker.port(), "quellbrook/+/state");
    const std::string topic = "quellbrook/" + Key(channels - 1) + "/state";
    // The loop turns meanwhile: a bridge that lost its connection under the load republishes.
    const auto until = Steady::now() + 20s;
    auto complete = [&] {
      const auto seen = probe.Snapshot();
      return static_cast<int>(seen.size()) == channels && seen.count(topic) &&
             seen.at(topic).payload == last;
    };
    while (!complete() && Steady::now() < until) {
      loop.RunDue();
      std::this_thread::sleep_for(20ms);
    }
    missing = channels - static_cast<int>(probe.Snapshot().size());
    if (probe.Last(topic) != last) ++missing;
  }
  bridge.Stop();

  // 3. One second of (1) through mosquitto_pub.
  const std::string port = std::to_string(broker.port());
  const int per_second = static_cast<int>(paced_messages / seconds);
  double child_cpu = CpuSeconds(RUSAGE_CHILDREN);
  start = Steady::now();
  int failures = 0;
  for (int i = 0; i < per_second; ++i) {
    failures += Run({"mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-r", "-t",
                     "quellbrook/" + Key(i % channels) + "/state", "-m", "21.5"}) != 0;
  }
  const double spawn_wall = Seconds(Steady::now() - start);
  const double spawn_cpu = CpuSeconds(RUSAGE_CHILDREN) - child_cpu;
  std::string lines;
  for (int i = 0; i < per_second; ++i) lines += "21." + std::to_string(i % 100) + "\n";
  child_cpu = CpuSeconds(RUSAGE_CHILDREN);
  start = Steady::now();
  failures +=
      Run({"mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-t", "bench/lines", "-l"}, lines) != 0;
  const double lines_wall = Seconds(Steady::now() - start);
  const double lines_cpu = CpuSeconds(RUSAGE_CHILDREN) - child_cpu;

  auto us_per = [](double cpu_s, double messages) {
    return messages > 0 ? cpu_s * 1e6 / messages : 0;
  };
  const double bridge_us = us_per(paced_cpu, paced_messages);
  std::printf("MQTT bridge, %d channels, each changing every second for %d s\n", channels, seconds);
  std::printf("%-44s %12s %10s %14s\n", "", "messages/s", "CPU %", "CPU us/message");
  std::printf("%-44s %12.0f %10.2f %14.2f\n", "bridge, every channel once a second",
              paced_messages / paced_wall, 100 * paced_cpu / paced_wall, bridge_us);
  std::printf("%-44s %12.0f %10.2f %14.2f\n", "bridge, as fast as it goes",
              fast_messages / fast_wall, 100 * fast_cpu / fast_wall,
              us_per(fast_cpu, fast_messages));
  std::printf("%-44s %12.0f %10.2f %14.2f\n", "mosquitto_pub, one process per message",
              per_second / spawn_wall, 100 * spawn_cpu / spawn_wall, us_per(spawn_cpu, per_second));
  std::printf("%-44s %12.0f %10.2f %14.2f\n", "mosquitto_pub -l, one topic, one process",
              per_second / lines_wall, 100 * lines_cpu / lines_wall, us_per(lines_cpu, per_second));
  if (bridge_us > 0) {
    std::printf(
        "CPU per message: mosquitto_pub per message / bridge = %.1f; mosquitto_pub -l / "
        "bridge = %.2f\n",
        us_per(spawn_cpu, per_second) / bridge_us, us_per(lines_cpu, per_second) / bridge_us);
  }
  int lost = 0;
  for (const auto& line : host->log().Tail(10000))
    lost += line.text.find("Lost the connection") != std::string::npos;
  if (lost) std::printf("The bridge lost its connection to the broker %d time(s)\n", lost);
  if (missing || failures) {
    std::fprintf(
        stderr,
        "mqtt_bench: %d channel state(s) missing at the broker, %d mosquitto_pub failure(s)\n",
        missing, failures);
    return 1;
  }
  return 0;
}
