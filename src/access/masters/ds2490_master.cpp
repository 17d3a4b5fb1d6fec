#include "access/masters/ds2490_master.h"

#include <algorithm>

#include "access/errors.h"
#include "access/masters/master_hooks.h"

namespace qb::access {

namespace ds2490 {

std::optional<State> ParseState(const uint8_t* data, size_t length) {
  if (data == nullptr || length < kStatePacketSize) return std::nullopt;
  State s;
  s.enable_flags = data[0];
  s.speed = data[1];
  s.pullup_duration = data[2];
  s.status = data[8];
  s.commands_queued = data[11];
  s.data_out = data[12];
  s.data_in = data[13];
  const size_t results = std::min(length - kStatePacketSize, kMaxResults);
  s.results.assign(data + kStatePacketSize, data + kStatePacketSize + results);
  return s;
}

ResetResult ResetFromResults(const std::vector<uint8_t>& results) {
  bool alarm = false;
  for (const uint8_t r : results) {
    if (r == kResultDetect) continue;
    if (r & kResultShort) return ResetResult::Short;
    if (r & kResultNoPresence) return ResetResult::NoPresence;
    if (r & kResultAlarmPresence) alarm = true;
  }
  return alarm ? ResetResult::Alarm : ResetResult::Presence;
}

uint16_t PullupDurationCode(std::chrono::milliseconds duration) {
  const auto ms = std::max<int64_t>(duration.count(), 1);
  return static_cast<uint16_t>(std::min<int64_t>((ms + 15) / 16, 255));
}

std::optional<uint16_t> SpeedCode(Speed speed) {
  switch (speed) {
    case Speed::Regular:
      return kSpeedRegular;
    case Speed::Flex:
      return kSpeedFlexible;
    case Speed::Overdrive:
      return kSpeedOverdrive;
    default:
      return std::nullopt;
  }
}

uint64_t ConflictsFromNextPath(const RomId& rom, const std::optional<RomId>& next) {
  if (!next) return 0;
  for (int bit = 63; bit >= 0; --bit) {
    const size_t byte = static_cast<size_t>(bit / 8);
    const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
    if ((next->bytes[byte] & mask) && !(rom.bytes[byte] & mask)) return uint64_t{1} << bit;
  }
  return 0;
}

}  // namespace ds2490

using namespace ds2490;

DS2490Master::DS2490Master(std::unique_ptr<UsbLink> link)
    : DS2490Master(std::move(link), Options{}) {}

DS2490Master::DS2490Master(std::unique_ptr<UsbLink> link, Options options)
    : link_(std::move(link)), options_(std::move(options)) {
  if (link_) device_ = link_->Describe();
}

UsbLink& DS2490Master::Link() {
  if (!link_) Fail("the " + options_.type + " adapter " + device_ + " was closed");
  return *link_;
}

void DS2490Master::Fail(const std::string& message) const {
  ThrowBusError(options_.type, message);
}

void DS2490Master::Open() {
  UsbLink& link = Link();
  link.Control(kControlCmd, kCtlResetDevice, 0);
  // Strong pull-up and speed changes allowed; no program pulse (the adapter has no 12 V).
  Mode(kModPulseEnable, kPulseStrongPullup);
  Mode(kModSpeedChangeEnable, 1);
  chip_speed_ = 0xFFFF;
  pullup_code_ = 0xFFFF;
  ApplySpeed();
  AwaitIdle("the set-up");
}

void DS2490Master::Mode(uint16_t mode, uint16_t value) {
  Link().Control(kModeCmd, mode, value);
}

void DS2490Master::Command(uint16_t command, uint16_t parameter) {
  Link().Control(kCommCmd, static_cast<uint16_t>(command | kFlagImmediate), parameter);
}

void DS2490Master::ApplySpeed() {
  const auto code = SpeedCode(speed_);
  if (!code) Fail("the " + options_.type + " adapter has no hyperdrive speed");
  if (*code == chip_speed_) return;
  Mode(kModSpeed, *code);
  chip_speed_ = *code;
}

void DS2490Master::SetSpeed(Speed speed) {
  if (!SpeedCode(speed)) ThrowNotSupported(options_.type, "Hyperdrive speed");
  BusMaster::SetSpeed(speed);
}

std::vector<uint8_t> DS2490Master::AwaitIdle(const char* what) {
  UsbLink& link = Link();
  std::vector<uint8_t> results;
  const auto deadline = std::chrono::steady_clock::now() + options_.reply_timeout;
  uint8_t packet[kStatePacketSize + kMaxResults];
  // The chip sends its state once per USB frame: the reads pace themselves.
  for (;;) {
    const size_t got = link.InterruptRead(packet, sizeof packet, options_.reply_timeout);
    const auto state = ParseState(packet, got);
    if (state) {
      results.insert(results.end(), state->results.begin(), state->results.end());
      last_data_in_ = state->data_in;
      if (state->Idle() && !state->PullupActive()) return results;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      Interrupted(std::string("the ") + options_.type + " adapter " + device_ + " did not finish " +
                  what);
    }
  }
}

void DS2490Master::ReadData(uint8_t* data, size_t length, const char* what) {
  size_t at = 0;
  while (at < length) {
    const size_t got = Link().BulkRead(data + at, length - at, options_.reply_timeout);
    if (got == 0) {
      Interrupted("the " + options_.type + " adapter " + device_ + " returned " +
                  std::to_string(at) + " of " + std::to_string(length) + " bytes of " + what);
    }
    at += got;
  }
}

void DS2490Master::Interrupted(const std::string& what) {
  // Whatever the chip still holds belongs to the cut-off operation.
  try {
    UsbLink& link = Link();
    link.Control(kControlCmd, kCtlHaltExeIdle, 0);
    link.Control(kControlCmd, kCtlFlushCommCmds, 0);
    link.Control(kControlCmd, kCtlFlushRcvBuffer, 0);
    link.Control(kControlCmd, kCtlFlushXmtBuffer, 0);
    link.Control(kControlCmd, kCtlResumeExe, 0);
  } catch (const AccessError&) {
    // The device is gone; the caller's next call says so.
  }
  throw TransactionInterrupted(options_.type, what);
}

ResetResult DS2490Master::Reset() {
  ApplySpeed();
  Command(kCommReset | kFlagF, chip_speed_);
  const ResetResult result = ResetFromResults(AwaitIdle("a reset"));
  CountReset();
  return result;
}

bool DS2490Master::TouchBit(bool bit) {
  ApplySpeed();
  Command(kCommBitIo | (bit ? kFlagD : 0), 0);
  AwaitIdle("a time slot");
  uint8_t read = 0;
  ReadData(&read, 1, "a time slot");
  CountSlots(1);
  return (read & 1) != 0;
}

uint8_t DS2490Master::TouchByte(uint8_t byte) {
  ApplySpeed();
  Command(kCommByteIo, byte);
  AwaitIdle("a byte");
  uint8_t read = 0;
  ReadData(&read, 1, "a byte");
  CountSlots(8);
  return read;
}

void DS2490Master::Block(uint8_t* data, size_t length) {
  ApplySpeed();
  for (size_t at = 0; at < length; at += kBlockChunk) {
    const size_t n = std::min(kBlockChunk, length - at);
    Link().BulkWrite(data + at, n);
    Command(kCommBlockIo, static_cast<uint16_t>(n));
    AwaitIdle("a block");
    ReadData(data + at, n, "a block");
    CountSlots(8 * n);
  }
}

ResetResult DS2490Master::ResetAndBlock(uint8_t* data, size_t length) {
  if (length == 0 || length > kBlockChunk) return BusMaster::ResetAndBlock(data, length);
  ApplySpeed();
  Link().BulkWrite(data, length);
  Command(kCommBlockIo | kFlagReset | kFlagF, static_cast<uint16_t>(length));
  const ResetResult result = ResetFromResults(AwaitIdle("a reset and block"));
  CountReset();
  if (result == ResetResult::NoPresence || result == ResetResult::Short) {
    // The chip dropped the block after the failed reset.
    Link().Control(kControlCmd, kCtlFlushRcvBuffer, 0);
    return result;
  }
  ReadData(data, length, "a block");
  CountSlots(8 * length);
  return result;
}

SearchPassResult DS2490Master::SearchRomPass(uint8_t command, const RomId& path) {
  ApplySpeed();
  SearchPassResult r;
  Link().BulkWrite(path.bytes.data(), 8);
  // One device per pass, its reset first, and the path of the next pass when devices remain.
  Command(kCommSearchAccess | kFlagReset | kFlagD | kFlagF | kFlagRts,
          static_cast<uint16_t>((1u << 8) | command));
  const std::vector<uint8_t> results = AwaitIdle("a search");
  CountReset();
  r.reset = ResetFromResults(results);
  if (r.reset == ResetResult::Alarm) r.reset = ResetResult::Presence;
  if (r.reset != ResetResult::Presence) {
    Link().Control(kControlCmd, kCtlFlushRcvBuffer, 0);
    return r;
  }
  const size_t available = last_data_in_;
  if (available < 8) {
    if (available > 0) Link().Control(kControlCmd, kCtlFlushRcvBuffer, 0);
    r.lost = true;  // no device answered the search
    return r;
  }
  uint8_t ids[16];
  const size_t want = available >= 16 ? 16 : 8;
  ReadData(ids, want, "a search");
  std::copy(ids, ids + 8, r.rom.bytes.begin());
  std::optional<RomId> next;
  if (want == 16) {
    next.emplace();
    std::copy(ids + 8, ids + 16, next->bytes.begin());
  }
  r.conflicts = ConflictsFromNextPath(r.rom, next);
  CountSlots(8 + 64 * 3);
  return r;
}

uint8_t DS2490Master::TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) {
  ApplySpeed();
  const uint16_t code = PullupDurationCode(duration);
  if (code != pullup_code_) {
    Mode(kModPullupDuration, code);
    pullup_code_ = code;
  }
  Command(kCommByteIo | kFlagSpu, byte);
  // The chip holds the pull-up for the coded time after the byte; the master waits that long
  // before asking (a state read per USB frame for the whole conversion would be wasted).
  Wait(std::chrono::milliseconds(code * 16));
  AwaitIdle("a byte with strong pull-up");
  uint8_t read = 0;
  ReadData(&read, 1, "a byte");
  CountSlots(8);
  CountPower(std::chrono::milliseconds(code * 16));
  return read;
}

void DS2490Master::Wait(std::chrono::milliseconds duration) {
  WaitThrough(options_.wait, duration);
}

void DS2490Master::Close() {
  link_.reset();
}

std::string DS2490Master::Describe() const {
  return options_.type + " on " + device_;
}

}  // namespace qb::access
