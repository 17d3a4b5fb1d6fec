#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/host_interface.h"
#include "core/plugin_parts.h"
#include "core/settings.h"
#include "platform/clock.h"

namespace qb {

class Clock;
class EventLoop;
class SettingsStore;
class UserInterface;

// The platform services the plug-in runs on. The program installs the real ones; tests install
// simulated ones. Non-owning: whoever installs a service keeps it alive.
struct PluginServices {
  SettingsStore* settings = nullptr;
  UserInterface* ui = nullptr;
  EventLoop* loop = nullptr;
  Clock* clock = nullptr;
};

// The plug-in core's process-wide state: one instance per process, reset by tests.
struct PluginState {
  std::shared_ptr<HostApplication> host;
  std::shared_ptr<HostCallback> callback;

  bool InterfaceReady = false;
  bool AdapterReady = false;
  bool ShutdownRequested = false;
  bool TimerBusy = false;
  bool ExternalBusy = false;
  int32_t TimerLoop = 0;
  // Poll cycles begun: the poll tick counts one each time it sets TimerLoop back to 0. The bus
  // scan compares it with the cycle of its last complete enumeration.
  int64_t PollCycles = 0;
  int32_t TimerLoopWait = 0;  // whole seconds since midnight at the start of the last tick
  int32_t InstanceCount = 0;
  bool Standalone = false;
  // When the values being handed over were measured, if earlier than now: a bus-wide
  // conversion measures every thermometer at once and their scratchpads are read one after
  // another. Host change times and logged rows take it; unset, they take the time of the call.
  std::optional<Clock::WallTime> ReadingTime;
  bool PollingStarted = false;  // the start-up timer reached "Polling devices begins..."  //
                                // started on its own ("In IDE" / --standalone), not by a host

  // House codes that belong to the plug-in, indexes 0 to gBaseCodes.
  std::vector<std::string> strHouseCodes;
  int32_t gBaseCodes = -1;

  // The general settings in effect (DebugLevel and CycleSeconds among them).
  Settings settings;

  PluginServices services;
  PluginParts parts;

  // Services used when none were installed: an in-memory store, the system clock, a headless
  // user interface and event loop.
  struct Defaults;
  std::shared_ptr<Defaults> defaults;
};

PluginState& Plugin();

// Back to the state of a freshly started process: no host, flags clear, default settings,
// default services and placeholder parts.
void ResetPluginState();

// Accessors for the installed services.
SettingsStore& Store();
UserInterface& UI();
EventLoop& Loop();
Clock& TheClock();

}  // namespace qb

namespace qb {
// Reads the general settings from the store into the process variables (the host's folder
// gives the default database).
void LoadProcessSettings();
}  // namespace qb
