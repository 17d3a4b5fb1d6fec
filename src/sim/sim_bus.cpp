#include "sim/sim_bus.h"

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
    device->AttachTo(nullptr);
    return device;
  }
  return nullptr;
}

void SimBus::FollowSettings(SimBus& edited) {
  short_ = std::move(edited.short_);
  edited.short_ = Constant(0);
  program_voltage_ = edited.program_voltage_;
}

access::ResetResult SimBus::Reset(bool overdrive) {
  if (before_reset_ && operations_ == 0) before_reset_();
  const Operation operation(*this);
  listening_.clear();
  command_bits_ = 8;
  if (BoolNow(*short_)) return access::ResetResult::Short;
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
  if (BoolNow(*short_)) return false;
  if (command_bits_ < 8 && overdrive == command_overdrive_) {
    // A slot of the ROM command: the devices that answered the reset only listen. (One left
    // from an earlier transaction at the other speed ignores slots at this one.)
    if (master_bit) command_byte_ |= static_cast<uint8_t>(1u << command_bits_);
    if (++command_bits_ == 8) {
      for (SimDevice* d : listening_) d->RomCommandReceived(command_byte_, overdrive);
      std::erase_if(listening_, [](SimDevice* d) { return !d->Listening(); });
    }
    return master_bit;
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
  if (BoolNow(*short_)) return;
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
