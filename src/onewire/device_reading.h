#pragma once

#include <string>

namespace qb {

struct DSROM;

// What ReadDev reads: a bit set.
inline constexpr int kReadTemperature = 1;
inline constexpr int kReadCurrent = 2;
inline constexpr int kReadAD = 4;
inline constexpr int kReadAll = 7;

// Binds a container to the ROM id (the first 16 characters of `rom`) in slot 1, 2 or 3. False
// when nothing was bound: an empty id, slot 0, the bus taken by another operation (unless
// forced), a family without a container, or an error (logged).
bool SetupContainer(const std::string& rom, int slot, bool force);
// Releases the container of a slot.
void ReleaseContainer(int slot);

// Reads the device in slot 2 and hands the values of its channels to the host.
void ReadDev(DSROM& rom, const std::string& rom_id, int read_type);

// Celsius to Fahrenheit, rounded to the configured decimals.
double ToFahrenheit(double celsius);
// "ºF" or "ºC" (masculine ordinal sign U+00BA), as host texts and pages show the unit.
std::string TempUnit();

// A value rounded to the configured decimals ("SigFigs").
double RoundToDecimals(double value);

}  // namespace qb
