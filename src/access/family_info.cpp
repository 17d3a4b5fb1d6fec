#include "access/container.h"

namespace qb::access {

namespace {
struct Entry {
  uint8_t family;
  FamilyInfo info;
};

// Names and one-line descriptions from the devices' datasheets.
constexpr Entry kFamilies[] = {
    {0x01,
     {"DS1990A", "DS2401, DS2411",
      "Serial number iButton: a 64-bit registration number and nothing else.", 0}},
    {0x02,
     {"DS1991", "DS1205, MultiKey",
      "Three 48-byte secure memory areas, each behind a 64-bit password.", 0}},
    {0x04,
     {"DS1994", "DS2404",
      "4096-bit NV RAM with a real-time clock, interval timer and cycle counter.", 2}},
    {0x05,
     {"DS2405", "", "Addressable switch: one open-drain output that the Match ROM command toggles.",
      0}},
    {0x06, {"DS1993", "", "4096-bit nonvolatile read/write memory.", 2}},
    {0x08, {"DS1992", "", "1024-bit nonvolatile read/write memory.", 2}},
    {0x09, {"DS1982", "DS2502", "1024-bit add-only (EPROM) memory.", 2}},
    {0x0A, {"DS1995", "", "16384-bit nonvolatile read/write memory.", 2}},
    {0x0B, {"DS1985", "DS2505", "16384-bit add-only (EPROM) memory.", 2}},
    {0x0C, {"DS1996", "", "65536-bit nonvolatile read/write memory.", 2}},
    {0x0F, {"DS1986", "DS2506", "65536-bit add-only (EPROM) memory.", 2}},
    {0x10,
     {"DS1920", "DS18S20", "Digital thermometer, -55 to +100 C in 0.5 C steps, with alarm limits.",
      0}},
    {0x12,
     {"DS2406", "DS2407",
      "Dual addressable switch with 1024 bits of add-only memory and level and activity sensing.",
      0}},
    {0x13, {"DS1983", "DS2503", "4096-bit add-only (EPROM) memory.", 2}},
    {0x14,
     {"DS1971", "DS2430A", "256-bit EEPROM with a 64-bit one-time-programmable register.", 2}},
    {0x16, {"DS195X", "DS1954, DS1957", "Java-powered cryptographic iButton.", 0}},
    {0x18,
     {"DS1963S", "", "SHA-1 iButton: 4096-bit memory with write-cycle counters and a SHA-1 engine.",
      2}},
    {0x1A, {"DS1963L", "", "4096-bit memory with write-cycle counters.", 2}},
    {0x1D,
     {"DS2423", "", "4096-bit RAM with four 32-bit counters, two of them counting external inputs.",
      2}},
    {0x1F, {"DS2409", "", "MicroLAN coupler: two switched branches of the 1-Wire bus.", 2}},
    {0x20,
     {"DS2450", "",
      "Quad A/D converter: four 16-bit channels with ranges, alarm limits and open-drain outputs.",
      2}},
    {0x21,
     {"DS1921L-F52", "DS1921, Thermochron",
      "Temperature logger iButton with clock, alarms and histogram.", 2}},
    {0x22,
     {"DS1822", "", "Econo digital thermometer, 9 to 12 bit resolution, with alarm limits.", 0}},
    {0x23, {"DS1973", "DS2433", "4096-bit EEPROM.", 2}},
    {0x26,
     {"DS2438", "Smart Battery Monitor",
      "Battery monitor: temperature, two voltages, current sense, clock and memory.", 0}},
    {0x28,
     {"DS18B20", "",
      "Programmable-resolution digital thermometer, 9 to 12 bits, with alarm limits.", 0}},
    {0x2C, {"DS2890", "", "Digital potentiometer: one wiper of 256 positions.", 2}},
    {0x30,
     {"DS2760", "", "High-precision Li-ion battery monitor with temperature, voltage and current.",
      2}},
    {0x29,
     {"DS2408", "",
      "Eight-channel addressable switch with level and activity sensing on every channel.", 2}},
    {0x3A, {"DS2413", "", "Dual-channel addressable switch with level sensing.", 2}},
    {0x42,
     {"DS28EA00", "",
      "Digital thermometer, 9 to 12 bits, with alarm limits, two PIO lines and chain mode for "
      "the sensors' order along the cable.",
      2}},
    {0x33, {"DS1961S", "DS2432", "1024-bit EEPROM with SHA-1 authentication.", 2}},
};
}  // namespace

FamilyInfo LookUpFamily(uint8_t family) {
  for (const auto& e : kFamilies) {
    if (e.family == family) return e.info;
  }
  return FamilyInfo{"DS????", "", "A 1-Wire device of a family this library does not know.", 0};
}

}  // namespace qb::access
