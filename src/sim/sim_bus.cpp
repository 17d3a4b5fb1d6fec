#include "sim/sim_bus.h"

#include <algorithm>

namespace qb::sim {

class SimBus::Operation {
 public:
  explicit Operation(SimBus& bus) : bus_(bus) {
    if (bus_.operations_++ == 0) {
      bus_.operation_timed_ = false;
      ++bus_.operation_serial_;
    }
  }
  ~Operation() { --bus_.operations_; }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

 private:
  SimBus& bus_;
};

SimBus::SimBus(Clock& clock) : clock_(clock), start_(clock.MonotonicNow()) {}

Clock::Monotonic SimBus::Now() const {
  if (operations_ == 0) return clock_.MonotonicNow();
  if (!operation_timed_) {
    operation_now_ = clock_.MonotonicNow();
    operation_timed_ = true;
  }
  return operation_now_;
}

double SimBus::Seconds() const {
  return std::chrono::duration<double>(Now() - start_).count();
}

SimDevice& SimBus::Add(std::unique_ptr<SimDevice> device) {
  device->AttachTo(this);
  devices_.push_back(std::move(device));
  return *devices_.back();
}

SimDevice* SimBus::Find(const access::RomId& rom) const {
  for (const auto& d : devices_) {
    if (d->rom() == rom) return d.get();
  }
  return nullptr;
}

std::unique_ptr<SimDevice> SimBus::Release(const access::RomId& rom) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if ((*it)->rom() != rom) continue;
    std::unique_ptr<SimDevice> device = std::move(*it);
    devices_.erase(it);
    std::erase(listening_, device.get());
    std::erase_if(rom_bits_, [&](const auto& entry) { return entry.second == device.get(); });
    device->AttachTo(nullptr);
    return device;
  }
  return nullptr;
}

void SimBus::SetShort(std::unique_ptr<ValueSource> shorted) {
  short_ = std::move(shorted);
  short_steady_ = !short_->MovesWithTime();
  short_value_ = short_steady_ && short_->BoolAt(0.0);
}

void SimBus::FollowSettings(SimBus& edited) {
  SetShort(std::move(edited.short_));
  edited.SetShort(Constant(0));
  program_voltage_ = edited.program_voltage_;
}

access::ResetResult SimBus::Reset(bool overdrive) {
  if (before_reset_ && operations_ == 0) before_reset_();
  const Operation operation(*this);
  listening_.clear();
  rom_bits_mode_ = RomBits::None;
  rom_bits_.clear();
  command_bits_ = 8;
  if (Shorted()) return access::ResetResult::Short;
  command_byte_ = 0;
  command_bits_ = 0;
  command_overdrive_ = overdrive;
  bool presence = false;
  for (auto& d : devices_) {
    presence |= d->Reset(overdrive);
    // A device at overdrive speed ignores a standard-speed slot but still listens.
    if (d->Listening()) listening_.push_back(d.get());
  }
  return presence ? access::ResetResult::Presence : access::ResetResult::NoPresence;
}

bool SimBus::Slot(bool master_bit, bool overdrive) {
  const Operation operation(*this);
  if (Shorted()) return false;
  if (command_bits_ < 8 && overdrive == command_overdrive_) {
    // A slot of the ROM command: the devices that answered the reset only listen. (One left
    // from an earlier transaction at the other speed ignores slots at this one.)
    if (master_bit) command_byte_ |= static_cast<uint8_t>(1u << command_bits_);
    if (++command_bits_ == 8) {
      for (SimDevice* d : listening_) d->RomCommandReceived(command_byte_, overdrive);
      std::erase_if(listening_, [](SimDevice* d) { return !d->Listening(); });
      FollowRomBits();
    }
    return master_bit;
  }
  if (rom_bits_mode_ != RomBits::None) {
    if (PresenceSource::Changes() == rom_bits_presence_) return RomBitSlot(master_bit, overdrive);
    LeaveRomBits();  // a presence changed: each device follows the slots itself again
  }
  bool line = master_bit;
  for (SimDevice* d : listening_) line &= d->Drive(overdrive);
  bool dropped = false;
  for (SimDevice* d : listening_) {
    d->Sample(line, overdrive);
    dropped |= !d->Listening();
  }
  if (dropped) std::erase_if(listening_, [](SimDevice* d) { return !d->Listening(); });
  return line;
}

access::TripletResult SimBus::Triplet(bool preferred_direction, bool overdrive) {
  access::TripletResult r;
  if (rom_bits_mode_ != RomBits::Search || rom_bit_phase_ != 0 || command_bits_ < 8 ||
      overdrive != command_overdrive_ || PresenceSource::Changes() != rom_bits_presence_ ||
      Shorted()) {
    r.id_bit = Slot(true, overdrive);
    r.cmp_bit = Slot(true, overdrive);
    r.direction = r.id_bit == r.cmp_bit ? preferred_direction : r.id_bit;
    Slot(r.direction, overdrive);
    return r;
  }
  // The two read slots: the wired-AND of the id bits, then of their complements.
  const Operation operation(*this);
  const uint64_t mask = uint64_t{1} << rom_bit_;
  bool any_zero = false, any_one = false;
  for (const auto& entry : rom_bits_) {
    if (entry.first & mask) {
      any_one = true;
    } else {
      any_zero = true;
    }
    if (any_zero && any_one) break;
  }
  r.id_bit = !any_zero;
  r.cmp_bit = !any_one;
  r.direction = r.id_bit == r.cmp_bit ? preferred_direction : r.id_bit;
  rom_bit_phase_ = 2;
  RomBitSlot(r.direction, overdrive);
  return r;
}

uint8_t SimBus::Byte(uint8_t master_byte, bool overdrive) {
  // Only where every slot would see the same steady line: no short that moves with time, and the
  // ROM command already received.
  if (short_steady_ && !short_value_ && command_bits_ >= 8) {
    if (rom_bits_mode_ == RomBits::Match && rom_bit_ % 8 == 0 && overdrive == command_overdrive_ &&
        PresenceSource::Changes() == rom_bits_presence_) {
      const Operation operation(*this);
      const uint64_t mask = uint64_t{0xFF} << rom_bit_;
      const uint64_t bits = uint64_t{master_byte} << rom_bit_;
      std::erase_if(rom_bits_, [&](const auto& entry) { return (entry.first & mask) != bits; });
      rom_bit_ += 8;
      if (rom_bit_ == 64) EndRomBits();
      return master_byte;
    }
    if (rom_bits_mode_ == RomBits::None && listening_.size() == 1) {
      const Operation operation(*this);
      SimDevice* d = listening_.front();
      if (const auto line = d->FunctionByte(master_byte, overdrive)) {
        if (!d->Listening()) listening_.clear();
        return *line;
      }
    }
  }
  uint8_t line = 0;
  for (int i = 0; i < 8; ++i) {
    if (Slot((master_byte >> i) & 1, overdrive)) line |= static_cast<uint8_t>(1u << i);
  }
  return line;
}

bool SimBus::FollowRomBits() {
  rom_bits_mode_ = RomBits::None;
  rom_bits_.clear();
  if (command_byte_ != 0x55 && command_byte_ != 0xF0 && command_byte_ != 0xEC) return false;
  // Only when every device still listening compares the bits at this speed, and none can leave
  // the bus meanwhile; otherwise each follows the slots itself.
  for (SimDevice* d : listening_) {
    if (!d->FollowsRomBits(command_overdrive_)) return false;
  }
  rom_bits_mode_ = command_byte_ == 0x55 ? RomBits::Match : RomBits::Search;
  rom_bits_.reserve(listening_.size());
  for (SimDevice* d : listening_) rom_bits_.emplace_back(d->RomBits(), d);
  rom_bit_ = 0;
  rom_bit_phase_ = 0;
  rom_bits_presence_ = PresenceSource::Changes();
  return true;
}

bool SimBus::RomBitSlot(bool master_bit, bool overdrive) {
  // The devices of this ROM command ignore slots at the other speed, and drive nothing in them.
  if (overdrive != command_overdrive_) return master_bit;
  const uint64_t mask = uint64_t{1} << rom_bit_;
  bool line = master_bit;
  if (rom_bits_mode_ == RomBits::Search && rom_bit_phase_ < 2) {
    // The id bit, then its complement, wired-AND over the devices still in the search.
    const bool complement = rom_bit_phase_ == 1;
    for (const auto& [bits, d] : rom_bits_) {
      if (((bits & mask) != 0) == complement) {
        line = false;
        break;
      }
    }
    ++rom_bit_phase_;
    return line;
  }
  // Match ROM's bit, or the search direction the master chose: who differs drops out.
  rom_bit_phase_ = 0;
  std::erase_if(rom_bits_, [&](const auto& entry) { return ((entry.first & mask) != 0) != line; });
  if (++rom_bit_ == 64) EndRomBits();
  return line;
}

void SimBus::EndRomBits() {
  for (SimDevice* d : listening_) {
    const bool selected = std::any_of(rom_bits_.begin(), rom_bits_.end(),
                                      [&](const auto& entry) { return entry.second == d; });
    d->RomBitsDone(selected);
  }
  std::erase_if(listening_, [](SimDevice* d) { return !d->Listening(); });
  rom_bits_mode_ = RomBits::None;
  rom_bits_.clear();
}

void SimBus::LeaveRomBits() {
  for (SimDevice* d : listening_) {
    const bool in_running = std::any_of(rom_bits_.begin(), rom_bits_.end(),
                                        [&](const auto& entry) { return entry.second == d; });
    d->ResumeRomBits(in_running, rom_bit_, rom_bit_phase_);
  }
  std::erase_if(listening_, [](SimDevice* d) { return !d->Listening(); });
  rom_bits_mode_ = RomBits::None;
  rom_bits_.clear();
}

void SimBus::DeliverPower(std::chrono::milliseconds duration) {
  // On a real clock the sleep runs a little longer than asked, and the pull-up began a moment
  // before the sleep: the devices are told the time it really lasted, rounded up to the next
  // millisecond so that it covers an operation that started with it.
  const auto start = clock_.MonotonicNow();
  clock_.Sleep(duration);
  const auto elapsed = std::chrono::ceil<std::chrono::milliseconds>(clock_.MonotonicNow() - start);
  for (auto& d : devices_) d->Powered(std::max(duration, elapsed));
}

void SimBus::PowerDelivered(std::chrono::milliseconds duration) {
  for (auto& d : devices_) d->Powered(duration);
}

void SimBus::ProgramPulse() {
  const Operation operation(*this);
  if (Shorted()) return;
  for (auto& d : devices_) d->ProgramPulseApplied();
}

SimBusMaster::SimBusMaster(std::shared_ptr<SimBus> bus, std::string description)
    : bus_(std::move(bus)), description_(std::move(description)) {}

access::ResetResult SimBusMaster::Reset() {
  CountReset();
  return bus_->Reset(SpeedClass() == 1);
}

bool SimBusMaster::TouchBit(bool bit) {
  CountSlots(1);
  return bus_->Slot(bit, SpeedClass() == 1);
}

uint8_t SimBusMaster::TouchByte(uint8_t byte) {
  CountSlots(8);
  return bus_->Byte(byte, SpeedClass() == 1);
}

access::TripletResult SimBusMaster::SearchTriplet(bool preferred_direction) {
  CountSlots(3);
  return bus_->Triplet(preferred_direction, SpeedClass() == 1);
}

uint8_t SimBusMaster::TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) {
  const uint8_t result = TouchByte(byte);
  CountPower(duration);
  bus_->DeliverPower(duration);
  return result;
}

void SimBusMaster::ProgramPulse() {
  if (!CanProgram()) access::BusMaster::ProgramPulse();  // refuses: no program voltage
  ++stats_.program_pulses;
  bus_->ProgramPulse();
}

void SimBusMaster::Wait(std::chrono::milliseconds duration) {
  bus_->clock().Sleep(duration);
}

}  // namespace qb::sim
