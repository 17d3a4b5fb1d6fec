#include "sim/emulations/ds2490_emulator.h"

#include <algorithm>

#include "access/masters/ds2490_master.h"
#include "sim/generic_model.h"

namespace qb::sim {

using namespace access::ds2490;

namespace {

// Enable flags in byte 0 of the state packet.
constexpr uint8_t kEnablePullup = 0x01;
constexpr uint8_t kEnableProgram = 0x02;
constexpr uint8_t kEnableSpeedChange = 0x04;
// The IN buffer holds 128 bytes: 16 ROM ids, or 15 and the next search path.
constexpr size_t kInBuffer = 128;

// The function code of a communication command, without its parameter flags.
constexpr uint16_t Function(uint16_t command) {
  return command & kCommFunctionMask;
}

bool Bit(const access::RomId& rom, int bit) {
  return (rom.bytes[static_cast<size_t>(bit / 8)] >> (bit % 8)) & 1;
}

void SetBit(access::RomId& rom, int bit, bool value) {
  const auto mask = static_cast<uint8_t>(1u << (bit % 8));
  auto& b = rom.bytes[static_cast<size_t>(bit / 8)];
  b = value ? static_cast<uint8_t>(b | mask) : static_cast<uint8_t>(b & ~mask);
}

}  // namespace

DS2490Emulator::DS2490Emulator(std::shared_ptr<SimBus> bus)
    : bus_(std::move(bus)), id_chip_(access::RomId::Make(kIdChipFamily, kIdChipSerial)) {
  if (!bus_->Find(id_chip_)) bus_->Add(std::make_unique<GenericModel>(id_chip_));
  PowerUp();
}

void DS2490Emulator::PowerUp() {
  speed_ = 0;
  pullup_enabled_ = program_enabled_ = speed_change_enabled_ = false;
  pullup_code_ = 512 / 16;
  halted_ = false;
  out_.clear();
  in_.clear();
  results_.clear();
  if (pullup_) SettlePullup(false);
  pullup_.reset();
}

bool DS2490Emulator::Control(uint8_t request, uint16_t value, uint16_t index) {
  switch (request) {
    case kControlCmd:
      switch (value) {
        case kCtlResetDevice:
          PowerUp();
          return true;
        case kCtlStartExe:
        case kCtlResumeExe:
          halted_ = false;
          return true;
        case kCtlHaltExeIdle:
        case 0x0004:  // halt when done
          halted_ = true;
          if (pullup_) SettlePullup(false);
          pullup_.reset();  // a halt ends a strong pull-up
          return true;
        case kCtlFlushCommCmds:
          return true;
        case kCtlFlushRcvBuffer:
          in_.clear();
          return true;
        case kCtlFlushXmtBuffer:
          out_.clear();
          return true;
        default:
          return false;
      }
    case kModeCmd:
      switch (value) {
        case kModPulseEnable:
          program_enabled_ = (index & kPulseProgram) != 0;
          pullup_enabled_ = (index & kPulseStrongPullup) != 0;
          return true;
        case kModSpeedChangeEnable:
          speed_change_enabled_ = (index & 1) != 0;
          return true;
        case kModSpeed:
          if (index > 2) return false;
          speed_ = index;
          return true;
        case kModPullupDuration:
          pullup_code_ = static_cast<uint8_t>(index);
          return true;
        case kModSlewRate:
          timings_[0] = static_cast<uint8_t>(index);
          return true;
        case kModWrite1LowTime:
          timings_[1] = static_cast<uint8_t>(index);
          return true;
        case kModSampleOffset:
          timings_[2] = static_cast<uint8_t>(index);
          return true;
        case kModProgPulseDuration:
          return true;
        default:
          return false;
      }
    case kCommCmd:
      return Communication(value, index);
    default:
      return false;
  }
}

void DS2490Emulator::BulkOut(const uint8_t* data, size_t length) {
  out_.insert(out_.end(), data, data + length);
}

std::vector<uint8_t> DS2490Emulator::BulkIn(size_t max) {
  const size_t n = std::min(max, in_.size());
  std::vector<uint8_t> data(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
  return data;
}

std::vector<uint8_t> DS2490Emulator::StatePacket() {
  if (pullup_) SettlePullup(false);
  std::vector<uint8_t> p(kStatePacketSize, 0);
  p[0] = static_cast<uint8_t>((pullup_enabled_ ? kEnablePullup : 0) |
                              (program_enabled_ ? kEnableProgram : 0) |
                              (speed_change_enabled_ ? kEnableSpeedChange : 0));
  p[1] = static_cast<uint8_t>(speed_);
  p[2] = pullup_code_;
  p[3] = 0;
  p[4] = timings_[0];
  p[5] = timings_[1];
  p[6] = timings_[2];
  p[8] = static_cast<uint8_t>((pullup_ ? kStatusPullupActive : kStatusIdle) |
                              (halted_ ? kStatusHalted : 0));
  p[9] = static_cast<uint8_t>(last_command_ & 0xFF);
  p[10] = static_cast<uint8_t>(last_command_ >> 8);
  p[12] = static_cast<uint8_t>(std::min<size_t>(out_.size(), 255));
  p[13] = static_cast<uint8_t>(std::min<size_t>(in_.size(), 255));
  const size_t n = std::min(results_.size(), kMaxResults);
  for (size_t i = 0; i < n; ++i) p.push_back(results_[i]);
  results_.erase(results_.begin(), results_.begin() + static_cast<std::ptrdiff_t>(n));
  return p;
}

bool DS2490Emulator::BusReset(uint16_t flags) {
  const access::ResetResult r = bus_->Reset(Overdrive());
  uint8_t bits = 0;
  if (r == access::ResetResult::NoPresence) bits = kResultNoPresence;
  if (r == access::ResetResult::Short) bits = kResultShort | kResultNoPresence;
  if (r == access::ResetResult::Alarm) bits = kResultAlarmPresence;
  if (bits != 0 || (flags & kFlagNotify)) Result(bits);
  return r == access::ResetResult::Presence || r == access::ResetResult::Alarm;
}

uint8_t DS2490Emulator::TouchByte(uint8_t byte) {
  uint8_t read = 0;
  for (int i = 0; i < 8; ++i) {
    if (bus_->Slot((byte >> i) & 1, Overdrive())) read |= static_cast<uint8_t>(1u << i);
  }
  return read;
}

bool DS2490Emulator::Communication(uint16_t value, uint16_t index) {
  // A command waits for a strong pull-up still on the bus.
  if (pullup_) SettlePullup(true);
  ++comm_commands_;
  last_command_ = value;
  switch (value & kCommFunctionMask) {
    case Function(kCommReset): {
      if ((value & kFlagD) && speed_change_enabled_ && index <= 2) speed_ = index;
      BusReset(value);
      return true;
    }
    case Function(kCommBitIo): {
      const bool read = bus_->Slot((value & kFlagD) != 0, Overdrive());
      in_.push_back(read ? 1 : 0);
      if (value & kFlagSpu) StartPullup();
      return true;
    }
    case Function(kCommByteIo):
      in_.push_back(TouchByte(static_cast<uint8_t>(index & 0xFF)));
      if (value & kFlagSpu) StartPullup();
      return true;
    case Function(kCommBlockIo): {
      const size_t n = std::min<size_t>(index, out_.size());
      if ((value & kFlagReset) && !BusReset(value) && (value & kFlagF)) {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
        return true;
      }
      for (size_t i = 0; i < n; ++i) {
        in_.push_back(TouchByte(out_.front()));
        out_.pop_front();
      }
      if (value & kFlagSpu) StartPullup();
      return true;
    }
    case Function(kCommSetDuration):
      // TYPE (the D flag) picks the program pulse; otherwise the strong pull-up.
      if (!(value & kFlagD)) pullup_code_ = static_cast<uint8_t>(index & 0xFF);
      return true;
    case Function(kCommMatchAccess): {
      // A reset, the match command in wIndex and the ROM id from the OUT buffer.
      const bool present = !(value & kFlagReset) || BusReset(value);
      const size_t n = std::min<size_t>(8, out_.size());
      std::vector<uint8_t> rom(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
      out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
      if (!present) return true;
      TouchByte(static_cast<uint8_t>(index & 0xFF));
      for (uint8_t b : rom) TouchByte(b);
      return true;
    }
    case Function(kCommSearchAccess):
      Search(value, index);
      return true;
    case Function(kCommPulse):
      if (program_enabled_) {
        Result(kResultNo12V);  // the adapter has no program voltage
      } else {
        StartPullup();
      }
      return true;
    default:
      return false;
  }
}

void DS2490Emulator::Search(uint16_t flags, uint16_t index) {
  const auto command = static_cast<uint8_t>(index & 0xFF);
  const bool return_path = (flags & kFlagRts) != 0;
  size_t limit = index >> 8;
  const size_t room = return_path ? kInBuffer / 8 - 1 : kInBuffer / 8;
  if (limit == 0 || limit > room) limit = room;
  access::RomId path;
  for (size_t i = 0; i < 8 && !out_.empty(); ++i) {
    path.bytes[i] = out_.front();
    out_.pop_front();
  }
  for (size_t found = 0;;) {
    if (!BusReset(flags)) return;
    TouchByte(command);
    access::RomId rom;
    int last_zero = -1;  // the highest conflict where the 0 branch was taken
    for (int bit = 0; bit < 64; ++bit) {
      const bool id = bus_->Slot(true, Overdrive());
      const bool cmp = bus_->Slot(true, Overdrive());
      if (id && cmp) {  // nobody answered
        Result(kResultEndOfSearch);
        return;
      }
      bool direction = id;
      if (!id && !cmp) {
        direction = Bit(path, bit);
        if (!direction) last_zero = bit;
      }
      bus_->Slot(direction, Overdrive());
      SetBit(rom, bit, direction);
    }
    in_.insert(in_.end(), rom.bytes.begin(), rom.bytes.end());
    ++found;
    if (last_zero < 0) return;  // every branch taken: the search is complete
    // The next pass: this one's branches below the last zero conflict, 1 there, 0 beyond.
    path = rom;
    SetBit(path, last_zero, true);
    for (int bit = last_zero + 1; bit < 64; ++bit) SetBit(path, bit, false);
    if (found == limit) {
      if (return_path) in_.insert(in_.end(), path.bytes.begin(), path.bytes.end());
      return;
    }
  }
}

void DS2490Emulator::StartPullup() {
  if (!pullup_enabled_) return;
  const auto duration = pullup_code_ == 0 ? std::chrono::milliseconds(24 * 3600 * 1000)
                                          : std::chrono::milliseconds(pullup_code_ * 16);
  pullup_ = Pullup{bus_->clock().MonotonicNow() + duration, duration};
}

void DS2490Emulator::SettlePullup(bool wait) {
  const auto now = bus_->clock().MonotonicNow();
  const auto start = pullup_->ends - pullup_->duration;
  if (now < pullup_->ends) {
    if (!wait) {
      if (!halted_) return;
      // Ended by a halt: the devices had what has passed so far.
      const auto lasted = std::chrono::floor<std::chrono::milliseconds>(now - start);
      bus_->PowerDelivered(lasted);
      power_delivered_ += lasted;
      return;
    }
    bus_->clock().Sleep(std::chrono::ceil<std::chrono::milliseconds>(pullup_->ends - now));
  }
  // The devices learn of the pull-up now, which may be well after it ended (the host asks for the
  // state when it likes): they are told it lasted from its start until now, so that each sees it
  // begin when it really began (a conversion started with it counts as powered).
  const auto lasted =
      std::max(pullup_->duration,
               std::chrono::ceil<std::chrono::milliseconds>(bus_->clock().MonotonicNow() - start));
  bus_->PowerDelivered(lasted);
  power_delivered_ += pullup_->duration;
  pullup_.reset();
}

}  // namespace qb::sim
