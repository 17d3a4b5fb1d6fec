#include "host/device_table.h"

#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

#include "platform/atomic_file.h"

namespace qb {

using nlohmann::json;

std::string TimeToIso(HostTime when) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  const int millis = static_cast<int>(ms - static_cast<int64_t>(secs) * 1000);
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03dZ", buf, millis);
  return out;
}

std::optional<HostTime> TimeFromIso(const std::string& text) {
  std::tm utc{};
  int millis = 0;
  const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
  if (!rest) return std::nullopt;
  if (*rest == '.') {
    char* end = nullptr;
    const long frac = std::strtol(rest + 1, &end, 10);
    const auto digits = end - (rest + 1);
    if (digits <= 0 || digits > 9) return std::nullopt;
    long scaled = frac;
    for (auto d = digits; d < 3; ++d) scaled *= 10;
    for (auto d = digits; d > 3; --d) scaled /= 10;
    millis = static_cast<int>(scaled);
    rest = end;
  }
  if (std::string(rest) != "Z") return std::nullopt;
  const std::time_t secs = timegm(&utc);
  // The clock counts nanoseconds in 64 bits: years beyond about 2262 cannot be held.
  constexpr std::time_t kYear2200 = 7258118400;
  if (secs < -kYear2200 || secs > kYear2200) return std::nullopt;
  return HostTime{std::chrono::seconds(secs) + std::chrono::milliseconds(millis)};
}

json DeviceToJson(const DeviceRecord& d) {
  return json{{"ref", d.ref},
              {"name", d.name},
              {"Location", d.Location},
              {"hc", d.hc},
              {"dc", d.dc},
              {"interface", d.interface},
              {"iomisc", d.iomisc},
              {"iotype", d.iotype},
              {"can_dim", d.can_dim},
              {"dev_type_string", d.dev_type_string},
              {"Status", d.Status},
              {"Buttons", d.Buttons},
              {"misc", d.misc},
              {"string", d.string},
              {"value", d.value},
              {"lastChange", TimeToIso(d.lastChange)},
              {"stale", d.stale}};
}

namespace {

// A whole number of the stored range; anything else (a fraction, 1e20) makes the table unreadable
// rather than silently becoming another number.
int32_t Int32(const json& j, const char* key, int32_t fallback) {
  if (!j.contains(key)) return fallback;
  const json& v = j.at(key);
  if (!v.is_number_integer() || v.get<int64_t>() < INT32_MIN || v.get<int64_t>() > INT32_MAX ||
      (v.is_number_unsigned() && v.get<uint64_t>() > INT32_MAX))
    throw std::runtime_error(std::string("\"") + key + "\" must be a whole number");
  return static_cast<int32_t>(v.get<int64_t>());
}

DeviceRecord FromJson(const json& j) {
  DeviceRecord d;
  if (!j.contains("ref")) throw std::runtime_error("a device has no \"ref\"");
  d.ref = Int32(j, "ref", 0);
  d.name = j.value("name", "");
  d.Location = j.value("Location", "");
  d.hc = j.value("hc", "");
  d.dc = j.value("dc", "");
  d.interface = j.value("interface", "");
  d.iomisc = j.value("iomisc", "");
  d.iotype = Int32(j, "iotype", 0);
  d.can_dim = j.value("can_dim", false);
  d.dev_type_string = j.value("dev_type_string", "");
  d.Status = Int32(j, "Status", 0);
  d.Buttons = j.value("Buttons", "");
  d.misc = Int32(j, "misc", 0);
  d.string = j.value("string", "");
  d.value = j.value("value", 0.0);
  if (auto t = TimeFromIso(j.value("lastChange", ""))) d.lastChange = *t;
  d.stale = j.value("stale", false);
  return d;
}

}  // namespace

DeviceTable::DeviceTable(std::filesystem::path file) : path_(std::move(file)) {}

std::string DeviceTable::Load() {
  devices_.clear();
  next_ref_ = kFirstRef;
  dirty_ = false;
  std::error_code ec;
  if (!std::filesystem::exists(path_, ec)) return {};
  std::string problem;
  try {
    std::ifstream in(path_);
    if (!in) throw std::runtime_error("cannot open it");
    const json doc = json::parse(in);
    std::vector<std::shared_ptr<DeviceRecord>> loaded;
    if (!doc.is_object()) throw std::runtime_error("it is not a JSON object");
    int32_t next = Int32(doc, "next_ref", kFirstRef);
    std::set<int32_t> refs;
    for (const auto& item : doc.at("devices")) {
      auto d = std::make_shared<DeviceRecord>(FromJson(item));
      // The highest reference leaves room for the next one.
      if (d->ref < kFirstRef || d->ref == INT32_MAX)
        throw std::runtime_error("device reference " + std::to_string(d->ref) + " is out of range");
      if (d->ref >= next) next = d->ref + 1;
      if (!refs.insert(d->ref).second)
        throw std::runtime_error("device reference " + std::to_string(d->ref) + " appears twice");
      loaded.push_back(std::move(d));
    }
    if (next < kFirstRef || next == INT32_MAX)
      throw std::runtime_error("the next reference " + std::to_string(next) + " is out of range");
    devices_ = std::move(loaded);
    next_ref_ = next;
    return {};
  } catch (const std::exception& e) {
    problem = e.what();
  }
  std::filesystem::path aside = path_;
  aside += ".broken-" + std::to_string(std::time(nullptr));
  std::filesystem::rename(path_, aside, ec);
  if (ec) {
    throw std::runtime_error("the device table " + path_.string() + " cannot be read (" + problem +
                             ") and cannot be moved aside (" + ec.message() +
                             "); refusing to start over it");
  }
  return "the device table " + path_.string() + " cannot be read (" + problem +
         "); it was moved to " + aside.string() + " and the host starts with no devices";
}

void DeviceTable::Save() {
  if (!dirty_) return;
  json list = json::array();
  for (const auto& d : devices_) {
    // Stale is kept: a device gone before a restart shows as gone at once after it.
    list.push_back(DeviceToJson(*d));
  }
  const json doc{{"version", 1}, {"next_ref", next_ref_}, {"devices", list}};
  WriteFileAtomically(path_, doc.dump(1) + "\n");
  dirty_ = false;
}

int32_t DeviceTable::Add(const std::string& name) {
  auto d = std::make_shared<DeviceRecord>();
  d->ref = next_ref_++;
  d->name = name;
  devices_.push_back(d);
  dirty_ = true;
  return d->ref;
}

bool DeviceTable::Remove(int32_t ref) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if ((*it)->ref == ref) {
      (*it)->deleted = true;
      devices_.erase(it);
      dirty_ = true;
      return true;
    }
  }
  return false;
}

std::shared_ptr<DeviceRecord> DeviceTable::Get(int32_t index_or_ref) const {
  if (index_or_ref >= 1 && index_or_ref <= Count())
    return devices_[static_cast<size_t>(index_or_ref - 1)];
  return ByRef(index_or_ref);
}

std::shared_ptr<DeviceRecord> DeviceTable::ByRef(int32_t ref) const {
  for (const auto& d : devices_) {
    if (d->ref == ref) return d;
  }
  return nullptr;
}

std::shared_ptr<DeviceRecord> DeviceTable::ByCode(const std::string& code) const {
  for (const auto& d : devices_) {
    if (!d->hc.empty() && d->hc + d->dc == code) return d;
  }
  return nullptr;
}

}  // namespace qb
