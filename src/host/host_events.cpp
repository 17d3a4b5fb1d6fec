#include "host/host_events.h"

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <set>
#include <sstream>

#include "host/builtin_host.h"
#include "host/device_command.h"
#include "platform/atomic_file.h"

namespace qb {

using nlohmann::json;

namespace {

constexpr char kSeparator = '\x02';  // between the fields of a plug-in's condition text

bool HasControlCharacters(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The keys of `object` that are not in `allowed`, as a message; empty when there are none.
std::string UnknownKeys(const json& object, std::initializer_list<const char*> allowed) {
  for (const auto& [key, value] : object.items()) {
    bool known = false;
    for (const char* a : allowed) known = known || key == a;
    if (!known) return "unknown key \"" + key + "\"";
  }
  return {};
}

std::string CheckTrigger(const json& t, HostEvent::Trigger& out) {
  if (!t.is_object()) return "\"trigger\" must be an object";
  if (t.contains("condition")) {
    if (auto bad = UnknownKeys(t, {"condition", "holds"}); !bad.empty())
      return "the trigger has an " + bad + " (a condition trigger takes \"condition\", \"holds\")";
    const json& c = t["condition"];
    if (c.is_string() && !c.get<std::string>().empty()) {
      out.condition = c.get<std::string>();
    } else if (c.is_array() && c.size() == 3) {
      out.condition.clear();  // the host's own field 0 is left empty
      for (const auto& field : c) {
        if (!field.is_string() || field.get<std::string>().empty() ||
            HasControlCharacters(field.get<std::string>()))
          return "each of the three condition fields must be a text without control characters";
        out.condition += kSeparator + field.get<std::string>();
      }
    } else {
      return "\"condition\" must be the three fields [type, device, choice], such as "
             "[\"1-Wire Temperature Alarm\", \"Cellar Sensor\", \"Over Temp\"], or the whole "
             "condition text";
    }
    if (t.contains("holds")) {
      if (!t["holds"].is_boolean()) return "\"holds\" must be true or false";
      out.holds = t["holds"].get<bool>();
    }
    return {};
  }
  if (t.contains("device")) {
    if (auto bad = UnknownKeys(t, {"device", "above", "below"}); !bad.empty())
      return "the trigger has an " + bad +
             " (a device trigger takes \"device\" and \"above\" or "
             "\"below\")";
    if (!t["device"].is_string() || t["device"].get<std::string>().empty())
      return "\"device\" must be a host code such as \"A12\"";
    out.device = t["device"].get<std::string>();
    if (t.contains("above") == t.contains("below"))
      return "a device trigger takes exactly one of \"above\" and \"below\"";
    const json& n = t.contains("above") ? t["above"] : t["below"];
    if (!n.is_number()) return "the threshold must be a number";
    out.threshold = n.get<double>();
    out.above = t.contains("above");
    return {};
  }
  return "the trigger needs a \"condition\" or a \"device\"";
}

std::string CheckAction(const json& a, HostEvent::Action& out) {
  if (!a.is_object()) return "must be an object";
  const int kinds = a.contains("device") + a.contains("speak") + a.contains("log");
  if (kinds != 1)
    return "must be exactly one of a device command {\"device\": \"B1\", \"command\": \"On\"}, "
           "{\"speak\": text} or {\"log\": text}";
  if (a.contains("device")) {
    if (auto bad = UnknownKeys(a, {"device", "command", "brightness"}); !bad.empty())
      return "has an " + bad;
    if (!a["device"].is_string() || a["device"].get<std::string>().empty())
      return "\"device\" must be a host code such as \"B1\"";
    if (!a.contains("command") || !a["command"].is_string() ||
        CommandName(a["command"].get<std::string>()).empty())
      return "\"command\" must be On, Off, Update, Level, Dim or Bright";
    out.device = a["device"].get<std::string>();
    out.command = CommandName(a["command"].get<std::string>());
    // The level of "Level" is a wiper position up to 255; Dim and Bright take per cent.
    const int64_t most = out.command == "Level" ? 255 : 100;
    if (a.contains("brightness")) {
      if (!a["brightness"].is_number_integer() || a["brightness"].get<int64_t>() < 0 ||
          a["brightness"].get<int64_t>() > most)
        return "\"brightness\" must be a whole number from 0 to " + std::to_string(most);
      out.brightness = a["brightness"].get<int>();
    }
    return {};
  }
  const char* key = a.contains("speak") ? "speak" : "log";
  if (auto bad = UnknownKeys(a, {key}); !bad.empty()) return "has an " + bad;
  if (!a[key].is_string() || a[key].get<std::string>().empty())
    return std::string("\"") + key + "\" must be a text";
  (a.contains("speak") ? out.speak : out.log) = a[key].get<std::string>();
  return {};
}

// The reading a host device shows: the number its status text starts with.
std::optional<double> ShownReading(const std::string& text) {
  const char* start = text.c_str();
  while (*start == ' ') ++start;
  char* end = nullptr;
  const double value = std::strtod(start, &end);
  if (end == start) return std::nullopt;
  return value;
}

std::string Describe(const HostEvent::Trigger& t) {
  if (!t.device.empty())
    return t.device + (t.above ? " above " : " below ") + std::to_string(t.threshold);
  std::string fields = t.condition;
  for (char& c : fields) {
    if (c == kSeparator) c = '/';
  }
  return (t.holds ? "" : "not ") + fields;
}

}  // namespace

std::string HostEvents::Check(const json& doc, std::vector<HostEvent>* events) {
  if (!doc.is_object() || !doc.contains("events") || !doc["events"].is_array())
    return "the rules must be a JSON object {\"events\": [...]}";
  if (auto bad = UnknownKeys(doc, {"events", "active"}); !bad.empty())
    return "the rules have an " + bad;
  std::vector<HostEvent> list;
  std::set<std::string> names;
  for (size_t i = 0; i < doc["events"].size(); ++i) {
    const json& e = doc["events"][i];
    const std::string where = "event " + std::to_string(i + 1);
    if (!e.is_object()) return where + " must be an object";
    if (auto bad = UnknownKeys(e, {"name", "trigger", "actions"}); !bad.empty())
      return where + " has an " + bad + " (an event takes \"name\", \"trigger\", \"actions\")";
    HostEvent event;
    if (!e.contains("name") || !e["name"].is_string() || e["name"].get<std::string>().empty() ||
        HasControlCharacters(e["name"].get<std::string>()))
      return where + " needs a \"name\" (a text without control characters)";
    event.name = e["name"].get<std::string>();
    const std::string named = where + " (\"" + event.name + "\")";
    if (!names.insert(event.name).second) return named + ": another event has the same name";
    if (!e.contains("trigger")) return named + " needs a \"trigger\"";
    if (auto bad = CheckTrigger(e["trigger"], event.trigger); !bad.empty())
      return named + ": " + bad;
    if (!e.contains("actions") || !e["actions"].is_array() || e["actions"].empty())
      return named + " needs \"actions\", a list of one or more";
    for (size_t k = 0; k < e["actions"].size(); ++k) {
      HostEvent::Action action;
      if (auto bad = CheckAction(e["actions"][k], action); !bad.empty())
        return named + ": action " + std::to_string(k + 1) + " " + bad;
      event.actions.push_back(action);
    }
    list.push_back(std::move(event));
  }
  if (events) *events = std::move(list);
  return {};
}

std::string HostEvents::Load() {
  std::error_code ec;
  if (!std::filesystem::exists(file_, ec)) return {};
  std::ifstream in(file_);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) return file_.string() + " cannot be read";
  json doc;
  try {
    doc = json::parse(text.str());
  } catch (const json::exception& e) {
    return file_.string() + " is not valid JSON (" + e.what() + ")";
  }
  std::vector<HostEvent> events;
  if (auto bad = Check(doc, &events); !bad.empty()) return file_.string() + ": " + bad;
  doc.erase("active");
  doc_ = std::move(doc);
  events_ = std::make_shared<const std::vector<HostEvent>>(std::move(events));
  active_.clear();
  return {};
}

std::string HostEvents::Replace(
    const std::string& body,
    const std::function<std::string(const std::string&, const std::string&)>& device_problem) {
  json doc;
  try {
    doc = json::parse(body);
  } catch (const json::exception&) {
    return "the rules must be a JSON object {\"events\": [...]}";
  }
  std::vector<HostEvent> events;
  if (auto bad = Check(doc, &events); !bad.empty()) return bad;
  if (device_problem) {
    for (size_t i = 0; i < events.size(); ++i) {
      const HostEvent& e = events[i];
      const std::string named = "event " + std::to_string(i + 1) + " (\"" + e.name + "\")";
      if (!e.trigger.device.empty()) {
        if (auto bad = device_problem(e.trigger.device, ""); !bad.empty())
          return named + ": the trigger's " + bad;
      }
      for (size_t k = 0; k < e.actions.size(); ++k) {
        const HostEvent::Action& a = e.actions[k];
        if (a.device.empty()) continue;
        if (auto bad = device_problem(a.device, a.command); !bad.empty())
          return named + ": action " + std::to_string(k + 1) + " " + bad;
      }
    }
  }
  doc.erase("active");
  try {
    WriteFileAtomically(file_, doc.dump(2) + "\n");
  } catch (const std::exception& e) {
    return std::string("the rules could not be saved: ") + e.what();
  }
  doc_ = std::move(doc);
  events_ = std::make_shared<const std::vector<HostEvent>>(std::move(events));
  active_.clear();
  return {};
}

json HostEvents::ToJson() const {
  json out = doc_;
  json active = json::array();
  for (const auto& [name, holds] : active_) {
    if (holds) active.push_back(name);
  }
  out["active"] = active;
  return out;
}

bool HostEvents::TriggerHolds(BuiltInHost& host, const HostEvent& event) {
  const HostEvent::Trigger& t = event.trigger;
  if (!t.condition.empty()) {
    HostedPlugin* plugin = host.AttachedPlugin();
    const bool holds = plugin && plugin->ConditionCheck(t.condition);
    return holds == t.holds;
  }
  const auto device = host.devices().ByCode(t.device);
  if (!device) return false;
  // A device whose 1-Wire device is away shows an old reading: the trigger stays as it was.
  if (device->stale) return active_[event.name];
  const auto reading = ShownReading(device->string);
  if (!reading) return false;
  return t.above ? *reading > t.threshold : *reading < t.threshold;
}

void HostEvents::Run(BuiltInHost& host, const HostEvent& event) {
  host.writelog("Event", "\"" + event.name + "\" triggered (" + Describe(event.trigger) + ")");
  for (const auto& a : event.actions) {
    try {
      if (!a.device.empty()) {
        host.writelog("Event", "\"" + event.name + "\": " + a.device + " " + a.command);
        // The same check and mapping as every other way a command reaches a device.
        const auto device = host.devices().ByCode(a.device);
        if (!device) throw HostError("no host device has the code \"" + a.device + "\"");
        const DeviceCommandOutcome sent = SendDeviceCommand(host, device, a.command, a.brightness);
        if (sent.result != DeviceCommandResult::kSent)
          throw HostError(a.device + " " + a.command + " was not sent: " + sent.problem);
      } else if (!a.speak.empty()) {
        host.Speak(a.speak);  // queued: the host speaks while the polling goes on
      } else {
        host.writelog("Event", "\"" + event.name + "\": " + a.log);
      }
    } catch (const std::exception& e) {
      host.writelog("Event ERROR", "\"" + event.name + "\": an action failed: " + e.what());
    }
  }
}

void HostEvents::Evaluate(BuiltInHost& host) {
  if (evaluating_) return;  // a poll inside a pause of the evaluation leaves the events to it
  evaluating_ = true;
  const auto events = events_;
  for (const auto& event : *events) {
    bool now = false;
    try {
      now = TriggerHolds(host, event);
    } catch (const std::exception& e) {
      host.writelog("Event ERROR",
                    "\"" + event.name + "\": its trigger could not be checked: " + e.what());
      continue;
    }
    // Rules replaced while the trigger was checked: the new ones are evaluated after the next poll.
    if (events_ != events) break;
    const bool was = active_[event.name];
    active_[event.name] = now;
    if (now && !was) {
      Run(host, event);
    } else if (!now && was) {
      host.writelog("Event",
                    "\"" + event.name + "\" no longer holds (" + Describe(event.trigger) + ")");
    }
    if (events_ != events) break;
  }
  evaluating_ = false;
}

void PollThenEvents::ReadNet() {
  cycle_->ReadNet();
  try {
    host_->events().Evaluate(*host_);
  } catch (const std::exception& e) {
    host_->writelog("Event ERROR", std::string("The events could not be evaluated: ") + e.what());
  }
}

}  // namespace qb
