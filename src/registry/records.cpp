#include "registry/records.h"

#include "catalogue/family_catalogue.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "registry/host_codes.h"
#include "registry/value_text.h"

namespace qb {

namespace {

// Lookups let pending events run once per record they examine.
void Yield() {
  Loop().DoEvents();
}

// Walks a list that may change while events run: after each pause the position is checked again
// and the element taken by shared ownership, so a record added or removed in between never leaves
// the walk on freed memory. The list's owner must outlive the walk (callers hold it).
template <typename T, typename Match>
std::shared_ptr<T> WalkFind(const std::vector<std::shared_ptr<T>>& list, Match&& match) {
  for (size_t i = 0; i < list.size(); ++i) {
    Yield();
    if (i >= list.size()) break;
    std::shared_ptr<T> item = list[i];
    if (item && match(*item)) return item;
  }
  return nullptr;
}

int32_t StoredInt(const std::string& section, const std::string& key, int32_t fallback) {
  auto value = Store().Get(section, key);
  return value ? static_cast<int32_t>(RoundHalfEvenInt(ReadNumber(*value))) : fallback;
}

}  // namespace

DSROMs& gROMs() {
  static DSROMs registry;
  return registry;
}

void ResetRegistry() {
  gROMs().ROMlist.clear();
}

void DSDevices::Remove(const DSDevice& aDev) {
  for (auto it = DevList.begin(); it != DevList.end(); ++it) {
    if ((*it)->ROM == aDev.ROM) {
      DevList.erase(it);
      return;
    }
  }
}

std::shared_ptr<DSDevice> DSDevices::Find(const std::string& key) {
  if (auto d = WalkFind(DevList, [&](const DSDevice& x) { return x.ROM == key; })) return d;
  return Add(key);
}

std::shared_ptr<DSDevice> DSDevices::FindHSDev(const std::string& hc, const std::string& dc) {
  if (hc.empty() || dc.empty()) return nullptr;
  const double code = ReadNumber(dc);
  return WalkFind(DevList, [&](const DSDevice& x) { return x.dc == code && x.hc == hc; });
}

std::shared_ptr<DSDevice> DSDevices::Add(const std::string& key) {
  WriteLog(LogClass::CycleDetail, "1-Wire I/F", "Adding device " + key + " to collection");
  std::shared_ptr<HostDevice> host;
  try {
    host = FindHSDeviceByKey(key);
  } catch (const std::exception&) {
    host = nullptr;  // a failed lookup counts as no host device
  }
  // The lookup above let events run: a request handled meanwhile may have added this key.
  for (const auto& existing : DevList) {
    if (existing->ROM == key) return existing;
  }
  auto d = std::make_shared<DSDevice>();
  d->ROM = key;
  d->Parent = gROMs().FindParent(key);
  d->LogtoDB = StoredInt("Log", key, 0);
  if (!host) {
    d->HSName = key;
    d->HSLocation = "Unknown";
  } else {
    // Adopt the host device that an earlier run created for this key.
    host->set_iomisc(key);
    d->AddressUpdated = true;
    d->hc = host->hc();
    d->dc = static_cast<int32_t>(RoundHalfEvenInt(ReadNumber(host->dc())));
    d->HSName = host->name();
    d->HSLocation = host->Location();
    d->HSString = Plugin().host->DeviceString(d->Code());
    d->Adjustment = ReadNumber(Store().GetOr("Adjustment", key, "0"));
  }
  DevList.push_back(d);
  return d;
}

void DSROMs::Remove(const DSDevice& aDev) {
  const std::string rom = aDev.ROM.substr(0, 16);
  for (auto it = ROMlist.begin(); it != ROMlist.end(); ++it) {
    if ((*it)->ROM == rom) {
      ROMlist.erase(it);
      return;
    }
  }
}

std::shared_ptr<DSROM> DSROMs::Add(const std::string& key) {
  if (key.empty()) return nullptr;
  // Callers looked for the device with pauses in between: it may have been added meanwhile.
  std::shared_ptr<DSROM> existing;
  for (const auto& r : ROMlist) {
    if (r->ROM == key.substr(0, 16)) existing = r;
  }
  if (existing) {
    const auto devices = existing->Devices;
    devices->Find(key);  // as Find does for a device it already had
    return existing;
  }
  auto r = std::make_shared<DSROM>();
  r->ROM = key.substr(0, 16);
  r->Caps = static_cast<int32_t>(FamilyCaps(key));
  // Only a DS2438 can be a humidity sensor: it is one unless the user said otherwise.
  r->DS2438Humid = StoredInt("DS2438", r->ROM, FamilyName(r->ROM) == "DS2438" ? 1 : 0);
  r->ShowID = StoredInt("Show Device ID", r->ROM, 0);
  ROMlist.push_back(r);
  index_.try_emplace(r->ROM, ROMlist.size() - 1);
  if (r->ShowID == 1 || key.size() > 16) {
    const auto devices = r->Devices;
    devices->Find(key);
  }
  return r;
}

std::shared_ptr<DSROM> DSROMs::IndexedAt(const std::string& rom) const {
  const auto it = index_.find(rom);
  if (it == index_.end() || it->second >= ROMlist.size()) return nullptr;
  const auto& r = ROMlist[it->second];
  return r && r->ROM == rom ? r : nullptr;
}

std::shared_ptr<DSROM> DSROMs::Lookup(const std::string& rom) {
  if (auto r = IndexedAt(rom)) return r;
  // Missing or out of date (the list changed beside the index): index the list as it is now,
  // keeping the first record of each ROM id, as a walk from the front finds it.
  index_.clear();
  for (size_t i = 0; i < ROMlist.size(); ++i) {
    if (ROMlist[i]) index_.try_emplace(ROMlist[i]->ROM, i);
  }
  return IndexedAt(rom);
}

std::shared_ptr<DSROM> DSROMs::Find(const std::string& key) {
  if (auto r = Lookup(key.substr(0, 16))) {
    auto devices = r->Devices;
    devices->Find(key);
    return r;
  }
  return Add(key);
}

std::shared_ptr<DSROM> DSROMs::FindParent(const std::string& key) {
  // One pause per lookup lets pending events run, as the walk's pauses did; the lookup itself
  // is made after it, so whatever ran in the pause is seen.
  Yield();
  return Lookup(key.substr(0, 16));
}

std::string DSROMs::FindbyHSLocationAndHSName(const std::string& LandN) {
  for (size_t i = 0; i < ROMlist.size(); ++i) {
    const auto r = ROMlist[i];
    const auto devices = r->Devices;
    auto d = WalkFind(devices->DevList,
                      [&](const DSDevice& x) { return x.HSLocation + " " + x.HSName == LandN; });
    if (d) return d->ROM;
  }
  return {};
}

std::shared_ptr<DSDevice> DSROMs::FindDev(const std::string& key) {
  if (key.empty()) return nullptr;
  try {
    Yield();
    auto r = Lookup(key.substr(0, 16));
    if (!r) r = Add(key);
    if (!r) return nullptr;
    const auto devices = r->Devices;
    return devices->Find(key);
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::shared_ptr<DSDevice> DSROMs::FindHSDev(const std::string& hc, const std::string& dc) {
  for (size_t i = 0; i < ROMlist.size(); ++i) {
    const auto r = ROMlist[i];
    const auto devices = r->Devices;
    if (auto d = devices->FindHSDev(hc, dc)) return d;
  }
  return nullptr;
}

}  // namespace qb
