#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "access/rom.h"

namespace qb::access {

enum class ResetResult : int { NoPresence = 0, Presence = 1, Alarm = 2, Short = 3 };

// Whether a device answered the reset: an alarm signal is an answer too.
inline bool DeviceAnswered(ResetResult r) {
  return r == ResetResult::Presence || r == ResetResult::Alarm;
}

// Bus speeds as the adapter numbers them.
enum class Speed : int { Regular = 0, Flex = 1, Overdrive = 2, Hyperdrive = 3 };

struct TripletResult {
  bool id_bit = false;     // first read slot: the AND of every participating device's bit
  bool cmp_bit = false;    // second read slot: the AND of the complements
  bool direction = false;  // the bit written (the branch taken)
};

// One pass of the ROM search.
struct SearchPassResult {
  ResetResult reset = ResetResult::NoPresence;  // the pass ran only after a presence pulse
  RomId rom;               // the branch taken at each bit: the ROM id of the device followed
  uint64_t conflicts = 0;  // bit n: devices with both values of ROM bit n answered there
  bool lost = false;       // at some bit no device answered (none left, or one left the bus)
};

// What a master put on the wire, counted per speed class (0 standard and flex, 1 overdrive).
struct WireStats {
  uint64_t resets[2] = {0, 0};
  uint64_t slots[2] = {0, 0};
  std::chrono::microseconds power_delivery{0};  // strong pull-up held for conversions
  uint64_t program_pulses = 0;

  void Clear() { *this = WireStats{}; }
};

// Datasheet timings of the bus, in microseconds: the shortest a reset (tRSTL + tRSTH) and a time
// slot (tSLOT + tREC) can take at standard and at overdrive speed.
struct BusTimings {
  double reset_us[2] = {480.0 + 480.0, 48.0 + 48.0};
  double slot_us[2] = {60.0 + 1.0, 6.0 + 1.0};
  double program_pulse_us = 480.0;
};

// The bus time the counted traffic takes at the given timings, in microseconds.
double BusTimeMicros(const WireStats& stats, const BusTimings& timings = {});

// A 1-Wire bus master: the lowest layer every adapter and the simulator provide. Bytes go
// least significant bit first. Every master counts what it puts on the wire.
class BusMaster {
 public:
  virtual ~BusMaster() = default;

  virtual ResetResult Reset() = 0;
  // One time slot: writes `bit` (a 1 is also a read slot) and returns the bit on the line.
  virtual bool TouchBit(bool bit) = 0;
  virtual uint8_t TouchByte(uint8_t byte);
  // Touches each byte in place: bytes written as 0xFF come back with what the devices sent.
  virtual void Block(uint8_t* data, size_t length);
  // The search step: two read slots, then writes the direction to take.
  virtual TripletResult SearchTriplet(bool preferred_direction);
  // One pass of the ROM search: a reset and, when a device answered it, the search command
  // (Search ROM or Alarm Search) and 64 search steps that take, where devices disagree, the
  // branch `path` has at that bit. This implementation runs the steps one by one; a master that
  // can run a whole pass in one exchange with its adapter does so.
  virtual SearchPassResult SearchRomPass(uint8_t command, const RomId& path);
  // A reset and, when a device answered it, the block (the usual start of a transaction: Match
  // ROM and the ROM id). A master may send the block before it knows the reset's result.
  virtual ResetResult ResetAndBlock(uint8_t* data, size_t length);
  // Writes a byte and then holds the line at strong pull-up for `duration`, powering a
  // parasite-powered device through a conversion or a copy.
  virtual uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) = 0;
  virtual void ProgramPulse();
  // Waits while a device works (a conversion polled by read slots, an EEPROM write). Real masters
  // sleep; the simulator lets its simulated time pass.
  virtual void Wait(std::chrono::milliseconds duration);

  virtual void SetSpeed(Speed speed) { speed_ = speed; }
  Speed GetSpeed() const { return speed_; }
  virtual bool CanFlex() const { return false; }
  virtual bool CanOverdrive() const { return false; }
  virtual bool CanHyperdrive() const { return false; }
  virtual bool CanDeliverPower() const { return true; }
  virtual bool CanProgram() const { return false; }
  // Releases the port.
  virtual void Close() {}
  // What the master is, for messages ("simulated bus demo/bus.json", "DS2480B on /dev/ttyUSB0").
  virtual std::string Describe() const = 0;

  const WireStats& Stats() const { return stats_; }
  void ClearStats() { stats_.Clear(); }

 protected:
  int SpeedClass() const {
    return speed_ == Speed::Overdrive || speed_ == Speed::Hyperdrive ? 1 : 0;
  }
  void CountReset() { ++stats_.resets[SpeedClass()]; }
  void CountSlots(uint64_t n) { stats_.slots[SpeedClass()] += n; }
  void CountPower(std::chrono::milliseconds duration) { stats_.power_delivery += duration; }

  Speed speed_ = Speed::Regular;
  WireStats stats_;
};

}  // namespace qb::access
