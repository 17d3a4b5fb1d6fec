#pragma once

#include <cstdint>
#include <span>

namespace qb {

// Capability bits of a family: which channels its devices get and how they are read.
inline constexpr uint32_t kCapTemperature = 0x1;     // temperature channel M
inline constexpr uint32_t kCapSupplyVoltage = 0x2;   // Vdd channel G (or humidity N)
inline constexpr uint32_t kCapADInput = 0x4;         // Vad channel H
inline constexpr uint32_t kCapQuadAD = 0x8;          // channels A to D: G, H, I, J
inline constexpr uint32_t kCapMemory = 0x10;         // memory banks
inline constexpr uint32_t kCapEprom = 0x20;          // add-only memory
inline constexpr uint32_t kCapPotentiometer = 0x40;  // wiper channel T
inline constexpr uint32_t kCapClock = 0x80;          // real-time clock
inline constexpr uint32_t kCapSwitch = 0x100;        // switch channels S, level channels P
inline constexpr uint32_t kCapCurrentSense = 0x200;  // Vsense channel I
inline constexpr uint32_t kCapCounter = 0x1000;      // counter channels K0 to K3

// One family of the catalogue: everything the layers above know of it without a device at hand.
// The access library takes its names, description and speed from here, the plug-in its channels
// and the scan how to watch it.
struct FamilyEntry {
  uint8_t code;                 // the family code, the last byte of the ROM id as written
  const char* name;             // the part name ("DS18B20")
  uint32_t caps;                // the capability bits above
  const char* alternate_names;  // other parts of the same family ("DS2401, DS2411"), or ""
  const char* description;      // one line from the datasheet
  int max_speed;                // the fastest speed: 0 regular, 2 overdrive
  // The part answers the conditional search on its activity latches: the scan clears them
  // after reading its levels and arms the search, so that a change at an input is found by
  // the next alarm search instead of the next full scan.
  bool activity_search;
};

// The catalogue's entry of this family code; null for a family it does not list.
const FamilyEntry* FindFamily(uint8_t code);

// Every family of the catalogue.
std::span<const FamilyEntry> Families();

}  // namespace qb
