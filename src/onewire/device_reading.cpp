#include "onewire/device_reading.h"

#include <cmath>

#include "access/bus_conversion.h"
#include "access/ds18b20.h"
#include "access/ds18s20.h"
#include "access/ds2450.h"
#include "access/errors.h"
#include "access/families.h"
#include "catalogue/family_catalogue.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/adapter_outage.h"
#include "onewire/adapter_setup.h"
#include "onewire/calibration.h"
#include "onewire/counter_total.h"
#include "onewire/device_health.h"
#include "onewire/onewire_state.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "registry/records.h"
#include "registry/value_text.h"
#include "registry/value_update.h"

namespace qb {

namespace {

// Families the plug-in has no container for.
bool NoContainer(const std::string& family) {
  for (const char* f :
       {"00", "03", "07", "0D", "0E", "11", "15", "17", "19", "24", "25", "27", "81"}) {
    if (family == f) return true;
  }
  return false;
}

double SecondsSince(Clock::Monotonic start) {
  return std::chrono::duration<double>(TheClock().MonotonicNow() - start).count();
}

std::string Text(double v) {
  return PlainNumberText(v);
}

// Database logging of one channel's value, when the channel and the settings ask for it. With
// "only changes" the value is compared with `shown`, the text the host showed before this
// reading, to the decimals the host shows.
// `stored` is what the row gets: the value itself, or for a temperature its value in °C.
void LogToDatabase(DSDevice& channel, double value, const std::string& shown, double stored) {
  const Settings& s = Plugin().settings;
  if (channel.LogtoDB != 1 || !s.chkDBLog) return;
  // Rows name the channel by its host device: until that exists, there is no name to log under
  // (the reading is not shown anywhere either).
  if (channel.dc == -1 || channel.hc.empty()) return;
  if (s.chkChanges && shown != kNoReadingText) {
    const double adj = ReadNumber(Store().GetOr("Adjustment", channel.ROM, "0"));
    if (RoundToDecimals(value + adj) == ReadNumber(shown)) return;
  }
  Plugin().parts.database->LogValue(channel.ROM, stored);
}

void LogToDatabase(DSDevice& channel, double value, const std::string& shown) {
  LogToDatabase(channel, value, shown, value);
}

void LogToDatabase(DSDevice& channel, double value) {
  LogToDatabase(channel, value, channel.HSString, value);
}

// The channel record of a key, held by the caller for as long as it uses it: the lookup lets
// events run, and what runs may take the record out of the registry.
std::shared_ptr<DSDevice> Channel(DSROM& rom, const std::string& key) {
  auto devices = rom.Devices;
  auto channel = devices ? devices->Find(key) : nullptr;
  if (!channel)
    throw access::AccessError(access::ErrorCode::NoObject, "1-Wire I/F",
                              "no channel record for " + key);
  return channel;
}

}  // namespace

void LogLevelToDatabase(DSDevice& channel, const std::string& level) {
  const Settings& s = Plugin().settings;
  if (channel.LogtoDB != 1 || !s.chkDBLog) return;
  if (channel.dc == -1 || channel.hc.empty()) return;
  if (s.chkChanges && level == channel.HSString) return;
  // A level is logged as the host shows it: 100 for on, 0 for off.
  Plugin().parts.database->LogValue(channel.ROM, level == "On" ? 100 : 0);
}

double RoundToDecimals(double value) {
  const double scale = std::pow(10.0, Plugin().settings.SigFigs);
  const double scaled = value * scale;
  if (std::fabs(scaled) >= 1e15) return value;
  return std::round(scaled) / scale;
}

double ToFahrenheit(double celsius) {
  return RoundToDecimals(celsius * 9 / 5 + 32);
}

std::string TempUnit() {
  return Plugin().settings.Range ? "\u00BAF" : "\u00BAC";
}

bool SetupContainer(const std::string& rom, int slot, bool force) {
  if (rom.empty() || slot <= 0 || slot > 3) return false;
  if (!force && Plugin().ExternalBusy) return false;
  const std::string family = FamilyCode(rom);
  if (family.empty() || NoContainer(family)) return false;
  WriteLog(
      LogClass::Trace, "1-Wire Debug (SC)",
      "Params: ROM = " + rom + " Cont = " + std::to_string(slot) + " Force = " + BoolText(force));
  try {
    auto container = MakeContainer(rom);
    OneWire().slots[static_cast<size_t>(slot)] = container;
    if (Plugin().settings.IntSpeed > 0) SetSpeed(*container);
    return true;
  } catch (const std::exception& e) {
    LogBusError("1-Wire ERROR(SetupContainer", e.what());
    return false;
  }
}

std::shared_ptr<access::OneWireContainer> MakeContainer(const std::string& rom) {
  auto adapter = OneWire().adapter;
  if (!adapter)
    throw access::AccessError(access::ErrorCode::NoObject, "1-Wire I/F",
                              "no 1-Wire adapter is open");
  auto made =
      access::CreateContainer(static_cast<uint8_t>(std::stoi(FamilyCode(rom), nullptr, 16)));
  made->SetupContainer(adapter.get(), rom.substr(0, 16));
  // The container keeps the adapter it talks through alive for as long as it lives itself.
  return std::shared_ptr<access::OneWireContainer>(
      made.release(), [adapter](access::OneWireContainer* c) { delete c; });
}

std::shared_ptr<access::OneWireContainer> SlotContainer(int slot) {
  if (slot <= 0 || slot > 3) return nullptr;
  return OneWire().slots[static_cast<size_t>(slot)];
}

void ReleaseContainer(int slot) {
  if (slot > 0 && slot <= 3) OneWire().slots[static_cast<size_t>(slot)].reset();
}

void ReportQuadChannel(DSDevice& channel, double volts, bool always_update, bool over_range) {
  const std::string shown_before = channel.HSString;
  const bool marked = channel.HSString.ends_with(kOverRangeText);
  if (always_update || volts != channel.Reading || marked != over_range)
    UpdateHSDev(channel, volts, "V", false, over_range);
  LogToDatabase(channel, volts, shown_before);
}

void PublishTemperature(DSROM& rom, const std::string& rom_id, access::OneWireContainer& c,
                        const access::DeviceState& state, Clock::Monotonic started) {
  const Settings& s = Plugin().settings;
  WriteLog(LogClass::CycleDetail, "1-Wire Debug Info DDR",
           "Calling getTemperature, deviceState= " + access::StateToHex(state));
  auto m = Channel(rom, rom_id + "M");
  double t = c.getTemperature(state);
  // The DS18S20's count registers give it 1/16 degree; other families have no such registers.
  if (FamilyCode(rom_id) == "10" && m->TempResolution < 0.5) {
    t = std::round(access::DS18S20ExtendedTemperature(state) * 1000) / 1000;
  } else {
    t = RoundToDecimals(t);
  }
  if (const double raw = t; (t = Calibrated(m->ROM, raw)) != raw) t = RoundToDecimals(t);
  const double celsius = t;
  TheBusHealth().conversion_seconds_sum += SecondsSince(started);
  ++TheBusHealth().conversions;
  if (s.Range) t = ToFahrenheit(t);
  WriteLog(LogClass::Trace, "1-Wire Debug Info DDR",
           "Returning from getTemperature, deviceState= " + access::StateToHex(state));
  WriteLog(LogClass::Updates, "1-Wire I/F DDR",
           "Temp update, device= " + m->ROM + " value= " + Text(t) +
               " Poll time= " + Text(SecondsSince(started)) + "s");
  // Logged in °C whatever the scale shown, so that a series keeps one unit when the scale
  // is switched; the history and the charts show it in the scale set then.
  LogToDatabase(*m, t, m->HSString, celsius);
  UpdateHSDev(*m, t, TempUnit());
}

void ReadDev(DSROM& rom, const std::string& rom_id, int read_type) {
  ReadDev(rom, rom_id, read_type, SlotContainer(2));
}

PowerOnCheck CheckPowerOn(access::OneWireContainer& c, const std::string& rom_id,
                          access::DeviceState& state, ReadOutcome& outcome) {
  const bool tells_power_on = FamilyCode(rom_id) == "28";
  auto power_on = [&] {
    return tells_power_on ? access::DS18B20PowerOnScratchpad(state) : c.getTemperature(state) == 85;
  };
  if (!power_on()) return PowerOnCheck::Converted;
  if (tells_power_on) ++outcome.power_on;
  ++outcome.power_on_retries;
  UI().Sleep(std::chrono::milliseconds(50));
  state = c.readDevice();
  c.doTemperatureConvert(state);
  if (tells_power_on && power_on()) {
    ++outcome.power_on;
    outcome.value = false;
    LogBusError("1-Wire ERROR(ReadDev)",
                "ROM=" + rom_id +
                    " read the power-on value (85 C, no conversion) twice; the host keeps its "
                    "last value");
    return PowerOnCheck::Rejected;
  }
  return PowerOnCheck::ConvertedAgain;
}

void CountedRead(const std::string& rom_id,
                 const std::shared_ptr<access::OneWireContainer>& container,
                 const std::function<void(access::OneWireContainer&, ReadOutcome&)>& read) {
  const access::OneWireContainer::Tally before =
      container ? container->tally() : access::OneWireContainer::Tally{};
  ReadOutcome outcome;
  try {
    if (!container)
      throw access::AccessError(access::ErrorCode::NoObject, "1-Wire I/F",
                                "no container in slot 2");
    read(*container, outcome);
  } catch (const std::exception& e) {
    outcome.value = false;
    LogBusError("1-Wire ERROR(ReadDev)",
                "Error " + std::to_string(ErrorNumber(e)) + " " + e.what() + " ROM=" + rom_id);
  }
  HealthCounts add;
  add.reads = 1;
  if (container) {
    add.crc_errors = container->tally().crc_errors - before.crc_errors;
    add.retries = container->tally().retries - before.retries;
  }
  add.retries += outcome.power_on_retries;
  add.absences = outcome.absent ? 1 : 0;
  add.power_on_rejected = outcome.power_on;
  add.failed = outcome.value ? 0 : 1;
  if (outcome.value) NoteSeen(rom_id);
  CountHealth(rom_id, add);
}

namespace {

void ReadDevValues(DSROM& rom, const std::string& rom_id, int read_type,
                   access::OneWireContainer& c, ReadOutcome& outcome) {
  if (!c.isPresent()) {
    WriteLog(LogClass::Updates, "1-Wire I/F DDR", "Device not present: " + rom_id);
    outcome.value = false;
    outcome.absent = true;
    return;
  }
  const uint32_t caps = static_cast<uint32_t>(rom.Caps);

  if (caps & kCapCounter) {
    for (int n = 0; n < 4; ++n) {
      auto k = Channel(rom, rom_id + "K" + std::to_string(n));
      const double count = CounterValue(*k, static_cast<double>(c.readCounter(12 + n)),
                                        [&] { return static_cast<double>(c.readCounter(12 + n)); });
      if (UpdateHSDev(*k, count, "", true)) {
        WriteLog(LogClass::Updates, "1-Wire I/F DDR",
                 "Counter Update - " + k->ROM + " Value= " + Text(count));
      }
    }
    return;
  }

  if (caps & kCapPotentiometer) {
    const double position = c.getWiperPosition();
    auto t = Channel(rom, rom_id + "T");
    if (position != t->Reading) {
      UpdateHSDev(*t, position, "", true);
      const access::DeviceState state = c.readDevice();
      const double r = c.potentiometerResistance(state);
      rom.Comment = "Current R= " + FormatDecimals(r * position / 255, 1) + "k" +
                    "  Device R=" + Text(r) + (c.isLinear(state) ? " k (lin)." : " k (log).") +
                    "\r" +
                    (c.wiperSettingsAreVolatile(state) ? " Wiper settings are volatile."
                                                       : " Wiper settings are non-volatile.") +
                    (c.isChargePumpOn(state) ? " Charge pump enabled." : " Charge pump disabled.");
    }
    return;
  }

  WriteLog(LogClass::Trace, "1-Wire Debug Info DDR",
           "Calling readDevice, deviceState=  ROM= " + rom_id +
               " ReadType=" + std::to_string(read_type));
  access::DeviceState state = c.readDevice();
  const bool needs_state = (caps & kCapSwitch) ||
                           ((read_type & kReadTemperature) && (caps & kCapTemperature)) ||
                           ((read_type & (kReadCurrent | kReadAD)) && (caps & kCapCurrentSense));
  if (state.empty() && needs_state) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(ReadDev)", "DeviceState returned null");
    outcome.value = false;
    return;
  }
  WriteLog(LogClass::Trace, "1-Wire Debug Info DDR",
           "Returning from readDevice, deviceState= " + access::StateToHex(state) +
               " ROM= " + rom_id + " ReadType=" + std::to_string(read_type));

  if (caps & kCapSwitch) {
    const int channels = c.getNumberChannels(state);
    for (int ch = 0; ch < channels; ++ch) {
      const std::string n = std::to_string(ch);
      if (c.hasLevelSensing()) {
        const std::string level = c.getLevel(ch, state) ? "On" : "Off";
        auto pio = Channel(rom, rom_id + "P" + n);
        LogLevelToDatabase(*pio, level);
        UpdateHSDev(*pio, level);
        WriteLog(LogClass::Updates, "1-Wire I/F DDR",
                 "PIO Update - " + pio->ROM + " Value= " + level);
      }
      const std::string latch = c.getLatchState(ch, state) ? "On" : "Off";
      auto sw = Channel(rom, rom_id + "S" + n);
      UpdateHSDev(*sw, latch);
      WriteLog(LogClass::Updates, "1-Wire I/F DDR",
               "Switch Update - " + sw->ROM + " Value= " + latch);
    }
    // A thermometer with PIO lines goes on to its temperature.
    if (!(caps & kCapTemperature)) return;
  }

  if ((read_type & kReadTemperature) && (caps & kCapTemperature)) {
    const auto started = TheClock().MonotonicNow();
    WriteLog(LogClass::Trace, "1-Wire Debug Info DDR",
             "Calling doTemperatureConvert, deviceState= " + access::StateToHex(state));
    c.doTemperatureConvert(state);
    if (CheckPowerOn(c, rom_id, state, outcome) == PowerOnCheck::Rejected) return;
    WriteLog(LogClass::Trace, "1-Wire Debug Info DDR",
             "Returning from doTemperatureConvert, deviceState= " + access::StateToHex(state));
    PublishTemperature(rom, rom_id, c, state, started);
  }

  if ((read_type & kReadCurrent) && (caps & kCapCurrentSense)) {
    const auto started = TheClock().MonotonicNow();
    if (!c.getFlag(access::DS2438_IAD_FLAG)) c.setFlag(access::DS2438_IAD_FLAG, true);
    double v = RoundToDecimals(c.getCurrent(state) * 50);
    if (v == -250) v = 250;
    auto i = Channel(rom, rom_id + "I");
    v = RoundToDecimals(Calibrated(i->ROM, v));
    WriteLog(LogClass::Updates, "1-Wire I/F DDR",
             "Vsense update, device= " + i->ROM + " value= " + Text(v) +
                 "mV Poll time= " + Text(SecondsSince(started)) + "s");
    LogToDatabase(*i, v);
    UpdateHSDev(*i, v, "mV");
  }

  if ((read_type & kReadAD) && (caps & kCapCurrentSense)) {
    const std::string part = c.getName();
    if (part != "DS2438") {
      WriteLog(LogClass::Always, "1-Wire I/F", part + " not yet supported");
    } else {
      const auto started = TheClock().MonotonicNow();
      c.doADConvert(access::DS2438_CHANNEL_VDD, state);
      c.doADConvert(access::DS2438_CHANNEL_VAD, state);
      UI().Sleep(std::chrono::milliseconds(6));
      if (rom.DS2438Humid == 0) {
        auto g = Channel(rom, rom_id + "G");
        auto h = Channel(rom, rom_id + "H");
        const double vdd =
            RoundToDecimals(Calibrated(g->ROM, c.getADVoltage(access::DS2438_CHANNEL_VDD, state)));
        const double vad =
            RoundToDecimals(Calibrated(h->ROM, c.getADVoltage(access::DS2438_CHANNEL_VAD, state)));
        LogToDatabase(*g, vdd);
        UpdateHSDev(*g, vdd, "V");
        LogToDatabase(*h, vad);
        UpdateHSDev(*h, vad, "V");
        WriteLog(LogClass::Updates, "1-Wire I/F DDR",
                 "A/D update, Vdd= " + Text(vdd) + "V, Vad= " + Text(vad) +
                     "V Poll time= " + Text(SecondsSince(started)) + "s ROM=" + rom_id);
      } else {
        c.doTemperatureConvert(state);
        const double t = c.getTemperature(state);
        const double vdd = c.getADVoltage(access::DS2438_CHANNEL_VDD, state);
        const double vad = c.getADVoltage(access::DS2438_CHANNEL_VAD, state);
        double rh = 0;
        if (t > 0 && vdd != 0)
          rh = RoundToDecimals(((vad / vdd - 0.16) / 0.0062) / (1.0546 - 0.00216 * t));
        auto n = Channel(rom, rom_id + "N");
        rh = std::clamp(RoundToDecimals(Calibrated(n->ROM, rh)), 0.0, 100.0);
        WriteLog(LogClass::Updates, "1-Wire I/F DDR",
                 "A/D update, device = " + n->ROM + " Humidity = " + Text(rh) +
                     "% Poll time= " + Text(SecondsSince(started)) + "s ROM = " + n->ROM);
        UpdateHSDev(*n, rh, "%");
        LogToDatabase(*n, rh);
      }
    }
  }

  if ((read_type & kReadAD) && (caps & kCapADInput) && !(caps & kCapCurrentSense)) {
    // A battery monitor with one voltage input and no DS2438 (the DS2760): its Vad channel
    // shows the battery voltage, the device's A/D channel 0, which it measures on its own.
    const auto started = TheClock().MonotonicNow();
    c.doADConvert(0, state);
    auto h = Channel(rom, rom_id + "H");
    const double vad = RoundToDecimals(Calibrated(h->ROM, c.getADVoltage(0, state)));
    WriteLog(LogClass::Updates, "1-Wire I/F DDR",
             "A/D update, Vad= " + Text(vad) + "V Poll time= " + Text(SecondsSince(started)) +
                 "s ROM=" + rom_id);
    LogToDatabase(*h, vad);
    UpdateHSDev(*h, vad, "V");
  }

  if ((read_type & kReadAD) && (caps & kCapQuadAD)) {
    // The device state read above is current: nothing has used the bus since.
    if (state.empty()) {
      WriteLog(LogClass::CycleInfo, "1-Wire Error (RN)",
               "Devicestate returned Null ROM = " + rom_id);
      outcome.value = false;
      return;
    }
    bool converted = (read_type & kReadConverted) != 0;
    if (state.size() == access::DS2450Container::kStateSize) {
      OneWire().quad_ad_conversion[rom_id] =
          access::DS2450Container::AllChannelsConversionTime(state);
      for (int ch = 0; ch < 4 && converted; ++ch) {
        if (access::QuadADResultPreset(state, ch)) {
          converted = false;
          WriteLog(LogClass::CycleInfo, "1-Wire Cycle Info",
                   "ROM=" + rom_id +
                       " missed the bus-wide A/D conversion (a result still holds its preset); "
                       "converted on its own");
        }
      }
    } else {
      converted = false;
    }
    for (int ch = 0; ch < 4; ++ch) {
      const std::string letter(1, static_cast<char>(71 + ch));
      std::shared_ptr<DSDevice> output;
      for (const auto& d : rom.Devices->DevList) {
        if (d->ROM == rom_id + "S" + std::to_string(ch)) output = d;
      }
      if (output && output->dc != -1) {
        const std::string shown =
            c.isOutputEnabled(ch, state) && c.getOutputState(ch, state) ? "On" : "Off";
        if (shown != output->HSString) UpdateHSDev(*output, shown);
      }
      auto channel = Channel(rom, rom_id + letter);
      if (!channel->Initialized && Store().GetOr("InitDevice", channel->ROM, "") == "1") {
        int setting = 1;
        for (const char* key : {"Scale", "Res", "TripL", "TripH", "Output"}) {
          const std::string stored = Store().GetOr(channel->ROM, key, "None");
          // The stored number as it is: a resolution of 0.02 V or a limit of 1.5 V must not
          // be rounded to a whole volt.
          const double value = stored == "None" ? -1 : ReadNumber(stored);
          Plugin().parts.devices->AD4Adjust(ch, setting++, value, channel->ROM);
        }
        channel->Initialized = true;
        WriteLog(LogClass::ErrorsAlarms, "1-Wire (DDR)", "ROM " + channel->ROM + " initialzed");
        state = c.readDevice();
        converted = false;  // set up after the conversion: its results are of the old settings
      }
      if (!converted) c.doADConvert(ch, state);
      ReportQuadChannel(*channel, Calibrated(channel->ROM, c.getADVoltage(ch, state)), false,
                        c.isADOverRange(ch, state));
    }
  }
}

}  // namespace

void ReadDev(DSROM& rom, const std::string& rom_id, int read_type,
             std::shared_ptr<access::OneWireContainer> container) {
  CountedRead(rom_id, container, [&](access::OneWireContainer& c, ReadOutcome& outcome) {
    ReadDevValues(rom, rom_id, read_type, c, outcome);
  });
}

}  // namespace qb
