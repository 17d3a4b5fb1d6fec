#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace qb {

namespace access {
class OneWireContainer;
}

struct DSROM;

// The thermometers one bus-wide conversion measured, and when it finished.
struct BusWideConversion {
  std::set<std::string> converted;  // ROM ids
  Clock::WallTime finished{};
  std::chrono::milliseconds duration{0};  // how long the parts had to convert
};

// With "BusConvert" on, one Convert T for every scratchpad thermometer (DS18S20, DS1822,
// DS18B20) and battery monitor (DS2438: always powered from its Vdd pin, 10 ms) among `roms` that
// answered the last presence check, held for the longest conversion time of their resolutions.
// Parasite-powered thermometers are found once with Read Power Supply; the strong pull-up is held
// through the conversion when one of them takes part. On an adapter without a strong pull-up they
// take no part and are converted one by one as without the setting. While the parts convert
// without the pull-up, every switch among `roms` (each family with the switch capability) is read
// into its level and latch channels. Empty when nothing was converted (none to convert, or the
// conversion failed: logged); the cycle then reads every thermometer one by one.
std::optional<BusWideConversion> ConvertBusWide(const std::vector<std::shared_ptr<DSROM>>& roms);

// With "BusConvert" on, one Convert of all four inputs of every DS2450 among `roms` that answered
// the last presence check, under the strong pull-up for the longest conversion of their
// resolutions. Returns the ROM ids converted: their results are read as they are (see
// kReadConverted in device_reading.h). Empty when nothing was converted: no DS2450 on the bus, an
// adapter without a strong pull-up (a DS2450 powered from the bus needs it; they are converted one
// by one as without the setting), a DS1921 on the bus (its Clear Memory shares the command code),
// or the conversion failed (logged).
std::set<std::string> ConvertQuadADBusWide(const std::vector<std::shared_ptr<DSROM>>& roms);

// Reads a thermometer the bus-wide conversion measured: its scratchpad alone, checked as every
// read is, and hands the temperature over stamped with the time of the conversion. A power-on
// scratchpad (this part's conversion did not run) is converted again on its own. Counted in the
// device's health figures as every read is.
void ReadConvertedThermometer(DSROM& rom, const std::string& rom_id,
                              const std::shared_ptr<access::OneWireContainer>& container,
                              const BusWideConversion& conversion);

}  // namespace qb
