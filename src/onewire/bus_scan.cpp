#include "onewire/bus_scan.h"

#include "access/errors.h"
#include "access/families.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/adapter_setup.h"
#include "onewire/device_reading.h"
#include "onewire/family_catalogue.h"
#include "onewire/onewire_state.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb {

namespace {

// Ends the scan: an error that is neither a bus failure nor a missing operation.
struct ScanAbort {
  std::string message;
};

// The scan is over because another operation took the bus.
struct ScanYield {};

void CheckBusy() {
  if (Plugin().ExternalBusy) throw ScanYield{};
}

// Runs one step of the scan of a device: bus failures and operations the device does not have
// skip the step; a lost container is set up again; anything else ends the scan.
template <typename F>
void Step(const std::string& rom_id, F&& step) {
  try {
    step();
  } catch (const access::AccessError& e) {
    if (e.code() == access::ErrorCode::NoObject) {
      SetupContainer(rom_id, 1, false);
      return;
    }
    if (e.code() == access::ErrorCode::GeneralFailure ||
        e.code() == access::ErrorCode::NotSupported)
      return;
    throw ScanAbort{"Error " + std::to_string(e.number()) + " " + e.source() + " " + e.what() +
                    " ROM=" + rom_id};
  } catch (const ScanYield&) {
    throw;
  } catch (const ScanAbort&) {
    throw;
  } catch (const std::exception& e) {
    throw ScanAbort{"Error " + std::to_string(ErrorNumber(e)) + " 1-Wire I/F " + e.what() +
                    " ROM=" + rom_id};
  }
}

// Creates the host device of a channel when it has none.
void CreateMissing(const std::string& key, const std::string& part, const std::string& status) {
  auto record = gROMs().FindDev(key);
  if (record && record->dc == -1)
    CreateHSDevice(*record, part, status,
                   key.size() > 16 ? key.substr(0, 16) + ChannelNameSuffix(key) : key);
}

bool HasHostDevice(const std::string& key) {
  auto rom = gROMs().FindParent(key);
  if (!rom) return false;
  for (const auto& d : rom->Devices->DevList) {
    if (d->ROM == key) return d->dc != -1;
  }
  return false;
}

// The new channels of a device, on the enumeration tick.
void CreateChannels(DSROM& rom, const std::string& rom_id, const std::string& part) {
  const uint32_t caps = static_cast<uint32_t>(rom.Caps);
  if (caps & kCapQuadAD) {
    for (const char* letter : {"G", "H", "I", "J"}) CreateMissing(rom_id + letter, part, "0");
  }
  if (part != "DS2438") {
    if (caps & kCapSupplyVoltage) CreateMissing(rom_id + "G", part, "0");
    if (caps & kCapADInput) CreateMissing(rom_id + "H", part, "0");
  } else {
    if (!HasHostDevice(rom_id + "N") && !HasHostDevice(rom_id + "G")) {
      Question q;
      q.id = "ds2438-humidity";
      q.text = "Would you like the device " + rom_id + "\nto be represented as a humidity sensor?";
      q.headless_answer = true;
      const bool humidity = UI().Ask(q);
      Store().Set("DS2438", rom_id, humidity ? "1" : "0");
      rom.DS2438Humid = humidity ? 1 : 0;
    }
    if (rom.DS2438Humid == 1) {
      CreateMissing(rom_id + "N", part, "0");
    } else {
      if (caps & kCapSupplyVoltage) CreateMissing(rom_id + "G", part, "0");
      if (caps & kCapADInput) CreateMissing(rom_id + "H", part, "0");
    }
  }
  if (caps & kCapTemperature) CreateMissing(rom_id + "M", part, "0");
  if (caps & kCapCurrentSense) CreateMissing(rom_id + "I", part, "0");
}

void ScanDevice(access::DSPortAdapter& adapter, bool enumeration, bool dialog_open, int& found) {
  PluginState& p = Plugin();
  OneWireState& w = OneWire();
  CheckBusy();
  const std::string rom_id = adapter.getAddressAsString();
  if (rom_id.substr(0, 8) == "FFFFFFFF" || rom_id == "0000000000000000") return;
  if (p.settings.Alarming && !enumeration && !dialog_open) {
    WriteLog(LogClass::CycleDetail, "1-Wire I/F (GD)", "Alarming Device Found: " + rom_id);
  }
  ++found;
  if (!SetupContainer(rom_id, 1, false)) return;
  auto rom = gROMs().Find(rom_id);
  std::string part;
  Step(rom_id, [&] { part = w.slots[1]->getName(); });
  WriteLog(LogClass::Trace, "1-Wire Debug (GD)", part + " Found, ROM = " + rom_id);
  const uint32_t caps = static_cast<uint32_t>(rom->Caps);

  if (rom->ShowID == 1) Step(rom_id, [&] { CreateMissing(rom_id, part, "On"); });

  if (enumeration) {
    CheckBusy();
    Step(rom_id, [&] { CreateChannels(*rom, rom_id, part); });
  }

  auto read_in_slot2 = [&](int read_type) {
    w.slots[2] = access::CreateContainer(w.slots[1]->getAddress().family());
    w.slots[2]->SetupContainer(w.adapter.get(), rom_id);
    ReadDev(*rom, rom_id, read_type);
  };

  if (caps & kCapCounter) {
    Step(rom_id, [&] {
      if (!HasHostDevice(rom_id + "K0")) {
        for (int n = 0; n < 4; ++n) CreateMissing(rom_id + "K" + std::to_string(n), part, "0");
      }
      read_in_slot2(0);
    });
  }

  if (caps & kCapSwitch) {
    Step(rom_id, [&] {
      access::OneWireContainer& c = *w.slots[1];
      WriteLog(LogClass::Trace, "1-Wire Debug (GD)", "Reading Switch = " + rom_id);
      access::DeviceState state = c.readDevice();
      const int n = c.getNumberChannels(state);
      WriteLog(LogClass::Trace, "1-Wire Debug (GD)",
               rom_id + " Number of channels = " + std::to_string(n));
      for (int ch = 0; ch < n; ++ch) {
        const std::string digit = std::to_string(ch);
        if (enumeration) CreateMissing(rom_id + "S" + digit, part, "0");
        if (c.hasLevelSensing()) {
          if (enumeration) CreateMissing(rom_id + "P" + digit, part, "0");
          WriteLog(LogClass::Trace, "1-Wire Debug (GD)",
                   "Getting Levels ROM = " + rom_id + " PIO = " + digit);
          const std::string level = c.getLevel(ch, state) ? "On" : "Off";
          auto pio = gROMs().FindDev(rom_id + "P" + digit);
          if (pio->LogtoDB == 1 && p.settings.chkDBLog &&
              (!p.settings.chkChanges || level != pio->HSString)) {
            p.parts.database->LogValue(pio->ROM, level == "On" ? 1 : 0);
          }
          if (UpdateHSDev(*pio, level))
            WriteLog(LogClass::Updates, "1-Wire I/F",
                     "PIO Update - " + pio->ROM + " Value= " + level);
        }
        Loop().DoEvents();
      }
      if (FamilyCode(rom_id) == "12") {
        WriteLog(LogClass::Trace, "1-Wire Debug (GD)", "Resetting Activity ROM = " + rom_id);
        c.clearActivity();
        state = c.readDevice();
        c.setSearchConditions(access::CHANNEL_BOTH, access::SOURCE_ACTIVITY_LATCH,
                              access::POLARITY_ONE, state);
        c.writeDevice(state);
        WriteLog(LogClass::Trace, "1-Wire Debug (GD)", "Write state to " + rom_id);
      }
    });
  }

  if (caps & kCapPotentiometer) {
    Step(rom_id, [&] {
      access::OneWireContainer& c = *w.slots[1];
      if (!HasHostDevice(rom_id + "T")) {
        auto t = gROMs().FindDev(rom_id + "T");
        CreateHSDevice(*t, part, std::to_string(c.getWiperPosition()), rom_id + "-Pot");
      }
      const int position = c.getWiperPosition();
      if (position != 0) {
        c.decrement();
        c.increment();
      } else {
        c.increment();
      }
      const double now = c.getWiperPosition();
      auto t = gROMs().FindDev(rom_id + "T");
      if (now != t->Reading) UpdateHSDev(*t, now, "", true);
    });
  }

  if (caps & kCapQuadAD) {
    Step(rom_id, [&] {
      access::OneWireContainer& c = *w.slots[1];
      if (!c.IsAlarming()) return;
      access::DeviceState state = c.readDevice();
      for (int type = 0; type <= 1; ++type) {
        for (int ch = 0; ch < 4; ++ch) {
          if (!c.hasADAlarmed(ch, type, state)) continue;
          auto channel = gROMs().FindDev(rom_id + std::string(1, static_cast<char>(71 + ch)));
          c.doADConvert(ch, state);
          const double v = RoundToDecimals(c.getADVoltage(ch, state));
          UpdateHSDev(*channel, v, "V");
          if (channel->LogtoDB == 1 && p.settings.chkDBLog)
            p.parts.database->LogValue(channel->ROM, v);
        }
      }
    });
  }

  CheckBusy();
  if (p.TimerLoop % 10 == 0 && (caps & kCapTemperature) && FamilyCode(rom_id) != "21") {
    Step(rom_id, [&] {
      access::OneWireContainer& c = *w.slots[1];
      if (p.settings.PollAlarming && c.HasAlarms() && c.IsAlarming()) read_in_slot2(kReadAll);
    });
  }
  Loop().DoEvents();
}

}  // namespace

void GetDevices() {
  PluginState& p = Plugin();
  OneWireState& w = OneWire();
  if (!w.adapter) return;
  bool dialog_open = false;
  try {
    dialog_open = p.parts.dialog->IsOpen();
  } catch (const std::exception&) {
  }
  const bool enumeration = p.TimerLoop == 2;
  int found = 0;
  access::DSPortAdapter& adapter = *w.adapter;
  try {
    bool more;
    if (!dialog_open && !enumeration && p.settings.Alarming) {
      PrepAdapter(0, true, false, false);
      more = adapter.findFirstDevice();
    } else {
      PrepAdapter(0, false, false, true);
      more = true;  // the loop first handles whatever address the adapter reports
    }
    while (more) {
      ScanDevice(adapter, enumeration, dialog_open, found);
      more = adapter.findNextDevice();
    }
  } catch (const ScanYield&) {
    return;  // another operation has the bus now
  } catch (const ScanAbort& abort) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(GetDevices)", abort.message);
    ReleaseContainer(1);
    adapter.endExclusive();
    return;
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(GetDevices)",
             "Error " + std::to_string(ErrorNumber(e)) + " 1-Wire I/F " + e.what() +
                 " ROM=" + adapter.getAddressAsString());
    ReleaseContainer(1);
    adapter.endExclusive();
    return;
  }
  ReleaseContainer(1);
  adapter.endExclusive();
  if (!enumeration && found != w.scan_alarming_count) {
    w.scan_alarming_count = found;
    if (p.settings.Alarming && !dialog_open) {
      WriteLog(LogClass::CycleDetail, "1-Wire Debug Info (GD)",
               "Number of Alarming 1-Wire devices found: " + std::to_string(found));
    }
  }
  if (enumeration && found != w.scan_device_count) {
    w.scan_device_count = found;
    WriteLog(LogClass::CycleDetail, "1-Wire Debug Info (GD)",
             "Number of 1-Wire devices found: " + std::to_string(found));
  }
}

}  // namespace qb
