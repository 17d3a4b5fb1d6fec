#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace qb {

class SettingsStore;
struct DeviceRecord;

// The [MQTT] section of the settings file.
struct MqttSettings {
  bool enabled = false;
  std::string host = "localhost";
  int port = 1883;
  bool tls = false;
  std::string user;
  std::string password;
  std::string ca_file;
  std::string base_topic = "quellbrook";
  std::string discovery_prefix = "homeassistant";
  std::string client_id = "quellbrook-1wire";
  bool operator==(const MqttSettings&) const = default;
};

// An [MQTT] value without its inline comment: from a ";" after a blank or tab to the end (as in
// "Broker=mqtt://localhost:1883   ; or mqtts://..."), blanks at the end dropped. A value in double
// quotes is the text between them, ";" and all. Only the [MQTT] keys are read this way: other
// settings, such as the database's "Key=Value;Key=Value" connection string, keep every ";".
std::string WithoutInlineComment(const std::string& value);

// A bus name as a topic level: lower-case letters and digits, every other run of characters one
// "-" ("Upper floor" is "upper-floor").
std::string TopicSlug(const std::string& name);

// Reads the [MQTT] section, inline comments left out. Returns a text saying what is wrong with it
// (the bridge then stays off), empty when it is usable. With a bus name ([Settings] "BusName")
// and no ClientId or BaseTopic given, those are the defaults followed by "-" and "/" and the bus
// name as a topic level, so programs sharing a broker keep apart.
std::string ReadMqttSettings(const SettingsStore& store, MqttSettings& out);

// What a channel is to a hub such as Home Assistant.
enum class ChannelKind {
  kTemperature,
  kHumidity,
  kVoltage,       // A/D inputs, Vdd, Vad (volts)
  kSenseVoltage,  // the current-sense input (millivolts)
  kCounter,
  kSwitch,         // a switch latch: takes ON and OFF
  kLevel,          // a sensed switch level
  kPotentiometer,  // a wiper position 0 to 255: takes a number
  kPresence,       // a device without channels: is it on the bus
};

// The kind of the channel with this device key; false for a key that is not one of the plug-in's
// (wrong length, not hexadecimal, unknown letter) or holds a character not allowed in a topic.
bool ChannelKindOf(const std::string& key, ChannelKind& kind);

// The Home Assistant component that shows the kind: sensor, binary_sensor, switch or number.
const char* ComponentOf(ChannelKind kind);

// The state payload for the host device's status text: the number for measurements, ON or OFF
// for switches, levels and presence.
std::string StatePayload(ChannelKind kind, const std::string& status_text);

// The topics of one channel and of the bridge.
struct MqttTopics {
  const MqttSettings& settings;
  std::string Status() const { return settings.base_topic + "/status"; }
  std::string State(const std::string& key) const { return Channel(key) + "/state"; }
  std::string Attributes(const std::string& key) const { return Channel(key) + "/attributes"; }
  std::string Availability(const std::string& key) const { return Channel(key) + "/availability"; }
  std::string Command(const std::string& key) const { return Channel(key) + "/set"; }
  // "arrived" and "left" of a device shown by its presence, not retained.
  std::string Event(const std::string& key) const { return Channel(key) + "/event"; }
  std::string Channel(const std::string& key) const { return settings.base_topic + "/" + key; }
  // The node level of discovery topics and the prefix of unique ids: the client id with every
  // character other than letters, digits, "_" and "-" replaced by "_".
  std::string Node() const;
  std::string Discovery(ChannelKind kind, const std::string& key) const;
};

// The retained Home Assistant discovery config of a host device of the plug-in.
nlohmann::json DiscoveryConfig(const MqttTopics& topics, const DeviceRecord& device,
                               ChannelKind kind, bool fahrenheit);

// The attributes published beside the state: part, ROM id, unit, last change, stale.
nlohmann::json ChannelAttributes(const DeviceRecord& device, ChannelKind kind, bool fahrenheit);

}  // namespace qb
