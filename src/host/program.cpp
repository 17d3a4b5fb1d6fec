#include "host/program.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "core/host_calls.h"
#include "core/hspi.h"
#include "core/plugin_state.h"
#include "core/timer_window.h"
#include "host/builtin_host.h"
#include "host/host_events.h"
#include "host/instance_lock.h"
#include "host/mqtt_bridge.h"
#include "host/options.h"
#include "host/readings_database.h"
#include "host/utf8_text.h"
#include "host/web_server.h"
#include "host/web_users.h"
#include "logging/chart_builder.h"
#include "logging/chart_maker.h"
#include "logging/database_logging.h"
#include "onewire/adapter_setup.h"
#include "onewire/alarm_conditions.h"
#include "onewire/onewire_state.h"
#include "onewire/read_cycle.h"
#include "onewire/temp_alarms.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "qb/version.h"
#include "registry/registry_device_control.h"
#include "registry/value_update.h"
#include "web/built_pages.h"
#include "web/plugin_pages.h"
#ifdef QB_WITH_QT
#include "dialog/qt_services.h"
#include "dialog/setup_dialog.h"
#endif

namespace qb {

#ifdef QB_WITH_QT
#define DESKTOP_OR(member, fallback) (desktop ? desktop->member : (fallback))
#else
#define DESKTOP_OR(member, fallback) (fallback)
#endif

namespace {

int Fail(const std::string& message) {
  std::cerr << "quellbrook-1wire: " << EscapeControls(ToValidUtf8(message)) << "\n";
  return 1;
}

// The program ends by leaving its event loop; main then flushes and exits with status 0.
class LoopProcess : public ProcessControl {
 public:
  explicit LoopProcess(EventLoop& loop) : loop_(loop) {}
  void EndProcess() override { loop_.Quit(); }

 private:
  EventLoop& loop_;
};

// Turns SIGTERM, SIGINT and SIGHUP into an orderly shut-down on the plug-in thread.
class SignalWatcher {
 public:
  SignalWatcher() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGUSR1);
    // Interrupt and hang-up stay ignored when the program was started with them ignored (as a
    // background job or under nohup); an ignored signal never reaches sigwait.
    for (int s : {SIGINT, SIGHUP}) {
      struct sigaction current {};
      if (sigaction(s, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
        sigaddset(&set_, s);
    }
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);  // before any other thread starts
  }
  void Start(std::function<void(int)> on_signal) {
    thread_ = std::thread([this, on_signal] {
      for (;;) {
        int sig = 0;
        if (sigwait(&set_, &sig) != 0) continue;
        if (sig == SIGUSR1) return;  // our own wake-up at exit
        on_signal(sig);
      }
    });
  }
  ~SignalWatcher() {
    if (thread_.joinable()) {
      pthread_kill(thread_.native_handle(), SIGUSR1);
      thread_.join();
    }
  }

 private:
  sigset_t set_;
  std::thread thread_;
};

}  // namespace

// Raises the soft limit of open descriptors towards the hard one (to at most 8192): the web
// server sizes its connection limit from it, keeping descriptors in reserve for the database,
// the log and the bus.
static void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, 8192);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = wanted;
  setrlimit(RLIMIT_NOFILE, &limit);
}

int RunProgram(const std::vector<std::string>& args) {
  ProgramOptions options;
  if (std::string error = ParseOptions(args, options); !error.empty()) {
    std::cerr << "quellbrook-1wire: " << EscapeControls(ToValidUtf8(error)) << "\n";
    return 2;
  }
  if (options.help) {
    std::cout << UsageText();
    return 0;
  }
  if (options.version) {
    std::cout << "quellbrook-1wire " << kVersionText << "\n";
    return 0;
  }
  if (!options.standalone) {
    std::cerr << "quellbrook-1wire: no host started this program, so there is nothing to do.\n"
                 "Run it with --standalone to use the built-in host (see --help).\n";
    return 0;
  }

  const std::filesystem::path app_dir =
      std::filesystem::absolute(options.app_dir.empty() ? DefaultAppDir() : options.app_dir);
  const std::filesystem::path settings_file =
      options.settings_file.empty() ? DefaultSettingsFile() : options.settings_file;
  std::error_code ec;
  std::filesystem::create_directories(app_dir, ec);
  if (ec || !std::filesystem::is_directory(app_dir)) {
    return Fail("cannot use the host folder " + app_dir.string() + ": " +
                (ec ? ec.message() : "it is not a folder"));
  }
  // A settings path that is a folder (or a device) cannot be read or written: starting on
  // defaults would probe the wrong bus and lose every change.
  if (std::filesystem::exists(settings_file, ec) &&
      !std::filesystem::is_regular_file(settings_file, ec)) {
    return Fail("cannot use the settings file " + settings_file.string() +
                ": it is not a file (a folder?); give a file with --settings FILE");
  }
  // Refused before anything starts: running on defaults would probe the wrong bus.
  if (std::string problem = SettingsFileSizeProblem(settings_file); !problem.empty())
    return Fail(problem);
  RaiseDescriptorLimit();
  InstanceLock lock;
  if (std::string error = lock.Acquire(app_dir); !error.empty()) return Fail(error);

  WebUsers users;
  if (std::string error = users.Load(app_dir / "users"); !error.empty()) return Fail(error);
  if (!users.Enabled() && !IsLoopbackAddress(options.http_address)) {
    return Fail(
        "refusing to serve " + options.http_address +
        " without web users: anyone on the network could switch your devices. Create " +
        (app_dir / "users").string() +
        " (lines of name:hash, the hash from \"mkpasswd -m yescrypt\") or listen on 127.0.0.1");
  }

  SignalWatcher signals;
  ::signal(SIGPIPE, SIG_IGN);

  SystemClock clock;
#ifdef QB_WITH_QT
  // With a display the Qt event loop drives the plug-in and the Setup dialog can open.
  std::unique_ptr<dialog::DesktopSession> desktop = dialog::OpenDesktop(clock);
#endif
  HeadlessEventLoop headless_loop(clock);
  EventLoop& loop = DESKTOP_OR(Loop(), headless_loop);
  auto host = std::make_shared<BuiltInHost>(app_dir.string(), clock, /*echo_log=*/true);
  host->Start();

  IniSettingsStore store(settings_file);
  const std::string settings_problem = store.Load();
  HeadlessUserInterface headless_ui(clock,
                                    [&](const std::string& category, const std::string& text) {
                                      host->writelog(category, text);
                                    });
  UserInterface& ui = DESKTOP_OR(UI(), headless_ui);

  HostWebServer web(*host, loop, users, app_dir / "html" / "1wire");
  if (std::string error = web.Bind(options.http_address, options.http_port); !error.empty())
    return Fail(error);
  // HTTPS with the certificate of the command line, else of the settings file's [Web] section.
  // A relative file name in the settings file is taken from the settings file's folder: the
  // service runs in "/", where it would name nothing.
  const bool tls_on_command_line = !options.tls_cert.empty() || !options.tls_key.empty();
  auto from_settings = [&](const char* key) {
    const std::filesystem::path file = store.GetOr("Web", key, "");
    return file.empty() || file.is_absolute() ? file.string()
                                              : (settings_file.parent_path() / file).string();
  };
  const std::string tls_cert = tls_on_command_line ? options.tls_cert : from_settings("TlsCert");
  const std::string tls_key = tls_on_command_line ? options.tls_key : from_settings("TlsKey");
  if (tls_cert.empty() != tls_key.empty()) {
    return Fail(
        "HTTPS needs both a certificate and its key: give --tls-cert FILE and --tls-key "
        "FILE (or TlsCert= and TlsKey= under [Web] in the settings file)");
  }
  if (!tls_cert.empty()) {
    if (std::string error = web.UseTls(tls_cert, tls_key); !error.empty()) return Fail(error);
  } else if (users.Enabled() && !IsLoopbackAddress(options.http_address)) {
    host->writelog("Host",
                   "Serving " + options.http_address +
                       " over plain HTTP: web passwords travel in clear on the network. Give a "
                       "certificate with --tls-cert FILE --tls-key FILE (the README shows how to "
                       "make one)");
  }

  ResetPluginState();
  PluginState& state = Plugin();
  state.services = PluginServices{&store, &ui, &loop, &clock};
  state.parts.process = std::make_shared<LoopProcess>(loop);
  state.parts.adapter = std::make_shared<OneWireAdapterStartup>();
  state.parts.timers = std::make_shared<frm1Wire>(loop);
  state.parts.devices =
      std::make_shared<RegistryDeviceControl>(std::make_shared<OneWireDeviceOperations>());
  state.parts.cycle = std::make_shared<PollThenEvents>(std::make_shared<OneWireBusCycle>(), host);
  state.parts.alarms = std::make_shared<TemperatureAlarmReaction>();
  state.parts.conditions = std::make_shared<TemperatureAlarmConditions>();
  state.parts.pages = std::make_shared<PluginWebPages>(std::make_shared<BuiltPages>());
  state.parts.database = ReadingsDatabase();
  CreateDefaultReadingsDatabase(*host, store, app_dir.string());
  // Chart images of the logged readings, drawn into html/1wire, which the web server serves.
  InstallChartBuilder(std::make_shared<CanvasChartBuilder>());
  if (!settings_problem.empty()) host->writelog("1-Wire I/F ERROR:", settings_problem);
#ifdef QB_WITH_QT
  if (desktop) {
    state.parts.dialog = desktop->Dialog();
    host->SetDesktop(true);  // the pages offer the Setup dialog's menu entry
    if (options.setup) loop.Post([] { Plugin().parts.dialog->ShowModeless(); });
  } else {
    host->writelog("Host",
                   "No display (DISPLAY or WAYLAND_DISPLAY): running without the Setup dialog");
  }
#else
  if (options.setup) {
    host->writelog("Host",
                   "This program has no Setup dialog: quellbrook-1wire-desktop has it (built "
                   "and installed where Qt is)");
  }
#endif
  host->writelog("Host", "Settings file: " + settings_file.string());

  int status = 0;  // 1 when the web server could not start
  {
    hspi plugin;
    host->AttachPlugin(&plugin);
    // A device renamed or moved through the API shows its new name on the plug-in's pages at
    // once, not only after the next start.
    host->OnDeviceEdited([](const DeviceRecord& d) {
      if (d.interface == kPluginName) TakeHostNames(d.iomisc, d.name, d.Location);
    });
    StartStandalone(plugin, host);
    // Home Assistant and other hubs through MQTT, when the [MQTT] settings enable it; a change of
    // the [MQTT] section saved to the settings file is applied while the program runs.
    auto mqtt = std::make_unique<MqttService>(*host, loop, store);

    // Device changes are saved every few seconds rather than on every reading.
    const TimerId save_timer = loop.AddTimer(std::chrono::seconds(2), [&] { host->SaveDevices(); });
    loop.SetTimerEnabled(save_timer, true);

    signals.Start([&](int sig) {
      loop.Post([&, sig] {
        host->writelog("Host", std::string("Stopping (") +
                                   (sig == SIGINT    ? "interrupted"
                                    : sig == SIGTERM ? "terminated"
                                                     : "hang-up") +
                                   ")");
        plugin.ShutdownIO();
        Plugin().parts.timers->ShutDown();
      });
    });

    // A web server that cannot start (a key that does not go with the certificate shows only
    // here) ends the program, through the same shutdown as a signal: the adapter is released,
    // the database closed and the devices and the log saved.
    if (std::string error = web.Start(); !error.empty()) {
      host->writelog("Host ERROR", "Web pages: " + error);
      status = Fail(error);
      plugin.ShutdownIO();
      Plugin().parts.timers->ShutDown();
    } else {
      const std::string where = options.http_address.find(':') != std::string::npos
                                    ? "[" + options.http_address + "]"
                                    : options.http_address;
      host->writelog("Host", std::string("Web pages: ") + (web.Tls() ? "https" : "http") + "://" +
                                 where + ":" + std::to_string(web.Port()) +
                                 "/1-Wire  (JSON API: /api/devices, /api/events, /api/log)");
      loop.Run();
    }

    mqtt.reset();  // says "offline" to the hubs
    web.Stop();
    Skip([] { Plugin().parts.adapter->ReleaseAdapter(); });
    ReadingsDatabase()->CloseConnection();
    host->AttachPlugin(nullptr);
    host->SaveDevices();
    host->writelog("Host", "Stopped");
    host->log().Flush();
  }
  ResetOneWire();
  ResetPluginState();
  return status;
}

}  // namespace qb
