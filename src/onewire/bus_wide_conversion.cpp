#include "onewire/bus_wide_conversion.h"

#include <algorithm>
#include <functional>

#include "access/bus_conversion.h"
#include "access/errors.h"
#include "access/thermometer.h"
#include "catalogue/family_catalogue.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/adapter_outage.h"
#include "onewire/device_reading.h"
#include "onewire/onewire_state.h"
#include "platform/user_interface.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb {

namespace {

// The longest conversion of any scratchpad thermometer (12 bits), taken while a part's own is
// not known yet.
constexpr std::chrono::milliseconds kLongestConversion{750};
// A DS2438's temperature conversion by its datasheet.
constexpr std::chrono::milliseconds kBatteryMonitorConversion{10};
// The DS2438's temperature busy flag in its status byte (page 0, byte 0).
constexpr uint8_t kTemperatureBusy = 0x10;
// A DS2450's four inputs at 16 bits, taken while a part's resolutions are not known yet.
constexpr std::chrono::microseconds kLongestQuadADConversion{160 + 4 * 16 * 80};

bool ScratchpadThermometer(const std::string& family) {
  return family == "10" || family == "22" || family == "28";
}

// The DS2438 takes Convert T (44h) as the thermometers do. It has no Read Power Supply: the same
// code (B4h) starts its voltage conversion.
bool BatteryMonitor(const std::string& family) {
  return family == "26";
}

// Hands readings over stamped with the time they were measured, for as long as it lives.
class ReadingTimeScope {
 public:
  explicit ReadingTimeScope(std::optional<Clock::WallTime> when) { Plugin().ReadingTime = when; }
  ~ReadingTimeScope() { Plugin().ReadingTime.reset(); }
  ReadingTimeScope(const ReadingTimeScope&) = delete;
  ReadingTimeScope& operator=(const ReadingTimeScope&) = delete;
};

// Whether the thermometer draws its power from the bus, asked with Read Power Supply the first
// time it takes part. Empty when it could not be asked (it is then read one by one).
std::optional<bool> Parasite(const std::string& rom_id) {
  OneWireState& w = OneWire();
  if (auto known = w.thermometers.find(rom_id); known != w.thermometers.end())
    return known->second.parasite;
  try {
    auto c = MakeContainer(rom_id);
    // A part that did not answer would read as externally powered: ask only one that is there.
    if (!c->isPresent()) return std::nullopt;
    const bool parasite = !c->isExternalPowerSupplied(access::DeviceState(access::kScratchpadSize));
    w.thermometers[rom_id].parasite = parasite;
    if (parasite) {
      WriteLog(LogClass::CycleInfo, "1-Wire Cycle Info",
               "ROM=" + rom_id + " is parasite-powered (no supply at its Vdd pin)");
    }
    return parasite;
  } catch (const std::exception& e) {
    LogBusError("1-Wire ERROR(ReadNet)",
                "Error " + std::to_string(ErrorNumber(e)) + " " + e.what() + " ROM=" + rom_id);
    return std::nullopt;
  }
}

// Reads a switch's input levels and latches into its channels: the read cycle does this while the
// thermometers convert, so that a switch is never a whole conversion late.
void ReadSwitch(DSROM& rom, const std::string& rom_id) {
  try {
    auto c = MakeContainer(rom_id);
    const access::DeviceState state = c->readDevice();
    const int channels = c->getNumberChannels(state);
    auto devices = rom.Devices;
    if (!devices) return;
    for (int ch = 0; ch < channels; ++ch) {
      const std::string n = std::to_string(ch);
      if (c->hasLevelSensing()) {
        const std::string level = c->getLevel(ch, state) ? "On" : "Off";
        if (auto pio = devices->Find(rom_id + "P" + n)) {
          LogLevelToDatabase(*pio, level);
          if (UpdateHSDev(*pio, level))
            WriteLog(LogClass::Updates, "1-Wire I/F DDR",
                     "PIO Update - " + pio->ROM + " Value= " + level);
        }
      }
      if (auto sw = devices->Find(rom_id + "S" + n))
        UpdateHSDev(*sw, std::string(c->getLatchState(ch, state) ? "On" : "Off"));
    }
  } catch (const std::exception& e) {
    LogBusError("1-Wire ERROR(ReadDev)",
                "Error " + std::to_string(ErrorNumber(e)) + " " + e.what() + " ROM=" + rom_id);
  }
}

}  // namespace

std::optional<BusWideConversion> ConvertBusWide(const std::vector<std::shared_ptr<DSROM>>& roms) {
  OneWireState& w = OneWire();
  const auto adapter = w.adapter;
  if (!adapter) return std::nullopt;
  const bool can_power = adapter->Master().CanDeliverPower();
  BusWideConversion conversion;
  std::chrono::milliseconds longest{0};
  bool hold_power = false;
  int left_out = 0;
  for (const auto& rom : roms) {
    if (rom->Absent || rom->ROM.size() < 16) continue;
    const std::string rom_id = rom->ROM.substr(0, 16);
    if (BatteryMonitor(FamilyCode(rom_id))) {
      longest = std::max(longest, kBatteryMonitorConversion);
      conversion.converted.insert(rom_id);
      continue;
    }
    if (!ScratchpadThermometer(FamilyCode(rom_id))) continue;
    const std::optional<bool> parasite = Parasite(rom_id);
    if (!parasite) continue;
    if (*parasite && !can_power) {
      ++left_out;
      continue;
    }
    hold_power |= *parasite;
    longest = std::max(longest, w.thermometers[rom_id].conversion);
    conversion.converted.insert(rom_id);
  }
  if (conversion.converted.empty()) return std::nullopt;
  if (left_out > 0) {
    WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
             std::to_string(left_out) +
                 " parasite-powered thermometer(s) converted one by one: the adapter has no "
                 "strong pull-up");
  }
  WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
           "Bus-wide conversion of " + std::to_string(conversion.converted.size()) +
               " thermometer(s), " + std::to_string(longest.count()) + " ms" +
               (hold_power ? " under strong pull-up" : ""));
  try {
    // Every family with the switch capability is read while the parts convert (the bus is free
    // unless it holds the pull-up).
    std::vector<std::shared_ptr<DSROM>> switches;
    for (const auto& rom : roms) {
      if (!rom->Absent && (rom->Caps & kCapSwitch) && rom->ROM.size() >= 16)
        switches.push_back(rom);
    }
    std::function<std::chrono::milliseconds()> meanwhile;
    if (!switches.empty()) {
      meanwhile = [&switches] {
        const auto start = TheClock().MonotonicNow();
        for (const auto& rom : switches) ReadSwitch(*rom, rom->ROM.substr(0, 16));
        return std::chrono::duration_cast<std::chrono::milliseconds>(TheClock().MonotonicNow() -
                                                                     start);
      };
    }
    access::ConvertAllThermometers(*adapter, longest, hold_power, meanwhile);
  } catch (const std::exception& e) {
    LogBusError("1-Wire ERROR(ReadNet)", "Error " + std::to_string(ErrorNumber(e)) +
                                             " 1-Wire I/F " + e.what() +
                                             "; the thermometers are read one by one");
    // A resolution raised behind the plug-in's back is the likeliest cause: start again from
    // the longest time.
    for (auto& [id, info] : w.thermometers) info.conversion = kLongestConversion;
    return std::nullopt;
  }
  conversion.finished = TheClock().Now();
  conversion.duration = longest;
  return conversion;
}

std::set<std::string> ConvertQuadADBusWide(const std::vector<std::shared_ptr<DSROM>>& roms) {
  OneWireState& w = OneWire();
  const auto adapter = w.adapter;
  std::set<std::string> converted;
  if (!adapter) return converted;
  std::chrono::microseconds longest{0};
  bool clear_memory_code = false;
  for (const auto& rom : roms) {
    if (rom->Absent || rom->ROM.size() < 16) continue;
    const std::string rom_id = rom->ROM.substr(0, 16);
    const std::string family = FamilyCode(rom_id);
    if (family == "21") clear_memory_code = true;
    if (family != "20") continue;
    const auto known = w.quad_ad_conversion.find(rom_id);
    longest = std::max(
        longest, known != w.quad_ad_conversion.end() ? known->second : kLongestQuadADConversion);
    converted.insert(rom_id);
  }
  if (converted.empty()) return converted;
  const std::string count = std::to_string(converted.size());
  if (!adapter->Master().CanDeliverPower()) {
    WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
             count + " A/D converter(s) converted one by one: the adapter has no strong pull-up");
    return {};
  }
  if (clear_memory_code) {
    WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
             count +
                 " A/D converter(s) converted one by one: a DS1921 on the bus would take the "
                 "bus-wide convert command for its Clear Memory");
    return {};
  }
  const auto tenths = (longest.count() + 50) / 100;
  WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
           "Bus-wide A/D conversion of " + count + " converter(s), " + std::to_string(tenths / 10) +
               "." + std::to_string(tenths % 10) + " ms under strong pull-up");
  try {
    access::ConvertAllQuadAD(*adapter, longest);
  } catch (const std::exception& e) {
    LogBusError("1-Wire ERROR(ReadNet)", "Error " + std::to_string(ErrorNumber(e)) +
                                             " 1-Wire I/F " + e.what() +
                                             "; the A/D converters are read one by one");
    w.quad_ad_conversion.clear();  // a resolution raised behind the plug-in's back, perhaps
    return {};
  }
  return converted;
}

void ReadConvertedThermometer(DSROM& rom, const std::string& rom_id,
                              const std::shared_ptr<access::OneWireContainer>& container,
                              const BusWideConversion& conversion) {
  CountedRead(rom_id, container, [&](access::OneWireContainer& c, ReadOutcome& outcome) {
    const auto started = TheClock().MonotonicNow();
    access::DeviceState state = c.readDevice();
    const auto* thermometer = dynamic_cast<const access::ThermometerContainer*>(&c);
    std::optional<Clock::WallTime> measured = conversion.finished;
    // A resolution needing longer than the conversion lasted (set behind the plug-in's back)
    // leaves an unfinished value: the part is converted again on its own. So is one showing the
    // power-on value (a parasite part browned out, or it came onto the bus meanwhile), checked
    // as every read is.
    // A DS2438 still busy (its TB flag) is converted again on its own as well.
    const bool unfinished = thermometer ? thermometer->ConversionTimeOf(state) > conversion.duration
                                        : BatteryMonitor(FamilyCode(rom_id)) && !state.empty() &&
                                              (state[0] & kTemperatureBusy) != 0;
    if (unfinished) {
      measured.reset();
      c.doTemperatureConvert(state);
    }
    switch (CheckPowerOn(c, rom_id, state, outcome)) {
      case PowerOnCheck::Converted:
        break;
      case PowerOnCheck::ConvertedAgain:
        measured.reset();
        break;
      case PowerOnCheck::Rejected:
        return;
    }
    if (thermometer)
      OneWire().thermometers[rom_id].conversion = thermometer->ConversionTimeOf(state);
    const ReadingTimeScope stamp(measured);
    PublishTemperature(rom, rom_id, c, state, started);
  });
}

}  // namespace qb
