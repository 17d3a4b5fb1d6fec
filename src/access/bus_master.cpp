#include "access/bus_master.h"

#include <thread>

#include "access/errors.h"

namespace qb::access {

double BusTimeMicros(const WireStats& s, const BusTimings& t) {
  double us = 0;
  for (int i = 0; i < 2; ++i)
    us += static_cast<double>(s.resets[i]) * t.reset_us[i] +
          static_cast<double>(s.slots[i]) * t.slot_us[i];
  us += static_cast<double>(s.power_delivery.count());
  us += static_cast<double>(s.program_pulses) * t.program_pulse_us;
  return us;
}

uint8_t BusMaster::TouchByte(uint8_t byte) {
  uint8_t result = 0;
  for (int i = 0; i < 8; ++i) {
    if (TouchBit((byte >> i) & 1)) result |= static_cast<uint8_t>(1u << i);
  }
  return result;
}

void BusMaster::Block(uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) data[i] = TouchByte(data[i]);
}

TripletResult BusMaster::SearchTriplet(bool preferred_direction) {
  TripletResult r;
  r.id_bit = TouchBit(true);
  r.cmp_bit = TouchBit(true);
  if (r.id_bit && !r.cmp_bit) {
    r.direction = true;
  } else if (!r.id_bit && r.cmp_bit) {
    r.direction = false;
  } else {
    r.direction = preferred_direction;  // a discrepancy (or nobody answered): take the given branch
  }
  TouchBit(r.direction);
  return r;
}

ResetResult BusMaster::ResetAndBlock(uint8_t* data, size_t length) {
  const ResetResult reset = Reset();
  if (DeviceAnswered(reset)) Block(data, length);
  return reset;
}

SearchPassResult BusMaster::SearchRomPass(uint8_t command, const RomId& path) {
  SearchPassResult r;
  r.reset = Reset();
  if (!DeviceAnswered(r.reset)) return r;
  TouchByte(command);
  for (int bit = 0; bit < 64; ++bit) {
    const size_t byte = static_cast<size_t>(bit / 8);
    const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
    const TripletResult t = SearchTriplet((path.bytes[byte] & mask) != 0);
    if (t.id_bit && t.cmp_bit) {  // nobody answered: the rest of the pass would read nothing
      r.lost = true;
      return r;
    }
    if (!t.id_bit && !t.cmp_bit) r.conflicts |= uint64_t{1} << bit;
    if (t.direction) r.rom.bytes[byte] |= mask;
  }
  return r;
}

void BusMaster::Wait(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

void BusMaster::ProgramPulse() {
  ThrowNotSupported(Describe(), "A program pulse");
}

}  // namespace qb::access
