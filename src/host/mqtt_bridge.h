#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "core/host_interface.h"
#include "host/mqtt_discovery.h"
#include "platform/event_loop.h"
#include "platform/log_throttle.h"

struct mosquitto;
struct mosquitto_message;

namespace qb {

class BuiltInHost;

// Shows the plug-in's host devices to MQTT hubs (Home Assistant, openHAB, Node-RED): retained
// states, attributes and Home Assistant discovery configs, and commands from the command topics
// through the host's command path.
//
// The network runs on libmosquitto's own thread, which reconnects with back-off; it never touches
// the host. Everything that reads the host's devices or sends commands runs on the plug-in thread:
// a timer there compares the devices with what was published and publishes the differences (a
// publish only queues the message for the network thread, so a slow or absent broker never stalls
// polling), and messages from the broker are posted to it.
//
// Commands are taken only as they are sent: a retained message on a command topic (which the
// broker hands over again at every subscription, that is at every reconnection) is ignored.
// Complaints about ignored messages are throttled (a flood writes a few lines and a count), and
// a broker that cannot be reached is reported once, with its recovery.
class MqttBridge {
 public:
  static constexpr std::chrono::milliseconds kSyncInterval{250};
  // How long the bridge tries to reach the broker before it says it cannot.
  static constexpr std::chrono::seconds kUnreachableAfter{10};

  MqttBridge(BuiltInHost& host, EventLoop& loop, MqttSettings settings);
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // How long the bridge tries before it reports the broker unreachable (tests shorten it).
  void SetUnreachableAfter(std::chrono::milliseconds after) { unreachable_after_ = after; }

  // Whether temperatures are in Fahrenheit (asked on the plug-in thread at every sync).
  void SetFahrenheit(std::function<bool()> fahrenheit) { fahrenheit_ = std::move(fahrenheit); }

  // Starts the network thread and the sync timer; the first connection is made in the background.
  // Returns a text saying why the bridge cannot start (a TLS file that cannot be used), empty
  // otherwise. Plug-in thread.
  std::string Start();
  // Publishes "offline", disconnects and joins the network thread. Plug-in thread.
  void Stop();

  // Publishes what changed since the last sync (everything after a reconnect). Plug-in thread.
  void Sync();

  bool Connected() const { return connected_; }
  // Messages handed to the network thread since the start.
  uint64_t Published() const { return published_count_; }

 private:
  // What the payloads of a channel are made from: while it stays the same, they do too.
  struct Inputs {
    std::string name, location, code, text;
    HostTime last_change{};
    bool stale = false;
    bool fahrenheit = false;
    bool operator==(const Inputs&) const = default;
  };
  struct Shown {
    ChannelKind kind;
    Inputs inputs;
    std::string config, state, attributes, availability;
  };

  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  // Runs `task` on the plug-in thread while the bridge still exists. Any thread.
  void OnPluginThread(std::function<void(MqttBridge&)> task);
  void Log(const std::string& text, bool error = false);
  // Retained unless `retain` is false (events: a retained one would be taken again by every
  // new subscriber).
  bool Publish(const std::string& topic, const std::string& payload, bool retain = true);
  void Withdraw(const std::string& key, const Shown& shown);
  void HandleCommand(const std::string& topic, const std::string& payload, bool retained);
  // A complaint about a message from the broker, throttled.
  void Complain(const std::string& text);
  // Says once that the broker cannot be reached, when it has not been for kUnreachableAfter.
  void CheckReachable();

  BuiltInHost& host_;
  EventLoop& loop_;
  MqttSettings settings_;
  MqttTopics topics_;
  std::function<bool()> fahrenheit_;
  mosquitto* client_ = nullptr;
  bool started_ = false;
  std::thread starter_;  // makes the first connection and starts the network thread
  TimerId sync_timer_ = 0;
  bool failed_ = false;  // a publish of this sync failed (plug-in thread)
  std::atomic<bool> connected_{false};
  // Set by the network thread on every (re)connection: the next sync publishes everything.
  std::atomic<bool> republish_{false};
  std::atomic<uint64_t> published_count_{0};
  // What the broker holds for each channel shown, by device key (plug-in thread).
  std::map<std::string, Shown> shown_;
  LogThrottle complaints_;
  // Since when the bridge has been without a connection (plug-in thread), and whether that was
  // reported.
  Clock::Monotonic unconnected_since_{};
  bool unreachable_reported_ = false;
  std::chrono::milliseconds unreachable_after_ = kUnreachableAfter;
  // A token the posted tasks hold weakly: gone once the bridge is stopped.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

class SettingsStore;
class IniSettingsStore;

// The program's MQTT bridge, following the [MQTT] section of the settings file: a change saved to
// the file is applied within kWatchInterval, without a restart (the bridge stops, saying "offline",
// and starts anew with the new settings). The program's settings store is read again from the file
// then, so a later change made through the pages does not write the old [MQTT] values back. A
// file that cannot be parsed (half-saved, mistyped) changes nothing and is reported once.
class MqttService {
 public:
  static constexpr std::chrono::seconds kWatchInterval{2};

  MqttService(BuiltInHost& host, EventLoop& loop, IniSettingsStore& store);
  ~MqttService();
  MqttService(const MqttService&) = delete;
  MqttService& operator=(const MqttService&) = delete;

  // The running bridge, or null while [MQTT] leaves it off.
  MqttBridge* bridge() const { return bridge_.get(); }

  // Reads the file again when it changed since the last look. Plug-in thread.
  void Check();

 private:
  void Apply();

  BuiltInHost& host_;
  EventLoop& loop_;
  IniSettingsStore& store_;
  std::unique_ptr<MqttBridge> bridge_;
  MqttSettings applied_;
  std::string applied_problem_;
  bool applied_once_ = false;
  std::string stamp_;       // the file's modification time and size when last read
  std::string unreadable_;  // the parse error last reported, empty while the file reads
  TimerId watch_timer_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// The bridge the [MQTT] section of the settings asks for, started; null when it is not enabled or
// cannot start (the reason is in the host's log). Plug-in thread.
std::unique_ptr<MqttBridge> StartMqttBridge(BuiltInHost& host, EventLoop& loop,
                                            const SettingsStore& settings);

}  // namespace qb
