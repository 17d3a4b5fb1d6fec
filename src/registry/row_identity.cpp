#include "registry/row_identity.h"

#include "core/plugin_state.h"
#include "platform/settings_store.h"

namespace qb {

std::string BusName() {
  const std::string stored = Store().GetOr("Settings", "BusName", "");
  const auto first = stored.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return stored.substr(first, stored.find_last_not_of(" \t") - first + 1);
}

std::string NameIdentifier(const std::string& location, const std::string& name) {
  const std::string bus = BusName();
  return (bus.empty() ? std::string() : bus + " ") + location + " " + name;
}

std::string WithoutBusName(const std::string& identifier) {
  const std::string bus = BusName();
  if (bus.empty()) return identifier;
  const std::string prefix = bus + " ";
  if (identifier.compare(0, prefix.size(), prefix) != 0) return {};
  return identifier.substr(prefix.size());
}

}  // namespace qb
