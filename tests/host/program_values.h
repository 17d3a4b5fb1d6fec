// The real program run on a bus file through an adapter, and what its JSON API shows of every
// device: for tests that compare the program's values through an emulated adapter with its values
// on the simulator.
#pragma once

#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {

// `bus` with every value generator (sine, walk, steps) replaced by its starting value: values
// that do not move while two programs read them at different moments.
inline nlohmann::json FrozenBus(const nlohmann::json& bus) {
  if (bus.is_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& item : bus) out.push_back(FrozenBus(item));
    return out;
  }
  if (!bus.is_object()) return bus;
  if (bus.contains("type")) {
    const std::string type = bus["type"];
    if (type == "sine") return bus["mean"];
    if (type == "walk") return bus["start"];
    if (type == "steps") return bus["steps"][0][1];
  }
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [key, value] : bus.items()) out[key] = FrozenBus(value);
  return out;
}

// The program with `settings` in `folder`, started by `prefix` (a serve command ending in "--",
// or nothing) on a free loopback port.
class ProgramRun {
 public:
  ProgramRun(const std::filesystem::path& folder, const std::string& settings,
             std::vector<std::string> prefix)
      : process_([&] {
          std::filesystem::create_directories(folder);
          WriteFile(folder / "settings.ini", settings);
          for (const std::string& a :
               {std::string(QB_PROGRAM_PATH), std::string("--standalone"), std::string("--app-dir"),
                (folder / "app").string(), std::string("--settings"),
                (folder / "settings.ini").string(), std::string("--http"),
                std::string("127.0.0.1:0")})
            prefix.push_back(a);
          return prefix;
        }()) {
    std::smatch m;
    const std::string line = process_.WaitForLine("Web pages: ");
    if (std::regex_search(line, m, std::regex("127\\.0\\.0\\.1:(\\d+)/")))
      client_ = std::make_unique<HttpClient>("127.0.0.1", std::stoi(m[1]));
  }
  bool serving() const { return client_ != nullptr; }
  ChildProcess& process() { return process_; }

  // Every host device's name and shown value; empty when the API does not answer.
  std::map<std::string, std::string> Values() {
    std::map<std::string, std::string> values;
    if (!client_) return values;
    auto res = client_->Get("/api/devices");
    if (!res || res->status != 200) return values;
    for (const auto& d : nlohmann::json::parse(res->body))
      values[d.value("name", "")] = d.value("string", "");
    return values;
  }

 private:
  ChildProcess process_;
  std::unique_ptr<HttpClient> client_;
};

// Whether every device of `values` shows a value.
inline bool AllShown(const std::map<std::string, std::string>& values) {
  if (values.empty()) return false;
  for (const auto& [name, shown] : values)
    if (shown.empty()) return false;
  return true;
}

// The lines of `a` and `b` that differ, for a failure message.
inline std::string Differences(const std::map<std::string, std::string>& sim,
                               const std::map<std::string, std::string>& other) {
  std::string out;
  for (const auto& [name, shown] : sim) {
    const auto it = other.find(name);
    const std::string there = it == other.end() ? "(missing)" : it->second;
    if (there != shown) out += name + ": \"" + shown + "\" on SIM, \"" + there + "\" here\n";
  }
  for (const auto& [name, shown] : other)
    if (!sim.contains(name)) out += name + ": only here, \"" + shown + "\"\n";
  return out;
}

// Runs the program on the frozen demo bus on SIM and, at the same time, through `serve` (the bus
// tool's serve options for an emulated adapter) with `int_type` and `int_port`; waits until the
// simulator's run shows every value and the adapter's run the same ones (or `patience` passes:
// long enough for a sanitizer build, whose test timeout is the tighter bound elsewhere).
// Devices whose names `left_out` matches are not compared. Returns the differences, empty when
// none.
inline std::string CompareDemoWithSim(const std::vector<std::string>& serve,
                                      const std::string& int_type, const std::string& int_port,
                                      const std::regex& left_out, std::string* adapter_output,
                                      std::chrono::seconds patience = std::chrono::seconds(100)) {
  TempDir dir;
  std::ifstream in(QB_DEMO_BUS);
  const nlohmann::json frozen = FrozenBus(nlohmann::json::parse(in));
  WriteFile(dir.path() / "bus.json", frozen.dump(1));
  const std::string bus = (dir.path() / "bus.json").string();
  ProgramRun sim(dir.path() / "sim", "[Settings]\nIntType=SIM\nIntPort=" + bus + "\nPollCycle=1\n",
                 {});
  std::vector<std::string> prefix = {QB_BUS_TOOL_PATH, "serve", "--bus", bus};
  prefix.insert(prefix.end(), serve.begin(), serve.end());
  prefix.push_back("--");
  ProgramRun adapter(
      dir.path() / "adapter",
      "[Settings]\nIntType=" + int_type + "\nIntPort=" + int_port + "\nPollCycle=1\n", prefix);
  const auto read_output = [&] {
    adapter.process().WaitForLine("a line that never comes", std::chrono::milliseconds(100));
    *adapter_output = adapter.process().output();
  };
  if (!sim.serving() || !adapter.serving()) {
    read_output();
    return "a program did not start: " + sim.process().output();
  }
  auto compared = [&](std::map<std::string, std::string> values) {
    std::erase_if(values, [&](const auto& v) { return std::regex_search(v.first, left_out); });
    return values;
  };
  std::map<std::string, std::string> on_sim, through;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    on_sim = compared(sim.Values());
    through = compared(adapter.Values());
  } while (!(AllShown(on_sim) && on_sim == through) && std::chrono::steady_clock::now() < deadline);
  read_output();
  if (!AllShown(on_sim))
    return "the simulator's run did not show every value:\n" + Differences(on_sim, {});
  return Differences(on_sim, through);
}

}  // namespace qb::test
