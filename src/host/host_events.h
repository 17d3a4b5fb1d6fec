#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/plugin_parts.h"

namespace qb {

class BuiltInHost;

// One event of the built-in host: a trigger and the actions run once each time it becomes true.
struct HostEvent {
  struct Trigger {
    // A plug-in condition (its condition text, fields separated by the character with code 2)
    // that holds (or, with `holds` false, does not hold); or a host device whose reading crosses
    // a threshold upwards (`above`) or downwards.
    std::string condition;
    bool holds = true;
    std::string device;  // host code, "A12"
    double threshold = 0;
    bool above = true;
  };
  struct Action {
    std::string device, command;  // a device command: host code and On, Off, Dim or Bright
    int brightness = 0;
    std::string speak;  // a spoken text
    std::string log;    // a log line
  };
  std::string name;
  Trigger trigger;
  std::vector<Action> actions;
};

// The built-in host's events, kept in the rules file events.json in the host's folder:
//   {"events": [{"name": "Cellar too warm",
//                "trigger": {"condition": ["1-Wire Temperature Alarm", "Cellar Sensor",
//                                          "Over Temp"]},
//                "actions": [{"device": "B1", "command": "On"}, {"speak": "The cellar is warm"},
//                            {"log": "Fan on"}]},
//               {"name": "Attic cold", "trigger": {"device": "A3", "below": 5}, ...}]}
// A condition trigger names the plug-in's condition by its fields after the host's own (type,
// device, choice), or gives the whole condition text; "holds": false turns it round. A device
// trigger compares the reading the device shows (the number its status text starts with). After
// each poll the host evaluates every trigger and runs the actions of an event whose trigger has
// become true since the last evaluation (so once at the first poll when it is true from the
// start), and logs it.
class HostEvents {
 public:
  explicit HostEvents(std::filesystem::path file) : file_(std::move(file)) {}

  // Reads the rules file. A missing file means no events. Returns the problem of a file that
  // cannot be used; the events in effect are then left as they were.
  std::string Load();
  // Takes new rules (a JSON document as above) and saves them atomically. Returns the problem of
  // rules that cannot be used or saved; the rules in effect and the file are then kept.
  // `device_problem`, when given, checks each device a trigger or action names (empty when the
  // device exists and takes the action's command, else why not): rules from the API name the
  // host's present devices, while the rules file read at start may name devices still to come.
  std::string Replace(
      const std::string& body,
      const std::function<std::string(const std::string& device, const std::string& command)>&
          device_problem = {});
  // The rules as given, with the names of the events whose trigger holds now under "active".
  nlohmann::json ToJson() const;
  // Checks a rules document; empty when it is usable, else what is wrong with it.
  static std::string Check(const nlohmann::json& doc, std::vector<HostEvent>* events = nullptr);

  // Evaluates every trigger and runs the actions of the events whose trigger became true. Never
  // throws; a failing action is logged and the others still run.
  void Evaluate(BuiltInHost& host);

  const std::filesystem::path& file() const { return file_; }

 private:
  bool TriggerHolds(BuiltInHost& host, const HostEvent& event);
  void Run(BuiltInHost& host, const HostEvent& event);

  std::filesystem::path file_;
  nlohmann::json doc_ = {{"events", nlohmann::json::array()}};
  // Shared: an evaluation keeps the rules it started with when new ones arrive during a pause.
  std::shared_ptr<const std::vector<HostEvent>> events_ =
      std::make_shared<const std::vector<HostEvent>>();
  std::map<std::string, bool> active_;  // by event name
  bool evaluating_ = false;
};

// The poll as the built-in host sees it: after each network read cycle the host evaluates its
// events.
class PollThenEvents : public BusCycle {
 public:
  PollThenEvents(std::shared_ptr<BusCycle> cycle, std::shared_ptr<BuiltInHost> host)
      : cycle_(std::move(cycle)), host_(std::move(host)) {}
  void CheckPresence() override { cycle_->CheckPresence(); }
  void ReadNet() override;

 private:
  std::shared_ptr<BusCycle> cycle_;
  std::shared_ptr<BuiltInHost> host_;
};

}  // namespace qb
