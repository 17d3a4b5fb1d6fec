#include "host/mqtt_bridge.h"

#include <mosquitto.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "core/hspi.h"
#include "core/plugin_state.h"
#include "host/builtin_host.h"
#include "host/device_command.h"
#include "platform/settings_store.h"

namespace qb {

namespace {

constexpr int kKeepAliveSeconds = 30;
// Reconnection tries at once, then waits 1, 4 and 9 s (the square of the failures), then 10 s.
constexpr unsigned kReconnectFirst = 1;
constexpr unsigned kReconnectMost = 10;

// A payload as it may appear in a log line: printable, and short.
std::string Printable(const std::string& payload) {
  std::string out;
  for (char c : payload.substr(0, 40)) {
    out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  }
  if (payload.size() > 40) out += "...";
  return out;
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool Upper(const std::string& text, const char* word) {
  if (text.size() != std::char_traits<char>::length(word)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return true;
}

}  // namespace

MqttBridge::MqttBridge(BuiltInHost& host, EventLoop& loop, MqttSettings settings)
    : host_(host),
      loop_(loop),
      settings_(std::move(settings)),
      topics_{settings_},
      complaints_(host.clock(), [&host](const std::string& category, const std::string& text) {
        host.writelog(category, text);
      }) {}

MqttBridge::~MqttBridge() {
  Stop();
  if (client_) mosquitto_destroy(client_);
}

std::string MqttBridge::Start() {
  static std::once_flag library;
  std::call_once(library, [] { mosquitto_lib_init(); });
  client_ = mosquitto_new(settings_.client_id.c_str(), /*clean_session=*/true, this);
  if (!client_) return "the MQTT client cannot be created (out of memory?)";
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(client_, &MqttBridge::OnConnect);
  mosquitto_disconnect_callback_set(client_, &MqttBridge::OnDisconnect);
  mosquitto_message_callback_set(client_, &MqttBridge::OnMessage);
  mosquitto_reconnect_delay_set(client_, kReconnectFirst, kReconnectMost, true);
  // The broker tells the hubs "offline" when the program goes away without saying goodbye.
  const std::string status = topics_.Status();
  mosquitto_will_set(client_, status.c_str(), 7, "offline", 1, true);
  if (!settings_.user.empty()) {
    mosquitto_username_pw_set(client_, settings_.user.c_str(),
                              settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (settings_.tls) {
    const char* ca = settings_.ca_file.empty() ? nullptr : settings_.ca_file.c_str();
    // Without a CA file the system's trusted certificates are used.
    const char* ca_path = ca ? nullptr : "/etc/ssl/certs";
    if (int rc = mosquitto_tls_set(client_, ca, ca_path, nullptr, nullptr, nullptr);
        rc != MOSQ_ERR_SUCCESS) {
      return std::string("the MQTT CA file \"") + settings_.ca_file +
             "\" cannot be used: " + mosquitto_strerror(rc);
    }
  }
  started_ = true;
  unconnected_since_ = host_.clock().MonotonicNow();
  unreachable_reported_ = false;
  // The first connection is made off the plug-in thread as well: looking the broker's name up
  // may take long when the name server is slow. A broker that is down is tried again by the
  // network thread, with back-off.
  starter_ = std::thread([this] {
    const std::string where = (settings_.tls ? "mqtts://" : "mqtt://") + settings_.host + ":" +
                              std::to_string(settings_.port);
    // The network thread first: it retries a first connection that fails (started after such a
    // failure, it would not).
    const int thread = mosquitto_loop_start(client_);
    const int rc =
        mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    const std::string reason =
        rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(rc);
    OnPluginThread([where, rc, reason, thread](MqttBridge& b) {
      if (thread != MOSQ_ERR_SUCCESS) {
        b.Log(std::string("The MQTT network thread cannot start: ") + mosquitto_strerror(thread) +
                  "; the bridge stays off",
              true);
      } else if (rc != MOSQ_ERR_SUCCESS) {
        b.Log("Cannot reach the broker " + where + " (" + reason +
                  "); trying again in the background",
              true);
        b.unreachable_reported_ = true;
      } else {
        b.Log("Connecting to the broker " + where);
      }
    });
  });
  sync_timer_ = loop_.AddTimer(kSyncInterval, [this] { Sync(); });
  loop_.SetTimerEnabled(sync_timer_, true);
  // A command's read-back state goes out as soon as the command is done: the next turn of the
  // timer may come only after a thermometer's conversion or a whole read cycle.
  host_.OnCommandDone(this, [this] { Sync(); });
  return {};
}

void MqttBridge::Stop() {
  if (!started_) return;
  started_ = false;
  if (starter_.joinable()) starter_.join();
  loop_.SetTimerEnabled(sync_timer_, false);
  host_.ClearCommandDone(this);
  if (connected_) {
    Publish(topics_.Status(), "offline");
    mosquitto_disconnect(client_);
  }
  // After a disconnect the network thread ends by itself; force it when there was no connection.
  mosquitto_loop_stop(client_, !connected_);
  connected_ = false;
  alive_.reset();
}

void MqttBridge::OnPluginThread(std::function<void(MqttBridge&)> task) {
  std::weak_ptr<int> alive = alive_;
  loop_.Post([this, alive, task = std::move(task)] {
    if (alive.lock()) task(*this);
  });
}

void MqttBridge::Log(const std::string& text, bool error) {
  host_.writelog(error ? "MQTT ERROR" : "MQTT", text);
}

void MqttBridge::OnConnect(mosquitto* client, void* self, int rc) {
  auto& bridge = *static_cast<MqttBridge*>(self);
  if (rc != 0) {
    const std::string reason = mosquitto_connack_string(rc);
    bridge.OnPluginThread([reason](MqttBridge& b) {
      b.Log("The broker refused the connection: " + reason + "; trying again later", true);
    });
    return;
  }
  const std::string commands = bridge.topics_.Channel("+") + "/set";
  mosquitto_subscribe(client, nullptr, commands.c_str(), 1);
  // Home Assistant says "online" here when it starts: it then wants the states again.
  const std::string hub = bridge.settings_.discovery_prefix + "/status";
  mosquitto_subscribe(client, nullptr, hub.c_str(), 1);
  bridge.connected_ = true;
  bridge.republish_ = true;
  bridge.OnPluginThread([](MqttBridge& b) {
    std::string again;
    if (b.unreachable_reported_) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                               b.host_.clock().MonotonicNow() - b.unconnected_since_)
                               .count();
      again = " again after " + std::to_string(seconds) + " s";
    }
    b.unreachable_reported_ = false;
    b.Log("Connected to the broker " + b.settings_.host + ":" + std::to_string(b.settings_.port) +
          again + "; publishing every channel");
    b.Sync();
  });
}

void MqttBridge::OnDisconnect(mosquitto*, void* self, int rc) {
  auto& bridge = *static_cast<MqttBridge*>(self);
  const bool was = bridge.connected_.exchange(false);
  if (rc == 0 || !was) return;  // our own disconnect, or no connection to lose
  bridge.OnPluginThread([](MqttBridge& b) {
    b.Log(
        "Lost the connection to the broker; polling goes on, and the bridge reconnects and "
        "publishes again when the broker is back",
        true);
    b.unconnected_since_ = b.host_.clock().MonotonicNow();
    b.unreachable_reported_ = true;  // said: the reconnection says how long it took
  });
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& bridge = *static_cast<MqttBridge*>(self);
  std::string topic = message->topic ? message->topic : "";
  std::string payload(static_cast<const char*>(message->payload),
                      message->payload ? static_cast<size_t>(message->payloadlen) : 0);
  // The broker marks as retained only what it stored and hands over on subscribing; a message
  // sent while the bridge is subscribed comes unmarked, whatever its sender asked.
  const bool retained = message->retain;
  bridge.OnPluginThread([topic = std::move(topic), payload = std::move(payload),
                         retained](MqttBridge& b) { b.HandleCommand(topic, payload, retained); });
}

bool MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain) {
  const int rc = mosquitto_publish(client_, nullptr, topic.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), 0, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    failed_ = true;
    return false;
  }
  ++published_count_;
  return true;
}

void MqttBridge::Withdraw(const std::string& key, const Shown& shown) {
  // Empty retained messages delete the retained ones: the hub forgets the entity.
  Publish(topics_.Discovery(shown.kind, key), "");
  Publish(topics_.State(key), "");
  Publish(topics_.Attributes(key), "");
  Publish(topics_.Availability(key), "");
}

void MqttBridge::Complain(const std::string& text) {
  complaints_.Write("ignored", "MQTT", text);
}

void MqttBridge::CheckReachable() {
  if (unreachable_reported_) return;
  const auto waited = host_.clock().MonotonicNow() - unconnected_since_;
  if (waited < unreachable_after_) return;
  unreachable_reported_ = true;
  Log("The broker " + std::string(settings_.tls ? "mqtts://" : "mqtt://") + settings_.host + ":" +
          std::to_string(settings_.port) + " cannot be reached (tried for " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) +
          " s); polling goes on, and the bridge keeps retrying in the background",
      true);
}

void MqttBridge::Sync() {
  complaints_.Flush();
  if (!connected_) {
    CheckReachable();
    return;  // nothing is changed: a reconnection publishes everything
  }
  const bool everything = republish_.exchange(false);
  if (everything) Publish(topics_.Status(), "online");
  const bool fahrenheit = fahrenheit_ && fahrenheit_();
  std::map<std::string, Shown> now;
  for (const auto& d : host_.devices().All()) {
    ChannelKind kind;
    if (d->interface != kPluginName || d->hc.empty() || !ChannelKindOf(d->iomisc, kind)) continue;
    if (now.count(d->iomisc)) continue;  // two host devices for one key: the first is shown
    Shown& s = now[d->iomisc];
    s.kind = kind;
    s.inputs = {d->name,       d->Location, d->hc + d->dc, d->string,
                d->lastChange, d->stale,    fahrenheit};
    const auto old = shown_.find(d->iomisc);
    const Shown* before = old != shown_.end() && old->second.kind == kind ? &old->second : nullptr;
    if (before && before->inputs == s.inputs) {
      s = *before;  // nothing changed: neither do the payloads
      continue;
    }
    // The config follows only the name and the unit, not the readings.
    if (before && before->inputs.name == s.inputs.name &&
        before->inputs.fahrenheit == s.inputs.fahrenheit) {
      s.config = before->config;
    } else {
      s.config = DiscoveryConfig(topics_, *d, kind, fahrenheit).dump();
    }
    s.state = StatePayload(kind, d->string);
    s.attributes = ChannelAttributes(*d, kind, fahrenheit).dump();
    s.availability = d->stale ? "offline" : "online";
  }
  for (const auto& [key, old] : shown_) {
    auto it = now.find(key);
    if (it == now.end() || it->second.kind != old.kind) {
      Withdraw(key, old);
      if (it == now.end()) Log("Withdrew " + key + ": the plug-in no longer has it");
    }
  }
  for (const auto& [key, s] : now) {
    auto it = shown_.find(key);
    const Shown* old =
        !everything && it != shown_.end() && it->second.kind == s.kind ? &it->second : nullptr;
    if (!old && !everything && it == shown_.end()) Log("Announcing " + key);
    if (!old || old->config != s.config) Publish(topics_.Discovery(s.kind, key), s.config);
    if (!old || old->availability != s.availability)
      Publish(topics_.Availability(key), s.availability);
    if (!old || old->attributes != s.attributes) Publish(topics_.Attributes(key), s.attributes);
    if ((!old || old->state != s.state) && !s.state.empty()) Publish(topics_.State(key), s.state);
    // A device shown by its presence (a button at a reader) that came or went since the last
    // state published says so once on its event topic. The first state of a channel is no
    // event: at start every present button would seem to arrive.
    if (s.kind == ChannelKind::kPresence && it != shown_.end() && it->second.kind == s.kind &&
        !it->second.state.empty() && !s.state.empty() && it->second.state != s.state) {
      Publish(topics_.Event(key), s.state == "ON" ? "arrived" : "left", false);
    }
  }
  // A publish that failed (the connection dropped meanwhile) is redone by the republication that
  // follows the reconnection; a withdrawal is redone by keeping the channel until then.
  if (failed_) {
    for (const auto& [key, old] : shown_) now.emplace(key, old);
    failed_ = false;
  }
  shown_ = std::move(now);
}

void MqttBridge::HandleCommand(const std::string& topic, const std::string& payload,
                               bool retained) {
  if (topic == settings_.discovery_prefix + "/status") {
    if (Trimmed(payload) == "online") republish_ = true;
    return;
  }
  if (retained) {
    // A command kept by the broker would switch the device again at every reconnection.
    Complain("Ignored a retained command on " + Printable(topic) +
             ": commands are taken only as they are sent (clear it with an empty retained "
             "message on that topic)");
    return;
  }
  const std::string prefix = settings_.base_topic + "/";
  const std::string suffix = "/set";
  std::string key;
  if (topic.size() > prefix.size() + suffix.size() && topic.rfind(prefix, 0) == 0 &&
      topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) == 0) {
    key = topic.substr(prefix.size(), topic.size() - prefix.size() - suffix.size());
  }
  std::shared_ptr<DeviceRecord> device;
  ChannelKind kind = ChannelKind::kPresence;
  if (ChannelKindOf(key, kind)) {
    for (const auto& d : host_.devices().All()) {
      if (d->interface == kPluginName && d->iomisc == key) {
        device = d;
        break;
      }
    }
  }
  if (!device || (kind != ChannelKind::kSwitch && kind != ChannelKind::kPotentiometer)) {
    Complain(
        "Ignored a message on " + Printable(topic) + ": " +
        (device ? "that channel takes no commands" : "no channel of the plug-in has that topic"));
    return;
  }
  const std::string text = Trimmed(payload);
  std::string command;
  int32_t brightness = 0;
  if (kind == ChannelKind::kSwitch) {
    if (Upper(text, "ON")) command = "On";
    if (Upper(text, "OFF")) command = "Off";
  } else {
    // Any command but Dim and Bright sets the wiper to the brightness as it is, 0 to 255.
    char* end = nullptr;
    const double value = text.empty() ? NAN : std::strtod(text.c_str(), &end);
    if (std::isfinite(value) && end && *end == '\0' && value >= 0 && value <= 255 &&
        value == std::floor(value)) {
      command = "Level";
      brightness = static_cast<int32_t>(value);
    }
  }
  if (command.empty()) {
    Complain(
        "Ignored the payload \"" + Printable(payload) + "\" on " + topic + ": " +
        (kind == ChannelKind::kSwitch ? "send ON or OFF" : "send a whole number from 0 to 255"));
    return;
  }
  try {
    const DeviceCommandOutcome sent = SendDeviceCommand(host_, device, command, brightness);
    if (sent.result != DeviceCommandResult::kSent)
      Complain("Ignored the command on " + topic + ": " + sent.problem);
  } catch (const std::exception& e) {
    Log("The command on " + topic + " failed: " + e.what(), true);
  }
}

std::unique_ptr<MqttBridge> StartMqttBridge(BuiltInHost& host, EventLoop& loop,
                                            const SettingsStore& settings) {
  MqttSettings mqtt;
  if (std::string problem = ReadMqttSettings(settings, mqtt); !problem.empty()) {
    host.writelog("MQTT ERROR", "The MQTT bridge stays off: " + problem);
    return nullptr;
  }
  if (!mqtt.enabled) return nullptr;
  auto bridge = std::make_unique<MqttBridge>(host, loop, mqtt);
  bridge->SetFahrenheit([] { return Plugin().settings.Range; });
  if (std::string problem = bridge->Start(); !problem.empty()) {
    host.writelog("MQTT ERROR", "The MQTT bridge stays off: " + problem);
    return nullptr;
  }
  return bridge;
}

}  // namespace qb

namespace qb {

namespace {

// The modification time and size of a file, as one text that changes when the file is saved.
std::string FileStamp(const std::filesystem::path& path) {
  std::error_code ec;
  const auto when = std::filesystem::last_write_time(path, ec);
  if (ec) return "absent";
  const auto size = std::filesystem::file_size(path, ec);
  return std::to_string(when.time_since_epoch().count()) + "/" + std::to_string(ec ? 0 : size);
}

}  // namespace

MqttService::MqttService(BuiltInHost& host, EventLoop& loop, IniSettingsStore& store)
    : host_(host), loop_(loop), store_(store) {
  stamp_ = FileStamp(store_.path());
  Apply();
  if (store_.path().empty()) return;
  std::weak_ptr<int> alive = alive_;
  watch_timer_ = loop_.AddTimer(kWatchInterval, [this, alive] {
    if (alive.lock()) Check();
  });
  loop_.SetTimerEnabled(watch_timer_, true);
}

MqttService::~MqttService() {
  if (watch_timer_ != 0) loop_.SetTimerEnabled(watch_timer_, false);
  alive_.reset();
  bridge_.reset();
}

void MqttService::Check() {
  const std::string stamp = FileStamp(store_.path());
  if (stamp == stamp_) return;
  std::vector<IniSettingsStore::Section> sections;
  std::string error = SettingsFileSizeProblem(store_.path());
  std::ifstream in;
  std::stringstream text;
  if (error.empty()) {
    in.open(store_.path(), std::ios::binary);
    text << in.rdbuf();
  }
  if (!error.empty() || !in || !IniSettingsStore::Parse(text.str(), sections, error)) {
    // Perhaps saved halfway: looked at again at the next change, and reported once.
    if (error != unreadable_) {
      host_.writelog("MQTT ERROR", "The settings file " + store_.path().string() +
                                       " cannot be read now (" +
                                       (error.empty() ? std::string("unreadable") : error) +
                                       "); the MQTT bridge keeps its settings until it can");
    }
    unreadable_ = error;
    stamp_ = stamp;
    return;
  }
  unreadable_.clear();
  stamp_ = stamp;
  // The file is newer than what the program holds: read it, so that the next change saved by the
  // program keeps what the user wrote.
  if (std::string problem = store_.Load(); !problem.empty()) host_.writelog("MQTT ERROR", problem);
  stamp_ = FileStamp(store_.path());
  Apply();
}

void MqttService::Apply() {
  MqttSettings wanted;
  const std::string problem = ReadMqttSettings(store_, wanted);
  const bool first = !applied_once_;
  applied_once_ = true;
  if (!first && wanted == applied_ && problem == applied_problem_) return;
  if (!first) host_.writelog("MQTT", "The [MQTT] settings changed: applying them");
  bridge_.reset();  // says "offline" to the hubs
  applied_ = wanted;
  applied_problem_ = problem;
  bridge_ = StartMqttBridge(host_, loop_, store_);
  if (!first && !bridge_ && problem.empty() && !wanted.enabled)
    host_.writelog("MQTT", "The MQTT bridge is off (Enabled=0)");
}

}  // namespace qb
