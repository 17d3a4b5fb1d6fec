#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "access/rom.h"
#include "platform/clock.h"
#include "sim/value_source.h"

namespace qb::sim {

class SimBus;

// Whether a device is on the bus, over time (1 present, 0 absent). The simulator asks it for
// every device in every reset and time slot, so a constant answer is kept beside the source and
// read without a call; a source that moves with time, or one reached through `->` or `*` (which
// may change it), is asked each time.
class PresenceSource {
 public:
  PresenceSource() : PresenceSource(Constant(1)) {}
  PresenceSource(std::unique_ptr<ValueSource> source) { Take(std::move(source)); }  // NOLINT
  PresenceSource& operator=(std::unique_ptr<ValueSource> source) {
    Take(std::move(source));
    return *this;
  }
  PresenceSource(PresenceSource&&) = default;
  PresenceSource& operator=(PresenceSource&&) = default;

  ValueSource* operator->() {
    Touched();
    return source_.get();
  }
  ValueSource& operator*() {
    Touched();
    return *source_;
  }
  // Counts every change of any device's presence source (in any thread), so that a bus that
  // relies on constant presences notices one that changed.
  static uint64_t Changes() { return changes_.load(std::memory_order_relaxed); }
  // The constant answer, when there is one.
  bool Steady() const { return steady_; }
  bool SteadyValue() const { return value_; }
  ValueSource& source() const { return *source_; }

 private:
  void Take(std::unique_ptr<ValueSource> source) {
    source_ = std::move(source);
    steady_ = !source_->MovesWithTime();
    value_ = steady_ && source_->BoolAt(0.0);
    changes_.fetch_add(1, std::memory_order_relaxed);
  }
  void Touched() {
    steady_ = false;
    changes_.fetch_add(1, std::memory_order_relaxed);
  }
  static std::atomic<uint64_t> changes_;
  std::unique_ptr<ValueSource> source_;
  bool steady_ = false;
  bool value_ = false;
};

// Faults a simulated device can be given.
struct DeviceFaults {
  // Chance, 0 to 1, that a block of bytes the device sends has one bit flipped (a CRC error).
  double crc_error_rate = 0;
  // Chance that a block of bytes the device sends reads as all zeros, as from a line held low
  // (eight zero bytes pass the CRC8 check).
  double zeros_rate = 0;
  // Chance that a thermometer's conversion is lost (a brief loss of power): its scratchpad then
  // holds the power-on contents.
  double power_on_rate = 0;
  // How many times each fault was injected so far, for tests and the soak run to compare with
  // what the reader counted.
  int64_t crc_errors_injected = 0;
  int64_t zeros_injected = 0;
  int64_t power_ons_injected = 0;
  // Whether the device is on the bus, over time (1 present, 0 absent); absent devices see nothing.
  PresenceSource present;
};

// One simulated 1-Wire device. This base class answers the ROM layer bit by bit (search, alarm
// search, match, skip, read ROM, overdrive skip and match) as the datasheets describe; the family
// model derived from it answers the function commands that follow a match or skip.
//
// The function layer works in bytes: the model queues bytes to send (the master reads them in
// read slots) and receives each byte the master writes while nothing is queued.
class SimDevice {
 public:
  explicit SimDevice(const access::RomId& rom);
  virtual ~SimDevice() = default;

  const access::RomId& rom() const { return rom_; }
  DeviceFaults& faults() { return faults_; }
  bool Present();
  bool InOverdrive() const { return overdrive_; }
  // Whether the device follows the bus since the last reset; once it stops (it lost the search
  // or the match, or left the bus) only a reset brings it back.
  bool Listening() const { return state_ != State::Idle; }

  // --- called by the bus ---
  // A reset pulse; returns true when the device answers with a presence pulse.
  bool Reset(bool overdrive_pulse);
  // One time slot in two halves: what this device drives (true: released), then the line as
  // everybody sees it (the AND of the master and every device). Devices at another speed, and
  // absent ones, take no part.
  bool Drive(bool overdrive_slot);
  void Sample(bool line, bool overdrive_slot);
  // Eight slots at once, for a device talking at the function layer on a byte boundary with a
  // steady presence: the same as eight Drive and Sample calls with the device alone on the line
  // (the bus's line is the master's bits AND the device's). Empty when that is not the case: the
  // bus then runs the slots one by one.
  std::optional<uint8_t> FunctionByte(uint8_t master_byte, bool overdrive_slots);
  // The ROM command after a reset, received whole: every device that answered the reset hears
  // the same eight slots (it drives none of them), so the bus assembles the byte once for all.
  void RomCommandReceived(uint8_t command, bool overdrive_slots);
  // The ROM command left the device comparing the ROM bits that follow (Match ROM, a search) at
  // the speed of `overdrive_slots`, and its presence cannot change meanwhile: the bus may then
  // follow those bits for it and tell it the outcome once (RomBitsDone).
  bool FollowsRomBits(bool overdrive_slots) const {
    return (state_ == State::MatchRom || state_ == State::Search) &&
           overdrive_ == overdrive_slots && faults_.present.Steady();
  }
  // The ROM id as 64 bits in the order they go over the bus (bit n of the id is bit n here).
  uint64_t RomBits() const { return rom_bits_; }
  // The end of the ROM bits the bus followed: the device was selected (the whole id matched, or
  // the search ended on it), or it dropped out on the way.
  void RomBitsDone(bool selected);
  // The bus stops following the ROM bits part way: the device takes them up itself from bit
  // `bit` (and, in a search, slot `phase` of its triplet), or stops listening when it dropped out.
  void ResumeRomBits(bool in_running, int bit, int phase);
  // The bus delivered strong pull-up power for `duration`.
  virtual void Powered(std::chrono::milliseconds) {}
  // The bus master put a 12 V program pulse on the line (EPROM devices program a byte).
  virtual void ProgramPulseApplied() {}
  void AttachTo(SimBus* bus) { bus_ = bus; }
  // The bus file was edited: takes the values (value sources) of `edited`, a fresh model of the
  // same ROM id built from the edited file, and keeps everything the master wrote (latches,
  // scratchpad, memory). False when this model cannot: the bus then replaces the device.
  virtual bool FollowValues(SimDevice& /*edited*/) { return false; }
  // For FollowValues: hands `edited` to `take` as a `Model`; false, and nothing taken, when the
  // edited device is a model of another type.
  template <class Model, class Take>
  static bool FollowSameModel(SimDevice& edited, Take&& take) {
    auto* same = dynamic_cast<Model*>(&edited);
    if (!same) return false;
    take(*same);
    return true;
  }

 protected:
  // --- for the family models ---
  // The first byte the master writes after the device was selected.
  virtual void OnFunctionCommand(uint8_t command) = 0;
  // Every further byte the master writes while nothing is queued to send.
  virtual void OnDataByte(uint8_t) {}
  // All queued bytes were read by the master.
  virtual void OnSendDone() {}
  // The bit the device drives in a read slot when nothing is queued (a conversion's busy bit).
  virtual bool IdleBit() { return true; }
  // Whether the device answers the alarm search.
  virtual bool Alarming() { return false; }
  // The bus was reset: end any function in progress.
  virtual void OnReset() {}
  // The device was selected by Match ROM (the DS2405 toggles its output here).
  virtual void OnMatched() {}
  // Whether the device answers 0Fh. The older serial-number and memory buttons take it for Read
  // ROM and always answer; the chain-mode thermometer answers it as Conditional Read ROM only
  // while it is the enabled one; every other part ignores it.
  virtual bool AnswersConditionalReadRom();
  // Whether the device runs at overdrive speed (it then answers the overdrive ROM commands).
  virtual bool SupportsOverdrive() const { return false; }

  void Send(const std::vector<uint8_t>& bytes);
  void Send(uint8_t byte) { Send(std::vector<uint8_t>{byte}); }
  bool Sending() const { return !tx_.empty(); }
  // Stops listening until the next reset.
  void Ignore() { state_ = State::Idle; }

  // Simulated time: now, and seconds since the bus was loaded (for value sources).
  Clock::Monotonic Now() const;
  double Seconds() const;
  SimBus* bus() const { return bus_; }
  std::mt19937& rng() { return rng_; }
  // One draw against a fault's chance (false at once for a chance of 0).
  bool FaultHappens(double chance);

 private:
  enum class State { Idle, RomCommand, Search, MatchRom, Function };
  void RomByte(uint8_t command);
  bool Participates(bool overdrive_slot);
  bool SearchBit() const;

  access::RomId rom_;
  uint64_t rom_bits_ = 0;
  DeviceFaults faults_;
  SimBus* bus_ = nullptr;
  std::mt19937 rng_;

  State state_ = State::Idle;
  bool overdrive_ = false;
  bool function_started_ = false;

  // Bits being assembled from what the master writes.
  uint8_t rx_byte_ = 0;
  int rx_bits_ = 0;
  // Bits to send.
  std::deque<uint8_t> tx_;
  int tx_bit_ = 0;

  // Search: bit index, and which of the three slots of a triplet comes next.
  int search_bit_ = 0;
  int search_phase_ = 0;
  // Match ROM: bits compared so far.
  int match_bit_ = 0;
  // The bus operation in which the device last found itself present (a slot asks twice).
  uint64_t present_in_ = 0;
};

}  // namespace qb::sim
