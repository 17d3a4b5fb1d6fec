#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qb {

namespace access {
class OneWireContainer;
}

struct DSROM;
struct DSDevice;

// What ReadDev reads: a bit set.
inline constexpr int kReadTemperature = 1;
inline constexpr int kReadCurrent = 2;
inline constexpr int kReadAD = 4;
inline constexpr int kReadAll = 7;
// With kReadAD for a DS2450: its inputs were converted bus-wide, their results are read as they
// are. A part whose results show the conversion did not run, or a channel set up in this read, is
// converted one by one.
inline constexpr int kReadConverted = 8;

// Binds a container to the ROM id (the first 16 characters of `rom`) in slot 1, 2 or 3. False
// when nothing was bound: an empty id, slot 0, the bus taken by another operation (unless
// forced), a family without a container, or an error (logged).
bool SetupContainer(const std::string& rom, int slot, bool force);
// Releases the container of a slot.
void ReleaseContainer(int slot);
// The container bound in a slot, shared with the caller (null when none). An operation that lets
// events run keeps using the container it took, even if the slot is bound again meanwhile.
std::shared_ptr<access::OneWireContainer> SlotContainer(int slot);
// A new container for the ROM id (first 16 characters) on the open adapter, keeping the adapter
// alive while it lives. Raises the library's error when no adapter is open.
std::shared_ptr<access::OneWireContainer> MakeContainer(const std::string& rom);

// Reads the device in slot 2 and hands the values of its channels to the host. The caller holds
// `rom` by shared ownership.
void ReadDev(DSROM& rom, const std::string& rom_id, int read_type);
// The same with the container the caller bound for it.
void ReadDev(DSROM& rom, const std::string& rom_id, int read_type,
             std::shared_ptr<access::OneWireContainer> container);

// What one read came to, for the device's health figures.
struct ReadOutcome {
  bool value = true;  // the read gave its values
  bool absent = false;
  int power_on = 0;  // power-on scratchpads rejected
  int power_on_retries = 0;
};

// Runs one read of a device through `read` with the container given and counts it in the
// device's health figures: the container's CRC errors and retries during it, what `read` noted
// in the outcome, and the time it was last seen when it gave its values. A read that raises is
// logged and counts as failed; so does one without a container.
void CountedRead(const std::string& rom_id,
                 const std::shared_ptr<access::OneWireContainer>& container,
                 const std::function<void(access::OneWireContainer&, ReadOutcome&)>& read);

// What the power-on check made of a thermometer's converted scratchpad.
enum class PowerOnCheck {
  Converted,       // a conversion ran: the value is a reading
  ConvertedAgain,  // it showed the power-on value and was converted once more on its own
  Rejected,        // a DS18B20 showed its power-on scratchpad twice: no reading (logged)
};

// Checks a converted scratchpad for the power-on value (85 C, a conversion that did not run).
// A DS18B20 tells it from a real 85 by its reserved bytes, so a real 85 is taken at once; other
// families are converted once more when they read 85 and taken as they are then. `state` gets
// the scratchpad of the second conversion; `outcome` counts the power-on values and retries.
PowerOnCheck CheckPowerOn(access::OneWireContainer& c, const std::string& rom_id,
                          std::vector<uint8_t>& state, ReadOutcome& outcome);

// Hands a thermometer's converted scratchpad over as its temperature channel's value: rounded,
// in the scale set, logged to the database as the settings ask. `started` is when the reading
// began, for the log line's poll time.
void PublishTemperature(DSROM& rom, const std::string& rom_id, access::OneWireContainer& c,
                        const std::vector<uint8_t>& state,
                        std::chrono::steady_clock::time_point started);

// One channel of a four-channel A/D converter read: shown in the host (when it changed, or always)
// and logged to the database as the settings ask. An `over_range` reading (clipped at the top of
// the channel's range) is shown with a mark saying so.
void ReportQuadChannel(DSDevice& channel, double volts, bool always_update,
                       bool over_range = false);

// A switch channel's sensed level ("On" or "Off") logged to the database as the settings ask:
// 100 for on, 0 for off, and with "only changes" only when it differs from the level shown.
void LogLevelToDatabase(DSDevice& channel, const std::string& level);

// Celsius to Fahrenheit, rounded to the configured decimals.
double ToFahrenheit(double celsius);
// "ºF" or "ºC" (masculine ordinal sign U+00BA), as host texts and pages show the unit.
std::string TempUnit();

// A value rounded to the configured decimals ("SigFigs").
double RoundToDecimals(double value);

}  // namespace qb
