#include "catalogue/family_table.h"

namespace qb {

namespace {

// Part names, capability values (the kCap bits; 0x400 and 0x800 are carried but tested by no
// operation), names and one-line descriptions from the devices' datasheets, fastest speed, and
// whether the scan watches the activity latches. A family with capability value 0 is shown as a
// device that is present or not.
constexpr FamilyEntry kFamilies[] = {
    {0x01, "DS1990A", 0, "DS2401, DS2411",
     "Serial number iButton: a 64-bit registration number and nothing else.", 0, false},
    {0x02, "DS1991", 0x10, "DS1205, MultiKey",
     "Three 48-byte secure memory areas, each behind a 64-bit password.", 0, false},
    {0x04, "DS1994", 0x890, "DS2404",
     "4096-bit NV RAM with a real-time clock, interval timer and cycle counter.", 2, false},
    {0x05, "DS2405", 0x100, "",
     "Addressable switch: one open-drain output that the Match ROM command toggles.", 0, false},
    {0x06, "DS1993", 0x10, "", "4096-bit nonvolatile read/write memory.", 2, false},
    {0x08, "DS1992", 0x10, "", "1024-bit nonvolatile read/write memory.", 2, false},
    {0x09, "DS1982", 0x10, "DS2502", "1024-bit add-only (EPROM) memory.", 2, false},
    {0x0A, "DS1995", 0x10, "", "16384-bit nonvolatile read/write memory.", 2, false},
    {0x0B, "DS1985", 0x20, "DS2505", "16384-bit add-only (EPROM) memory.", 2, false},
    {0x0C, "DS1996", 0x10, "", "65536-bit nonvolatile read/write memory.", 2, false},
    {0x0F, "DS1986", 0x20, "DS2506", "65536-bit add-only (EPROM) memory.", 2, false},
    {0x10, "DS1920", 0x1, "DS18S20",
     "Digital thermometer, -55 to +100 C in 0.5 C steps, with alarm limits.", 0, false},
    {0x12, "DS2406", 0x110, "DS2407",
     "Dual addressable switch with 1024 bits of add-only memory and level and activity sensing.", 0,
     true},
    {0x13, "DS1983", 0x20, "DS2503", "4096-bit add-only (EPROM) memory.", 2, false},
    {0x14, "DS1971", 0x10, "DS2430A",
     "256-bit EEPROM with a 64-bit one-time-programmable register.", 2, false},
    {0x16, "DS195X", 0x410, "DS1954, DS1957", "Java-powered cryptographic iButton.", 0, false},
    {0x18, "DS1963S", 0x90, "",
     "SHA-1 iButton: 4096-bit memory with write-cycle counters and a SHA-1 engine.", 2, false},
    {0x1A, "DS1963L", 0x10, "", "4096-bit memory with write-cycle counters.", 2, false},
    {0x1D, "DS2423", 0x1010, "",
     "4096-bit RAM with four 32-bit counters, two of them counting external inputs.", 2, false},
    {0x1F, "DS2409", 0x100, "", "MicroLAN coupler: two switched branches of the 1-Wire bus.", 2,
     false},
    {0x20, "DS2450", 0x18, "",
     "Quad A/D converter: four 16-bit channels with ranges, alarm limits and open-drain outputs.",
     2, false},
    {0x21, "DS1921L-F52", 0x891, "DS1921, Thermochron",
     "Temperature logger iButton with clock, alarms and histogram.", 2, false},
    {0x22, "DS1822", 0x1, "",
     "Econo digital thermometer, 9 to 12 bit resolution, with alarm limits.", 0, false},
    {0x23, "DS1973", 0x10, "DS2433", "4096-bit EEPROM.", 2, false},
    {0x26, "DS2438", 0x297, "Smart Battery Monitor",
     "Battery monitor: temperature, two voltages, current sense, clock and memory.", 0, false},
    {0x28, "DS18B20", 0x1, "",
     "Programmable-resolution digital thermometer, 9 to 12 bits, with alarm limits.", 0, false},
    {0x29, "DS2408", 0x100, "",
     "Eight-channel addressable switch with level and activity sensing on every channel.", 2, true},
    {0x2C, "DS2890", 0x40, "", "Digital potentiometer: one wiper of 256 positions.", 2, false},
    {0x30, "DS2760", 0x5, "",
     "High-precision Li-ion battery monitor with temperature, voltage and current.", 2, false},
    {0x33, "DS1961S", 0x10, "DS2432", "1024-bit EEPROM with SHA-1 authentication.", 2, false},
    {0x3A, "DS2413", 0x100, "", "Dual-channel addressable switch with level sensing.", 2, false},
    {0x42, "DS28EA00", 0x101, "",
     "Digital thermometer, 9 to 12 bits, with alarm limits, two PIO lines and chain mode for the "
     "sensors' order along the cable.",
     2, false},
};

}  // namespace

const FamilyEntry* FindFamily(uint8_t code) {
  for (const auto& f : kFamilies) {
    if (f.code == code) return &f;
  }
  return nullptr;
}

std::span<const FamilyEntry> Families() {
  return kFamilies;
}

}  // namespace qb
