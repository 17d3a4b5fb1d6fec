#include "host/mqtt_discovery.h"

#include <cctype>
#include <clocale>
#include <cstdio>

#include "catalogue/family_catalogue.h"
#include "host/device_table.h"
#include "host/health_json.h"
#include "platform/settings_store.h"
#include "registry/value_text.h"

namespace qb {

using nlohmann::json;

namespace {

bool IsHex(const std::string& text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool IsDigits(const std::string& text) {
  if (text.empty() || text.size() > 2) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// A topic level may not hold "/", "+", "#" or control characters; a client id of such characters
// would also spoil the discovery topic.
std::string TopicSafe(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_';
  }
  return out.empty() ? "quellbrook" : out;
}

const char* UnitOf(ChannelKind kind, bool fahrenheit) {
  switch (kind) {
    case ChannelKind::kTemperature:
      return fahrenheit ? "\u00B0F" : "\u00B0C";
    case ChannelKind::kHumidity:
      return "%";
    case ChannelKind::kVoltage:
      return "V";
    case ChannelKind::kSenseVoltage:
      return "mV";
    default:
      return "";
  }
}

bool IsOnOff(ChannelKind kind) {
  return kind == ChannelKind::kSwitch || kind == ChannelKind::kLevel ||
         kind == ChannelKind::kPresence;
}

}  // namespace

std::string WithoutInlineComment(const std::string& value) {
  std::string v = value;
  // A value in double quotes is taken as it is, so a password may hold " ;".
  if (v.size() >= 2 && v.front() == '"') {
    const auto close = v.find('"', 1);
    if (close != std::string::npos) return v.substr(1, close - 1);
  }
  for (size_t i = 1; i < v.size(); ++i) {
    if (v[i] == ';' && (v[i - 1] == ' ' || v[i - 1] == '\t')) {
      v.resize(i);
      break;
    }
  }
  if (!v.empty() && v.front() == ';') v.clear();  // "Key=; comment": an empty value
  const auto last = v.find_last_not_of(" \t");
  return last == std::string::npos ? std::string() : v.substr(0, last + 1);
}

std::string TopicSlug(const std::string& name) {
  std::string slug;
  for (unsigned char c : name) {
    if (std::isalnum(c)) {
      slug += static_cast<char>(std::tolower(c));
    } else if (!slug.empty() && slug.back() != '-') {
      slug += '-';
    }
  }
  while (!slug.empty() && slug.back() == '-') slug.pop_back();
  return slug;
}

std::string ReadMqttSettings(const SettingsStore& store, MqttSettings& out) {
  out = MqttSettings{};
  auto get = [&](const char* key, const std::string& fallback) {
    const auto stored = store.Get("MQTT", key);
    return stored ? WithoutInlineComment(*stored) : fallback;
  };
  out.enabled = ReadNumber(get("Enabled", "0")) != 0;
  out.user = get("User", "");
  out.password = get("Password", "");
  out.ca_file = get("CAFile", "");
  // A program with a bus name of its own (one of several sharing the broker) gets a client id
  // and topics of its own unless they are given: the broker would otherwise drop one program
  // whenever the other connects, and either one's "offline" would stand for both.
  const std::string bus = TopicSlug(store.GetOr("Settings", "BusName", ""));
  out.client_id = get("ClientId", bus.empty() ? out.client_id : out.client_id + "-" + bus);
  if (out.client_id.empty()) out.client_id = "quellbrook-1wire";
  out.base_topic = get("BaseTopic", bus.empty() ? out.base_topic : out.base_topic + "/" + bus);
  out.discovery_prefix = get("DiscoveryPrefix", out.discovery_prefix);
  for (const std::string* topic : {&out.base_topic, &out.discovery_prefix}) {
    if (topic->empty() || topic->find_first_of("+#") != std::string::npos ||
        topic->front() == '/' || topic->back() == '/') {
      return "the [MQTT] topic \"" + *topic +
             "\" cannot be used: give a topic without \"+\", \"#\" or a leading or trailing \"/\"";
    }
  }

  const std::string broker = get("Broker", "mqtt://localhost:1883");
  std::string rest;
  if (broker.rfind("mqtt://", 0) == 0) {
    rest = broker.substr(7);
  } else if (broker.rfind("mqtts://", 0) == 0) {
    rest = broker.substr(8);
    out.tls = true;
    out.port = 8883;
  } else {
    return "the [MQTT] Broker \"" + broker +
           "\" must read mqtt://host:port or mqtts://host:port (such as mqtt://localhost:1883)";
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host = rest;
  // A port follows the last colon, unless that colon is inside an IPv6 address in brackets.
  const auto colon = rest.rfind(':');
  const auto bracket = rest.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    host = rest.substr(0, colon);
    const std::string port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
        std::stoi(port) > 65535) {
      return "the [MQTT] Broker \"" + broker + "\" has no usable port (1 to 65535)";
    }
    out.port = std::stoi(port);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty() || host.find_first_of("/@ ") != std::string::npos)
    return "the [MQTT] Broker \"" + broker + "\" names no host";
  out.host = host;
  return {};
}

bool ChannelKindOf(const std::string& key, ChannelKind& kind) {
  if (key.size() < 16 || !IsHex(key.substr(0, 16))) return false;
  const std::string rom = key.substr(0, 16);
  const uint32_t caps = FamilyCaps(rom);
  if (key.size() == 16) {
    kind = ChannelKind::kPresence;
    return true;
  }
  const char letter = key[16];
  const std::string number = key.substr(17);
  if (letter == 'K' || letter == 'S' || letter == 'P') {
    if (!IsDigits(number)) return false;
    kind = letter == 'K'   ? ChannelKind::kCounter
           : letter == 'S' ? ChannelKind::kSwitch
                           : ChannelKind::kLevel;
    return true;
  }
  if (!number.empty()) return false;
  switch (letter) {
    case 'M':
      kind = ChannelKind::kTemperature;
      return true;
    case 'N':
      kind = ChannelKind::kHumidity;
      return true;
    case 'G':
    case 'H':
    case 'J':
      kind = ChannelKind::kVoltage;
      return true;
    case 'I':
      kind = (caps & kCapQuadAD) ? ChannelKind::kVoltage : ChannelKind::kSenseVoltage;
      return true;
    case 'T':
      kind = ChannelKind::kPotentiometer;
      return true;
    default:
      return false;
  }
}

const char* ComponentOf(ChannelKind kind) {
  switch (kind) {
    case ChannelKind::kSwitch:
      return "switch";
    case ChannelKind::kLevel:
    case ChannelKind::kPresence:
      return "binary_sensor";
    case ChannelKind::kPotentiometer:
      return "number";
    default:
      return "sensor";
  }
}

std::string StatePayload(ChannelKind kind, const std::string& status_text) {
  if (IsOnOff(kind)) {
    if (status_text == "On") return "ON";
    if (status_text == "Off") return "OFF";
    return {};
  }
  // The status text is written with the regional separators: read it back with them.
  std::string text;
  const std::lconv* lc = std::localeconv();
  const char point = lc && lc->decimal_point && *lc->decimal_point ? *lc->decimal_point : '.';
  const char group = lc && lc->thousands_sep && *lc->thousands_sep ? *lc->thousands_sep : '\0';
  bool digit = false;
  for (char c : status_text) {
    if (group != '\0' && c == group && point != group) continue;
    digit |= std::isdigit(static_cast<unsigned char>(c)) != 0;
    text += c == point ? '.' : c;
  }
  if (!digit) return {};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.10g", ReadNumber(CleanNumberText(text)));
  return buf;
}

std::string MqttTopics::Node() const {
  return TopicSafe(settings.client_id);
}

std::string MqttTopics::Discovery(ChannelKind kind, const std::string& key) const {
  return settings.discovery_prefix + "/" + ComponentOf(kind) + "/" + Node() + "/" + key + "/config";
}

json DiscoveryConfig(const MqttTopics& topics, const DeviceRecord& device, ChannelKind kind,
                     bool fahrenheit) {
  const std::string& key = device.iomisc;
  const std::string rom = key.substr(0, 16);
  std::string part = FamilyName(rom);
  if (part.empty()) part = "1-Wire device";
  json config{
      {"name", device.name.empty() ? key : device.name},
      {"unique_id", topics.Node() + "_" + key},
      {"state_topic", topics.State(key)},
      {"json_attributes_topic", topics.Attributes(key)},
      {"availability",
       json::array({json{{"topic", topics.Status()}}, json{{"topic", topics.Availability(key)}}})},
      {"availability_mode", "all"},
      {"payload_available", "online"},
      {"payload_not_available", "offline"},
      {"device", json{{"identifiers", json::array({topics.Node() + "_" + rom})},
                      {"name", part + " " + rom},
                      {"model", part},
                      {"serial_number", rom}}},
  };
  switch (kind) {
    case ChannelKind::kTemperature:
    case ChannelKind::kHumidity:
    case ChannelKind::kVoltage:
    case ChannelKind::kSenseVoltage:
      config["device_class"] = kind == ChannelKind::kTemperature ? "temperature"
                               : kind == ChannelKind::kHumidity  ? "humidity"
                                                                 : "voltage";
      config["unit_of_measurement"] = UnitOf(kind, fahrenheit);
      config["state_class"] = "measurement";
      break;
    case ChannelKind::kCounter:
      config["state_class"] = "total_increasing";
      config["icon"] = "mdi:counter";
      break;
    case ChannelKind::kSwitch:
      config["command_topic"] = topics.Command(key);
      config["payload_on"] = "ON";
      config["payload_off"] = "OFF";
      config["state_on"] = "ON";
      config["state_off"] = "OFF";
      break;
    case ChannelKind::kLevel:
    case ChannelKind::kPresence:
      config["payload_on"] = "ON";
      config["payload_off"] = "OFF";
      if (kind == ChannelKind::kPresence) config["device_class"] = "presence";
      break;
    case ChannelKind::kPotentiometer:
      config["command_topic"] = topics.Command(key);
      config["min"] = 0;
      config["max"] = 255;
      config["step"] = 1;
      config["mode"] = "slider";
      break;
  }
  return config;
}

json ChannelAttributes(const DeviceRecord& device, ChannelKind kind, bool fahrenheit) {
  const std::string rom = device.iomisc.substr(0, 16);
  return json{{"part", FamilyName(rom)},
              {"rom_id", rom},
              {"key", device.iomisc},
              {"unit", UnitOf(kind, fahrenheit)},
              {"last_change", TimeToIso(device.lastChange)},
              {"stale", device.stale},
              {"host_code", device.hc + device.dc},
              {"location", device.Location},
              {"health", DeviceHealthJson(device)}};
}

}  // namespace qb
