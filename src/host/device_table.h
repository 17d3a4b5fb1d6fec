#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/host_interface.h"

namespace qb {

// One host device with every property the host keeps for it.
struct DeviceRecord {
  int32_t ref = 0;
  std::string name;
  std::string Location;
  std::string hc;
  std::string dc;
  std::string interface;
  std::string iomisc;
  int32_t iotype = 0;
  bool can_dim = false;
  std::string dev_type_string;
  int32_t Status = 0;
  std::string Buttons;
  int32_t misc = 0;
  std::string string;  // status text
  double value = 0;
  HostTime lastChange{};
  bool deleted = false;
  // The plug-in's device is not present: the value is the last one read. Stored, so that it
  // survives a restart until the plug-in finds the device again.
  bool stale = false;
};

// The host's device list, kept as a JSON file in the host's folder. References are stable: they
// are handed out once, from kFirstRef upwards, and never reused, so a number can be told apart
// from a 1-based index.
class DeviceTable {
 public:
  static constexpr int32_t kFirstRef = 1000001;

  explicit DeviceTable(std::filesystem::path file);

  // Reads the file. A missing file is an empty table. A file that cannot be read is moved aside
  // and the table starts empty; the returned text says so (empty when all went well).
  std::string Load();
  // Writes the file if anything changed since the last write. Throws std::runtime_error.
  void Save();
  void MarkChanged() { dirty_ = true; }
  bool Dirty() const { return dirty_; }

  int32_t Add(const std::string& name);
  bool Remove(int32_t ref);
  int32_t Count() const { return static_cast<int32_t>(devices_.size()); }
  // 1-based index, or a reference.
  std::shared_ptr<DeviceRecord> Get(int32_t index_or_ref) const;
  std::shared_ptr<DeviceRecord> ByRef(int32_t ref) const;
  // A code is house code + device code, such as "A12".
  std::shared_ptr<DeviceRecord> ByCode(const std::string& code) const;
  const std::vector<std::shared_ptr<DeviceRecord>>& All() const { return devices_; }

 private:
  std::filesystem::path path_;
  std::vector<std::shared_ptr<DeviceRecord>> devices_;
  int32_t next_ref_ = kFirstRef;
  bool dirty_ = false;
};

// A device with every property, as stored and as the JSON API shows it.
nlohmann::json DeviceToJson(const DeviceRecord& device);

// ISO 8601 in UTC with milliseconds, as stored and as the JSON API writes times.
std::string TimeToIso(HostTime when);
std::optional<HostTime> TimeFromIso(const std::string& text);

}  // namespace qb
