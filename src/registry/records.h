#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace qb {

// The status text of a channel whose host device was created but that has not been read yet.
inline constexpr char kNoReadingText[] = "No reading yet";

struct DSROM;
class DSDevices;

// One host device: one measured channel of a physical device (or the device itself).
struct DSDevice {
  std::string ROM;       // the device key: ROM id, optionally followed by a channel suffix
  std::string hc;        // house code; empty while no host device is bound
  int32_t dc = -1;       // device code; -1 while no host device is bound
  std::string HSString;  // the status text last written to the host device
  double Reading = -1;   // the value last written to the host device
  std::string HSName;
  std::string HSLocation;
  int32_t hasTempResolution = -1;  // -1 not known, 1 selectable, 0 fixed
  int32_t HiAlarm = 0;
  int32_t LoAlarm = 0;
  int32_t hasTemperatureAlarms = -1;
  double TempResolution = -1;
  int32_t LogtoDB = 0;
  // The physical device; held weakly so that a device and its channels do not keep each other
  // alive once both are out of the registry.
  std::weak_ptr<DSROM> Parent;
  double Adjustment = 0;
  bool AddressUpdated = false;
  bool Initialized = false;
  // A temperature channel whose device the last read cycle found in alarm (set and cleared by
  // the alarm reaction; only for a channel that shows a reading).
  bool InAlarm = false;

  // The host code text: house code followed by device code ("A12").
  std::string Code() const { return hc + std::to_string(dc); }
  // Whether the channel's host device shows a value: it has one, and the channel has been read
  // since it was created (until then its status text is kNoReadingText).
  bool HasReading() const {
    return dc != -1 && !hc.empty() && !HSString.empty() && HSString != kNoReadingText;
  }
};

// The channel records of one physical device, in the order they were added.
class DSDevices {
 public:
  std::vector<std::shared_ptr<DSDevice>> DevList;

  int32_t Count() const { return static_cast<int32_t>(DevList.size()); }
  // Removes the first record with the key of `aDev`.
  void Remove(const DSDevice& aDev);
  // The record with that key, created (and bound to its host device, if any) when absent.
  std::shared_ptr<DSDevice> Find(const std::string& key);
  // The first record with this house code and device code; null when either is empty.
  std::shared_ptr<DSDevice> FindHSDev(const std::string& hc, const std::string& dc);

 private:
  std::shared_ptr<DSDevice> Add(const std::string& key);
};

// One physical 1-Wire device.
struct DSROM {
  std::string ROM;  // the ROM id, 16 hexadecimal digits
  std::shared_ptr<DSDevices> Devices = std::make_shared<DSDevices>();
  int32_t Caps = 0;
  int32_t DS2438Humid = 1;
  std::string Comment;
  int32_t ShowID = 0;
  // The device did not answer the last presence check of the read cycle, since AbsentSince.
  bool Absent = false;
  // Whether the host has been told this run if the device is present: a host device may still be
  // marked stale from an earlier run.
  bool PresenceKnown = false;
  // The device's place along the cable found by the chain scan (1 the first); 0 when unknown.
  int32_t ChainPosition = 0;
  std::chrono::system_clock::time_point AbsentSince{};
};

// The registry of physical devices, in the order they were found.
class DSROMs {
 public:
  std::vector<std::shared_ptr<DSROM>> ROMlist;

  int32_t Count() const { return static_cast<int32_t>(ROMlist.size()); }
  // Removes the physical device of the channel record `aDev` (its first 16 characters).
  void Remove(const DSDevice& aDev);
  // The physical device of a key, created when absent; the channel record of the full key is
  // created too when the device already existed, was asked to show its ROM id, or the key names
  // a channel. Null for an empty key.
  std::shared_ptr<DSROM> Find(const std::string& key);
  // The physical device of a key's first 16 characters, never created.
  std::shared_ptr<DSROM> FindParent(const std::string& key);
  // The key of the first channel whose location, a blank and name equal `LandN`; empty if none.
  std::string FindbyHSLocationAndHSName(const std::string& LandN);
  // The channel record of a key, creating what is missing. Null for an empty key.
  std::shared_ptr<DSDevice> FindDev(const std::string& key);
  // The first channel record bound to this host code.
  std::shared_ptr<DSDevice> FindHSDev(const std::string& hc, const std::string& dc);

 private:
  std::shared_ptr<DSROM> Add(const std::string& key);
  // The first record of a ROM id in ROMlist (null when none), through an index beside the list:
  // a lookup costs the same for a bus of 10 devices as of 500, where a walk of the list made the
  // scan's lookups grow with the square of the device count. The list stays what callers see and
  // change; an index entry is trusted only while the list still holds that ROM id at its
  // position, and the index is rebuilt from the list when it is not or when a ROM id is missing.
  std::shared_ptr<DSROM> Lookup(const std::string& rom);
  std::shared_ptr<DSROM> IndexedAt(const std::string& rom) const;
  std::unordered_map<std::string, size_t> index_;
};

// The process-wide registry, created on first use.
DSROMs& gROMs();
// Empties the registry (a new run; tests).
void ResetRegistry();

}  // namespace qb
