#include "onewire/read_cycle.h"

#include "catalogue/family_catalogue.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/adapter_outage.h"
#include "onewire/adapter_setup.h"
#include "onewire/bus_scan.h"
#include "onewire/bus_wide_conversion.h"
#include "onewire/device_config.h"
#include "onewire/device_health.h"
#include "onewire/device_reading.h"
#include "onewire/onewire_state.h"
#include "platform/clock.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb {

namespace {

enum Kind { kTemp = 0, kAD = 1, kVsense = 2 };

}  // namespace

void OneWireDeviceOperations::GetDevices() {
  qb::GetDevices();
}

void OneWireDeviceOperations::SetSwitch(const ChannelRef& channel, bool on) {
  if (auto record = gROMs().FindDev(channel.key)) qb::SetSwitch(*record, on);
}

void OneWireDeviceOperations::SetPot(const ChannelRef& channel, int32_t wiper, bool) {
  if (auto record = gROMs().FindDev(channel.key)) qb::SetPot(*record, wiper);
}

void OneWireDeviceOperations::AD4Adjust(int channel, int setting, double value,
                                        const std::string& key) {
  qb::AD4Adjust(channel, setting, value, key);
}

void OneWireDeviceOperations::WriteOutput(const ChannelRef& channel, int16_t, int16_t) {
  if (auto record = gROMs().FindDev(channel.key)) qb::ReadChannel(*record);
}

void OneWireBusCycle::CheckPresence() {
  qb::CheckPresence();
}

void ReadNet() {
  PluginState& p = Plugin();
  OneWireState& w = OneWire();
  // Held for the whole cycle: requests handled while it waits may restart the adapter.
  const auto adapter = w.adapter;
  if (!adapter) return;
  const Settings& s = p.settings;
  PrepAdapter(0, false, true, false);
  try {
    auto& counter = w.cycle_counters;
    auto& last = w.read_positions;
    for (int& c : counter) ++c;
    const int every[3] = {s.PollTemp, s.PollAD, s.PollI};
    bool due[3];
    for (int k = 0; k < 3; ++k) due[k] = every[k] > 0 && counter[k] >= every[k];
    const bool any_due = due[kTemp] || due[kAD] || due[kVsense];
    if (any_due) {
      const char* cat = "1-Wire Level Cycle Info";
      WriteLog(LogClass::CycleDetail, cat,
               "Current Temp Cycle=" + std::to_string(counter[kTemp]) + " Poll Temp every " +
                   std::to_string(s.PollTemp) + " cycles");
      WriteLog(LogClass::CycleDetail, cat,
               "Current AD Cycle=" + std::to_string(counter[kAD]) + " Poll AD every " +
                   std::to_string(s.PollAD) + " cycles");
      WriteLog(LogClass::CycleDetail, cat,
               "Current Vsense Cycle=" + std::to_string(counter[kVsense]) + " Poll Vsense every " +
                   std::to_string(s.PollI) + " cycles");

      const auto walk_started = TheClock().MonotonicNow();
      int index[3] = {0, 0, 0};
      // The walk holds its own references: a web request during a pause may change the registry.
      const auto roms = gROMs().ROMlist;
      // With bus-wide conversion every thermometer it measured is read in this walk; the others
      // go on in turn.
      std::optional<BusWideConversion> bus_wide;
      if (due[kTemp] && s.BusConvert == 1 && !p.ExternalBusy) bus_wide = ConvertBusWide(roms);
      // The A/D converters are read in every walk: with bus-wide conversion, one Convert for all.
      std::set<std::string> quad_converted;
      if (s.BusConvert == 1 && !p.ExternalBusy) quad_converted = ConvertQuadADBusWide(roms);
      for (const auto& rom : roms) {
        if (p.ExternalBusy) break;
        const std::string rom_id = rom->ROM;
        if (!SetupContainer(rom_id, 2, false)) {
          WriteLog(LogClass::CycleDetail, "1-Wire Error(ReadNet SetupContainerFailed)",
                   "ROM=" + rom_id);
          continue;
        }
        // The cycle's own reference: a command handled while it waits may bind slot 2 again.
        const auto container = SlotContainer(2);
        if (!container) continue;
        access::OneWireContainer& c = *container;
        const uint32_t caps = static_cast<uint32_t>(rom->Caps);
        if (caps & kCapTemperature) ++index[kTemp];
        // The A/D poll reads the devices with voltage channels: the DS2438's supply voltage
        // (and Vad or humidity with it), and a device with a voltage input alone (the DS2760).
        const bool ad_device =
            (caps & kCapSupplyVoltage) || ((caps & kCapADInput) && !(caps & kCapQuadAD));
        if (ad_device) ++index[kAD];
        if (c.getName() == "DS2438") ++index[kVsense];

        bool present = false;
        try {
          present = c.isPresent();
        } catch (const std::exception&) {
        }
        NotePresence(*rom, present);
        if (present) {
          NoteSeen(rom_id);
          WriteLog(LogClass::Trace, "1-Wire Debug",
                   "ROM=" + rom_id + " Capabilities=" + std::to_string(rom->Caps));
          if (rom->ShowID == 1) {
            // A device that was away and is back shows "On" again (it is written only on a change).
            auto self = gROMs().FindDev(rom_id);
            if (self && self->dc != -1) UpdateHSDev(*self, std::string("On"));
          }
          // A thermometer the bus-wide conversion measured is read once in this walk: by the
          // alarm reaction when it reads an alarming one at once, else with the others below.
          const bool converted = bus_wide && bus_wide->converted.count(rom_id);
          bool read_for_alarm = false;
          if ((caps & kCapTemperature) && FamilyCode(rom_id) != "21") {
            try {
              if (c.IsAlarming()) {
                p.parts.alarms->DeviceAlarming(rom_id, [&] {
                  if (converted) {
                    read_for_alarm = true;
                    ReadConvertedThermometer(*rom, rom_id, container, *bus_wide);
                  } else {
                    ReadDev(*rom, rom_id, kReadTemperature, container);
                  }
                });
              } else {
                p.parts.alarms->DeviceNotAlarming(rom_id);
              }
            } catch (const std::exception&) {
            }
          }
          struct Due {
            Kind kind;
            uint32_t cap;
            int read_type;
            const char* name;
            const char* last_name;
            const char* this_name;
          };
          const Due kinds[] = {
              {kTemp, kCapTemperature, kReadTemperature,
               "Temp Poll - ROM=", " Last T ROM=", " This Time="},
              {kAD, kCapSupplyVoltage, kReadAD, "AD Poll - ROM=", " Last AD ROM=", " This Time="},
              {kVsense, kCapCurrentSense, kReadCurrent,
               "Vsense Poll - ROM=", " Last Vsense ROM=", " This time="}};
          for (const Due& d : kinds) {
            const bool of_kind = d.kind == kAD ? ad_device : (caps & d.cap) != 0;
            if (!of_kind) continue;
            if (d.kind == kTemp && converted) {
              if (!read_for_alarm) ReadConvertedThermometer(*rom, rom_id, container, *bus_wide);
              continue;
            }
            if (!due[d.kind] || counter[d.kind] < every[d.kind]) continue;
            if (index[d.kind] <= last[d.kind]) continue;
            WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
                     std::string(d.name) + rom_id + d.last_name + std::to_string(last[d.kind]) +
                         d.this_name + std::to_string(index[d.kind]));
            last[d.kind] = index[d.kind];
            counter[d.kind] = 0;
            ReadDev(*rom, rom_id, d.read_type, container);
          }
          if (caps & kCapQuadAD) {
            const int converted = quad_converted.count(rom_id) ? kReadConverted : 0;
            ReadDev(*rom, rom_id, kReadAD | converted, container);
          }
          if (caps & kCapCounter) ReadDev(*rom, rom_id, 0, container);
          if (caps & kCapPotentiometer) ReadDev(*rom, rom_id, 0, container);
          if (caps & kCapSwitch) {
            access::DeviceState state = c.readDevice();
            const int n = c.getNumberChannels(state);
            for (int ch = 0; ch < n; ++ch) {
              auto sw = gROMs().FindDev(rom_id + "S" + std::to_string(ch));
              if (sw) UpdateHSDev(*sw, std::string(c.getLatchState(ch, state) ? "On" : "Off"));
            }
          }
        } else {
          WriteLog(LogClass::Trace, "1-Wire Debug", rom_id + " NOT PRESENT (Read Net)");
          // Its turn in the round passes to the next device of its kind: left waiting, it would
          // hold up every device before it in the list for as long as it is away.
          const bool of_kind[3] = {(caps & kCapTemperature) != 0, ad_device,
                                   (caps & kCapCurrentSense) != 0};
          for (int k = 0; k < 3; ++k) {
            if (of_kind[k] && due[k] && counter[k] >= every[k] && index[k] > last[k])
              last[k] = index[k];
          }
          HealthCounts absent;
          absent.reads = 1;
          absent.absences = 1;
          absent.failed = 1;
          CountHealth(rom_id, absent);
          KeepLastSeen(rom_id);
          if (rom->ShowID == 1) {
            auto self = gROMs().FindDev(rom_id);
            if (self && self->dc != -1) UpdateHSDev(*self, std::string("Off"));
          }
        }
      }

      WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
               "Last T ROM=" + std::to_string(last[kTemp]) +
                   " Total Temp Devices=" + std::to_string(index[kTemp]));
      WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
               "Last AD ROM=" + std::to_string(last[kAD]) +
                   " Total AD Devices=" + std::to_string(index[kAD]));
      WriteLog(LogClass::CycleDetail, "1-Wire Cycle Info",
               "Last Vsense ROM=" + std::to_string(last[kVsense]) +
                   " Total VSense Devices=" + std::to_string(index[kVsense]));
      if (bus_wide) counter[kTemp] = 0;
      TheBusHealth().cycle_seconds_sum +=
          std::chrono::duration<double>(TheClock().MonotonicNow() - walk_started).count();
      ++TheBusHealth().cycles;
      for (int k = 0; k < 3; ++k) {
        w.totals[k] = index[k];
        if (last[k] >= index[k]) last[k] = 0;
        if (index[k] == 0 || counter[k] > every[k]) counter[k] = 0;
      }
    }
  } catch (const std::exception& e) {
    LogBusError("1-Wire ERROR(ReadNet)",
                "Error " + std::to_string(ErrorNumber(e)) + " 1-Wire I/F " + e.what());
  }
  ReleaseContainer(2);
  adapter->endExclusive();
}

}  // namespace qb
