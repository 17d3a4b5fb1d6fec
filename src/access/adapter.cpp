#include "access/adapter.h"

#include "access/crc.h"
#include "access/errors.h"

namespace qb::access {

DSPortAdapter::DSPortAdapter(std::string type, std::string port, std::unique_ptr<BusMaster> master)
    : type_(std::move(type)), port_(std::move(port)), master_(std::move(master)) {}

DSPortAdapter::~DSPortAdapter() {
  try {
    freePort();
  } catch (...) {
  }
}

BusMaster& DSPortAdapter::Master() {
  if (!master_)
    throw AccessError(ErrorCode::NoObject, type_,
                      "the port " + port_ + " of the " + type_ + " adapter was released");
  return *master_;
}

const BusMaster& DSPortAdapter::Master() const {
  if (!master_)
    throw AccessError(ErrorCode::NoObject, type_,
                      "the port " + port_ + " of the " + type_ + " adapter was released");
  return *master_;
}

bool DSPortAdapter::beginExclusive(bool blocking) {
  if (blocking) {
    exclusive_.lock();
  } else if (!exclusive_.try_lock()) {
    return false;
  }
  holder_ = std::this_thread::get_id();
  ++hold_depth_;
  return true;
}

void DSPortAdapter::endExclusive() {
  // Only the holder can end the hold; ending one that is not held does nothing. One call ends
  // the hold whatever its depth, as the plug-in expects after an operation that left it open.
  if (hold_depth_ == 0 || holder_ != std::this_thread::get_id()) return;
  const int depth = hold_depth_;
  hold_depth_ = 0;
  holder_ = {};
  for (int i = 0; i < depth; ++i) exclusive_.unlock();
}

void DSPortAdapter::setSpeed(int speed) {
  if (speed < 0 || speed > 3)
    throw AccessError(ErrorCode::GeneralFailure, type_,
                      "unknown bus speed " + std::to_string(speed));
  const Speed s = static_cast<Speed>(speed);
  BusMaster& m = Master();
  if ((s == Speed::Flex && !m.CanFlex()) || (s == Speed::Overdrive && !m.CanOverdrive()) ||
      (s == Speed::Hyperdrive && !m.CanHyperdrive())) {
    throw AccessError(
        ErrorCode::NotSupported, type_,
        "the " + type_ + " adapter cannot run the bus at speed " + std::to_string(speed));
  }
  m.SetSpeed(s);
}

void DSPortAdapter::targetFamily(int family) {
  target_family_ = static_cast<uint8_t>(family);
  EndSearch();
}

void DSPortAdapter::targetAllFamilies() {
  target_family_.reset();
  EndSearch();
}

int DSPortAdapter::Reset() {
  return static_cast<int>(Master().Reset());
}

void DSPortAdapter::EndSearch() {
  // No search in progress: no device is reported until the next search step finds one.
  address_ = RomId{};
  searching_ = false;
  last_device_ = false;
  last_discrepancy_ = 0;
  last_family_discrepancy_ = 0;
  found_.clear();
}

bool DSPortAdapter::findFirstDevice() {
  EndSearch();
  searching_ = true;
  if (target_family_) {
    // Start the search on the branch of the target family: its code preset, the rest zero.
    address_ = RomId{};
    address_.bytes[0] = *target_family_;
    last_discrepancy_ = 64;
  }
  return findNextDevice();
}

bool DSPortAdapter::findNextDevice() {
  if (!searching_) return findFirstDevice();
  try {
    if (last_device_ || !SearchStep()) {
      EndSearch();
      return false;
    }
  } catch (...) {
    EndSearch();  // the next call starts afresh
    throw;
  }
  if (target_family_ && address_.family() != *target_family_) {
    EndSearch();
    return false;
  }
  if (!found_.insert(address_).second) {
    const std::string rom = address_.ToString();
    EndSearch();
    ThrowBusError(type_, "the device search on " + port_ + " found " + rom +
                             " a second time: the bus answered inconsistently (a device coming "
                             "and going, or noise); search again");
  }
  if (found_.size() > kMaxSearchDevices) {
    EndSearch();
    ThrowBusError(type_, "the device search on " + port_ + " found more than " +
                             std::to_string(kMaxSearchDevices) +
                             " devices, more than a bus can hold: the bus answers inconsistently");
  }
  return true;
}

// One pass of the ROM search (as in application note 187): follows the bits every device agrees
// on and, at discrepancies, the branch that continues the previous pass.
bool DSPortAdapter::SearchStep() {
  BusMaster& m = Master();
  // A search is tried again when a device's answer fails its CRC (noise, or a device arriving).
  for (int attempt = 0; attempt < 3; ++attempt) {
    // The branch to take at each bit where devices disagree: the previous pass's below its last
    // discrepancy, 1 at it, 0 beyond.
    RomId path;
    for (int bit = 1; bit <= 64; ++bit) {
      const size_t byte = static_cast<size_t>((bit - 1) / 8);
      const uint8_t mask = static_cast<uint8_t>(1u << ((bit - 1) % 8));
      const bool one =
          bit < last_discrepancy_ ? (address_.bytes[byte] & mask) != 0 : bit == last_discrepancy_;
      if (one) path.bytes[byte] |= mask;
    }
    const SearchPassResult pass = m.SearchRomPass(alarm_only_ ? kAlarmSearch : kSearchRom, path);
    if (pass.reset == ResetResult::Short)
      ThrowBusError(type_, "the 1-Wire bus on " + port_ + " is shorted");
    if (pass.reset == ResetResult::NoPresence || pass.lost) return false;
    const RomId rom = pass.rom;
    // The last discrepancy where the 0 branch was taken: the next pass takes the 1 branch there.
    int last_zero = 0;
    for (int bit = 64; bit >= 1; --bit) {
      const size_t byte = static_cast<size_t>((bit - 1) / 8);
      const uint8_t mask = static_cast<uint8_t>(1u << ((bit - 1) % 8));
      if ((pass.conflicts >> (bit - 1) & 1) && !(rom.bytes[byte] & mask)) {
        last_zero = bit;
        break;
      }
    }
    if (!rom.CrcValid() || rom.family() == 0) continue;
    address_ = rom;
    last_discrepancy_ = last_zero;
    if (last_discrepancy_ == 0) last_device_ = true;
    return true;
  }
  ThrowBusError(type_, "the device search on " + port_ + " keeps reading ROM ids with a bad CRC");
}

void DSPortAdapter::freePort() {
  if (master_) {
    master_->Close();
    master_.reset();
  }
}

bool DSPortAdapter::select(const RomId& rom) {
  BusMaster& m = Master();
  if (m.GetSpeed() != Speed::Overdrive) {
    // The reset, the command and the ROM id together: one exchange with an adapter that can.
    uint8_t buffer[9] = {kMatchRom};
    for (size_t i = 0; i < 8; ++i) buffer[1 + i] = rom.bytes[i];
    const ResetResult reset = m.ResetAndBlock(buffer, 9);
    if (reset == ResetResult::Short)
      ThrowBusError(type_, "the 1-Wire bus on " + port_ + " is shorted");
    return DeviceAnswered(reset);
  }
  // The overdrive match command goes at standard speed, the ROM id at overdrive speed.
  m.SetSpeed(Speed::Regular);
  const ResetResult reset = m.Reset();
  if (!DeviceAnswered(reset)) {
    m.SetSpeed(Speed::Overdrive);
    if (reset == ResetResult::Short)
      ThrowBusError(type_, "the 1-Wire bus on " + port_ + " is shorted");
    return false;
  }
  m.TouchByte(kOverdriveMatchRom);
  m.SetSpeed(Speed::Overdrive);
  uint8_t buffer[8];
  for (size_t i = 0; i < 8; ++i) buffer[i] = rom.bytes[i];
  m.Block(buffer, 8);
  return true;
}

bool DSPortAdapter::isPresent(const RomId& rom, bool alarm_only) {
  // A search pass that prefers the bits of this ROM id finds it exactly when it answers.
  BusMaster& m = Master();
  const SearchPassResult pass = m.SearchRomPass(alarm_only ? kAlarmSearch : kSearchRom, rom);
  if (pass.reset == ResetResult::Short)
    ThrowBusError(type_, "the 1-Wire bus on " + port_ + " is shorted");
  return DeviceAnswered(pass.reset) && !pass.lost && pass.rom == rom;
}

}  // namespace qb::access
