#include "access/provider.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "access/errors.h"
#include "access/masters/adapter_types.h"

namespace qb::access {

namespace {

std::string Bare(const std::string& type) {
  std::string t = type;
  if (t.size() >= 2 && t.front() == '{' && t.back() == '}') t = t.substr(1, t.size() - 2);
  std::transform(t.begin(), t.end(), t.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return t;
}

std::string Trim(const std::string& s) {
  const auto a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

}  // namespace

void OneWireAccessProvider::RegisterAdapterType(const std::string& type, AdapterOpener opener) {
  types_[Bare(type)] = std::move(opener);
}

std::unique_ptr<DSPortAdapter> OneWireAccessProvider::openAdapter(const std::string& type,
                                                                  const std::string& port) const {
  const std::string name = Bare(type);
  auto it = types_.find(name);
  if (it == types_.end()) {
    std::string known;
    for (const auto& [k, v] : types_) known += (known.empty() ? "" : ", ") + k;
    throw AccessError(ErrorCode::GeneralFailure, "OneWireAccessProvider",
                      "unknown adapter type \"" + type + "\" for port \"" + port +
                          "\" (known types: " + known + ")");
  }
  std::unique_ptr<BusMaster> master;
  try {
    master = it->second(port);
  } catch (const AccessError& e) {
    throw AccessError(e.code(), name,
                      "cannot open the " + name + " adapter on port \"" + port + "\": " + e.what());
  } catch (const std::exception& e) {
    throw AccessError(ErrorCode::GeneralFailure, name,
                      "cannot open the " + name + " adapter on port \"" + port + "\": " + e.what());
  }
  return std::make_unique<DSPortAdapter>(name, port, std::move(master));
}

std::unique_ptr<DSPortAdapter> OneWireAccessProvider::openDefaultAdapter() const {
  std::error_code ec;
  if (detect_ && !std::filesystem::exists(default_file_, ec)) {
    const std::vector<FoundAdapter> found = detect_();
    if (!found.empty()) {
      const FoundAdapter& first = found.front();
      if (detect_log_)
        detect_log_("No default adapter file (" + default_file_ +
                    "): using the first adapter found, " + first.type + " on " + first.port + " (" +
                    first.description + ")");
      return openAdapter(first.type, first.port);
    }
    if (detect_log_)
      detect_log_("No default adapter file (" + default_file_ +
                  ") and no adapter found on this "
                  "computer");
  }
  const DefaultAdapter d = ReadDefaultAdapter(default_file_);
  const std::string type = AdapterTypeForPortType(d.port_type);
  return openAdapter(type, LookUpAdapterPort(type, d.port_number).port_text);
}

DefaultAdapter ReadDefaultAdapter(const std::string& path) {
  DefaultAdapter d;
  std::ifstream in(path);
  std::string line;
  bool in_section = false;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t.front() == '[') {
      in_section = strcasecmp(t.c_str(), "[DefaultAdapter]") == 0;
      continue;
    }
    const auto eq = t.find('=');
    if (!in_section || eq == std::string::npos) continue;
    const std::string key = Trim(t.substr(0, eq));
    const std::string value = Trim(t.substr(eq + 1));
    if (value.empty()) continue;
    if (strcasecmp(key.c_str(), "DefaultPortNum") == 0) d.port_number = value;
    if (strcasecmp(key.c_str(), "DefaultPortType") == 0) d.port_type = value;
  }
  return d;
}

}  // namespace qb::access
