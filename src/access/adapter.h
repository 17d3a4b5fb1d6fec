#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "access/bus_master.h"
#include "access/rom.h"

namespace qb::access {

// ROM command bytes.
inline constexpr uint8_t kReadRom = 0x33;
inline constexpr uint8_t kMatchRom = 0x55;
inline constexpr uint8_t kSkipRom = 0xCC;
inline constexpr uint8_t kSearchRom = 0xF0;
inline constexpr uint8_t kAlarmSearch = 0xEC;
inline constexpr uint8_t kOverdriveSkipRom = 0x3C;
inline constexpr uint8_t kOverdriveMatchRom = 0x69;

// One 1-Wire adapter: a bus master with the device search, the exclusive hold and device
// selection on top. Errors are AccessError.
class DSPortAdapter {
 public:
  DSPortAdapter(std::string type, std::string port, std::unique_ptr<BusMaster> master);
  ~DSPortAdapter();
  DSPortAdapter(const DSPortAdapter&) = delete;
  DSPortAdapter& operator=(const DSPortAdapter&) = delete;

  const std::string& getAdapterName() const { return type_; }
  const std::string& getPortName() const { return port_; }

  // The exclusive hold: true once this thread holds the bus. With `blocking` false it returns
  // false at once when another thread holds it. A thread that holds it may begin again.
  bool beginExclusive(bool blocking);
  void endExclusive();

  int getSpeed() const { return static_cast<int>(Master().GetSpeed()); }
  void setSpeed(int speed);
  bool canFlex() const { return Master().CanFlex(); }
  bool canOverdrive() const { return Master().CanOverdrive(); }
  bool canHyperdrive() const { return Master().CanHyperdrive(); }

  // Limits the search to one family, or lifts the limit.
  void targetFamily(int family);
  void targetAllFamilies();
  void setSearchAllDevices() { alarm_only_ = false; }
  void setSearchOnlyAlarmingDevices() { alarm_only_ = true; }
  // Resets the bus: 0 no device, 1 presence, 3 short.
  int Reset();

  // Starts a new search; true when a device was found.
  bool findFirstDevice();
  // Goes on with the search; starts a new one when none is in progress. False when no further
  // device was found (the search then ends). A search that finds a device it already found, or
  // more devices than kMaxSearchDevices, ends with a GeneralFailure: each pass of a search on a
  // bus that answers consistently finds a new device, so either means the bus (a device coming
  // and going, noise) led it round in a circle, which would otherwise never end.
  bool findNextDevice();
  // More devices than any one 1-Wire bus can drive (a few hundred at most).
  static constexpr size_t kMaxSearchDevices = 10000;
  // The device the search found last; all zeros before any search step and after a search
  // ended or was reset (by a change of target or search kind).
  std::string getAddressAsString() const { return address_.ToString(); }
  const RomId& getAddress() const { return address_; }

  // Releases the port. Any later bus call fails.
  void freePort();

  // Resets the bus and addresses one device (Match ROM; at overdrive speed Overdrive Match).
  // False when no device answered the reset.
  bool select(const RomId& rom);
  // True when the device answers a search for its own ROM id; `alarm_only` asks whether it is
  // in alarm.
  bool isPresent(const RomId& rom, bool alarm_only = false);

  BusMaster& Master();
  const BusMaster& Master() const;

 private:
  bool SearchStep();
  void EndSearch();

  std::string type_;
  std::string port_;
  std::unique_ptr<BusMaster> master_;

  std::recursive_mutex exclusive_;
  std::thread::id holder_;
  int hold_depth_ = 0;

  // Search state.
  RomId address_;
  bool alarm_only_ = false;
  std::optional<uint8_t> target_family_;
  bool searching_ = false;
  bool last_device_ = false;
  int last_discrepancy_ = 0;
  int last_family_discrepancy_ = 0;
  std::set<RomId> found_;  // by the search in progress
};

}  // namespace qb::access
