#include "core/plugin_state.h"

#include "core/host_calls.h"
#include "core/log.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"

namespace qb {

struct PluginState::Defaults {
  SystemClock clock;
  IniSettingsStore store;
  HeadlessUserInterface ui{clock, [](const std::string& category, const std::string& text) {
                             WriteLog(LogClass::Always, category, text);
                           }};
  HeadlessEventLoop loop{clock};
};

namespace {
PluginState& Instance() {
  static PluginState state;
  return state;
}
}  // namespace

PluginState& Plugin() {
  PluginState& s = Instance();
  if (!s.defaults) ResetPluginState();
  return s;
}

void ResetPluginState() {
  PluginState& s = Instance();
  const int32_t instances = s.InstanceCount;  // objects still alive stay counted
  s = PluginState{};
  s.InstanceCount = instances;
  s.defaults = std::make_shared<PluginState::Defaults>();
  s.services =
      PluginServices{&s.defaults->store, &s.defaults->ui, &s.defaults->loop, &s.defaults->clock};
  s.parts = PlaceholderParts();
}

SettingsStore& Store() {
  return *Plugin().services.settings;
}
UserInterface& UI() {
  return *Plugin().services.ui;
}
EventLoop& Loop() {
  return *Plugin().services.loop;
}
Clock& TheClock() {
  return *Plugin().services.clock;
}

}  // namespace qb

namespace qb {
void LoadProcessSettings() {
  PluginState& p = Plugin();
  std::string app_path;
  if (p.host) {
    try {
      app_path = p.host->GetAppPath();
    } catch (const HostError&) {
    }
  }
  p.settings = LoadSettings(Store(), app_path);
  // A database the old program used (a Jet file) cannot be opened here: say what replaced it.
  std::optional<std::string> stored;
  try {
    stored = Store().Get(kSettingsSection, "Database");
  } catch (...) {
  }
  if (stored && !stored->empty() && IsRetiredDatabase(*stored)) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F",
             "The stored database connection \"" + *stored +
                 "\" names a Jet database, which cannot be opened here; logging to the default "
                 "database instead: " +
                 p.settings.Database);
  }
}
}  // namespace qb

namespace qb {
HostApplication& Host() {
  auto& host = Plugin().host;
  if (!host) throw HostError("no host is registered with the plug-in");
  return *host;
}
}  // namespace qb
