#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "access/bus_master.h"
#include "access/rom.h"
#include "platform/clock.h"
#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// A simulated 1-Wire bus: a wired-AND line shared by its devices, on simulated time.
class SimBus {
 public:
  explicit SimBus(Clock& clock);
  SimBus(const SimBus&) = delete;
  SimBus& operator=(const SimBus&) = delete;

  SimDevice& Add(std::unique_ptr<SimDevice> device);
  const std::vector<std::unique_ptr<SimDevice>>& devices() const { return devices_; }
  SimDevice* Find(const access::RomId& rom) const;
  // Takes a device off the bus (null when it is not on it).
  std::unique_ptr<SimDevice> Release(const access::RomId& rom);
  // Takes the bus-wide settings (short schedule, program voltage) of `edited`.
  void FollowSettings(SimBus& edited);
  // Runs before every reset, outside any bus operation: the place where the bus may change
  // (a followed bus file adds, removes and edits devices there, never inside a transaction).
  void SetBeforeReset(std::function<void()> hook) { before_reset_ = std::move(hook); }
  template <typename Model>
  Model* FindAs(const access::RomId& rom) const {
    return dynamic_cast<Model*>(Find(rom));
  }

  // Whether the bus is shorted, over time (1 shorted).
  void SetShort(std::unique_ptr<ValueSource> shorted);

  access::ResetResult Reset(bool overdrive);
  // One time slot: returns the line as the master samples it.
  bool Slot(bool master_bit, bool overdrive);
  // One search step: two read slots and the direction written, as three Slot calls would; while
  // the bus follows a search for its devices the step costs one look at each id still in the
  // running instead of three slots.
  access::TripletResult Triplet(bool preferred_direction, bool overdrive);
  // Eight time slots, least significant bit first: the byte on the line. The ROM id bits of a
  // Match ROM the bus follows, and a byte one selected device sends or receives, take one step
  // here instead of eight slots; anything else goes slot by slot.
  uint8_t Byte(uint8_t master_byte, bool overdrive);
  // Strong pull-up for `duration`: simulated time passes and every device is powered.
  void DeliverPower(std::chrono::milliseconds duration);
  // A strong pull-up that an adapter timed itself and that has already lasted `duration`: every
  // device is told, and no time passes here.
  void PowerDelivered(std::chrono::milliseconds duration);
  // A 12 V program pulse (480 us): every device sees it.
  void ProgramPulse();
  // Whether the master of this bus has a program voltage (bus file "program_voltage", default
  // true): without it the master refuses to program EPROM.
  bool HasProgramVoltage() const { return program_voltage_; }
  void SetProgramVoltage(bool on) { program_voltage_ = on; }

  Clock& clock() const { return clock_; }
  // Simulated time now. Within a reset or time slot the clock is read once, when first needed,
  // and everything the devices do in it sees that time: a slot lasts microseconds, and reading
  // the clock per device and slot cost more than the rest of the simulation.
  Clock::Monotonic Now() const;
  // Seconds of simulated time since the bus was made.
  double Seconds() const;
  // Counts the resets and time slots: a device that found itself present in this one need not
  // ask again.
  uint64_t OperationSerial() const { return operation_serial_; }
  // The value of `source` now, as a boolean; the clock is not read for a constant.
  bool BoolNow(ValueSource& source) const {
    return source.BoolAt(source.MovesWithTime() ? Seconds() : 0.0);
  }

 private:
  // Holds the time of one bus operation while it runs.
  class Operation;
  // The ROM bits after Match ROM or a search command, followed here for every device at once.
  bool FollowRomBits();
  bool RomBitSlot(bool master_bit, bool overdrive);
  // Whether the line is shorted now (a constant short is known without a call).
  bool Shorted() const { return short_steady_ ? short_value_ : BoolNow(*short_); }
  void EndRomBits();
  void LeaveRomBits();

  Clock& clock_;
  Clock::Monotonic start_;
  mutable Clock::Monotonic operation_now_{};
  mutable bool operation_timed_ = false;
  int operations_ = 0;
  uint64_t operation_serial_ = 0;
  std::vector<std::unique_ptr<SimDevice>> devices_;
  // The devices that took part since the last reset (a device that dropped out stays out until
  // the next reset): the only ones a time slot needs to visit.
  std::vector<SimDevice*> listening_;
  // The ROM command after a reset, assembled once for every device that answered it: the bits
  // so far (8 when the command is complete) and the speed of the reset.
  uint8_t command_byte_ = 0;
  int command_bits_ = 8;
  bool command_overdrive_ = false;
  // While the devices that answered compare the ROM bits of Match ROM or a search, the bus
  // follows the bits for them: a slot then costs a few bit operations, not a visit of every
  // device (a search pass of a bus of n devices visited about 6n of them). `rom_bits_` holds the
  // ROM ids still in the running, by their bits.
  enum class RomBits { None, Match, Search };
  RomBits rom_bits_mode_ = RomBits::None;
  std::vector<std::pair<uint64_t, SimDevice*>> rom_bits_;
  int rom_bit_ = 0;
  int rom_bit_phase_ = 0;
  uint64_t rom_bits_presence_ = 0;  // PresenceSource::Changes() when the following began
  std::unique_ptr<ValueSource> short_ = Constant(0);
  bool short_steady_ = true;
  bool short_value_ = false;
  bool program_voltage_ = true;
  std::function<void()> before_reset_;
};

// The bus master of a simulated bus: every bit goes through the bus's devices.
class SimBusMaster : public access::BusMaster {
 public:
  SimBusMaster(std::shared_ptr<SimBus> bus, std::string description);

  access::ResetResult Reset() override;
  bool TouchBit(bool bit) override;
  uint8_t TouchByte(uint8_t byte) override;
  access::TripletResult SearchTriplet(bool preferred_direction) override;
  uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) override;
  void Wait(std::chrono::milliseconds duration) override;
  bool CanFlex() const override { return true; }
  bool CanOverdrive() const override { return true; }
  bool CanProgram() const override { return bus_->HasProgramVoltage(); }
  void ProgramPulse() override;
  std::string Describe() const override { return description_; }

  SimBus& bus() { return *bus_; }

 private:
  std::shared_ptr<SimBus> bus_;
  std::string description_;
};

}  // namespace qb::sim
