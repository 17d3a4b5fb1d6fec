#include "onewire/bus_scan.h"

#include <set>
#include <string>

#include "access/errors.h"
#include "access/families.h"
#include "catalogue/family_catalogue.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/adapter_outage.h"
#include "onewire/adapter_setup.h"
#include "onewire/chain_order.h"
#include "onewire/device_reading.h"
#include "onewire/humidity_choice.h"
#include "onewire/onewire_state.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/value_text.h"
#include "registry/value_update.h"

namespace qb {

namespace {

// Ends the scan: an error that is neither a bus failure nor a missing operation.
struct ScanAbort {
  std::string message;
};

// The scan is over because another operation took the bus.
struct ScanYield {};

// How often one scan searches again after another operation reset its search.
constexpr int kMaxSearchRestarts = 10;

// Another operation that prepared the bus since the scan did (a command handled while the scan
// waited) has reset the search under it: the step stops as it does for a busy flag, and the scan
// decides whether to search again.
void CheckBusy() {
  if (Plugin().ExternalBusy || OneWire().bus_claims != OneWire().scan_claim) throw ScanYield{};
}

// Runs one step of the scan of a device: bus failures and operations the device does not have
// skip the step; a lost container is set up again (into `container`, the scan's own reference);
// anything else ends the scan.
template <typename F>
void Step(const std::string& rom_id, std::shared_ptr<access::OneWireContainer>& container,
          F&& step) {
  try {
    step();
  } catch (const access::AccessError& e) {
    if (e.code() == access::ErrorCode::NoObject) {
      if (SetupContainer(rom_id, 1, false)) container = SlotContainer(1);
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

// The channel record of a key. Null when it cannot be made (a host device that belongs to it
// could not be adopted, say from a hand-edited device table): the caller skips the channel, and
// the first time for each key this is logged.
std::shared_ptr<DSDevice> Record(const std::string& key) {
  auto record = gROMs().FindDev(key);
  if (!record && OneWire().unusable_keys.insert(key).second) {
    WriteLog(
        LogClass::ErrorsAlarms, "1-Wire ERROR(GetDevices)",
        "No record for " + key + ": its host device could not be adopted; the channel is skipped");
  }
  return record;
}

// Creates the host device of a channel when it has none.
void CreateMissing(const std::string& key, const std::string& part, const std::string& status) {
  auto record = Record(key);
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

void AskHumidity(const std::string& rom_id, bool supposed) {
  Question q;
  q.id = "ds2438-humidity";
  q.text = "Would you like the device " + rom_id + "\nto be represented as a humidity sensor?";
  q.headless_answer = supposed;
  const bool humidity = UI().Ask(q);
  if (humidity != supposed)
    ChooseHumidityRepresentation(rom_id, humidity);
  else
    Store().Set("DS2438", rom_id, humidity ? "1" : "0");
}

// Asks whether a battery monitor is a humidity sensor: at once when nobody has to answer, else on
// the event loop after the scan (until then the scan goes on with the representation supposed). An
// answer other than the one supposed changes the device's representation: the other one's host
// devices go, and the next enumeration creates the chosen ones.
void AskHumidityAfterScan(const std::string& rom_id, bool supposed) {
  if (UI().AnswersAtOnce() || !Plugin().services.loop) return AskHumidity(rom_id, supposed);
  // Posted tasks also run in the pauses of the scan itself: the question waits for the bus to
  // be free.
  Loop().Post([rom_id, supposed] {
    if (Plugin().TimerBusy || Plugin().ExternalBusy)
      AskHumidityAfterScan(rom_id, supposed);
    else
      AskHumidity(rom_id, supposed);
  });
}

// The new channels of a device, on the enumeration tick.
void CreateChannels(DSROM& rom, const std::string& rom_id, const std::string& part) {
  const uint32_t caps = static_cast<uint32_t>(rom.Caps);
  if (caps & kCapQuadAD) {
    for (const char* letter : {"G", "H", "I", "J"})
      CreateMissing(rom_id + letter, part, kNoReadingText);
  }
  if (part != "DS2438") {
    if (caps & kCapSupplyVoltage) CreateMissing(rom_id + "G", part, kNoReadingText);
    if (caps & kCapADInput) CreateMissing(rom_id + "H", part, kNoReadingText);
  } else {
    if (!HasHostDevice(rom_id + "N") && !HasHostDevice(rom_id + "G") &&
        OneWire().humidity_asked.insert(rom_id).second) {
      // Until it is answered the device is what the settings hold for it, else a humidity
      // sensor (also the answer without a desktop). The question is asked once the scan is
      // over: asked in the middle of it, it would hold the bus and stop polling until answered.
      const auto stored = Store().Get("DS2438", rom_id);
      const bool supposed = stored ? ReadNumber(*stored) != 0 : true;
      rom.DS2438Humid = supposed ? 1 : 0;
      AskHumidityAfterScan(rom_id, supposed);
    }
    if (rom.DS2438Humid == 1) {
      CreateMissing(rom_id + "N", part, kNoReadingText);
    } else {
      if (caps & kCapSupplyVoltage) CreateMissing(rom_id + "G", part, kNoReadingText);
      if (caps & kCapADInput) CreateMissing(rom_id + "H", part, kNoReadingText);
    }
  }
  if (caps & kCapTemperature) CreateMissing(rom_id + "M", part, kNoReadingText);
  if (caps & kCapCurrentSense) CreateMissing(rom_id + "I", part, kNoReadingText);
}

// The scan's keep-alive of a potentiometer: a step down and back up, or one step up from 0. A
// failed read between the steps must not leave the wiper a step lower for good: on any error the
// position read before is written back (checked by the device's echo), then the error goes on.
void StepWiper(access::OneWireContainer& c) {
  const int position = c.getWiperPosition();
  try {
    if (position != 0) {
      c.decrement();
      c.increment();
    } else {
      c.increment();
    }
  } catch (const std::exception&) {
    const int wanted = position != 0 ? position : 1;
    for (int attempt = 0; attempt < 3; ++attempt) {
      try {
        if (c.setWiperPosition(wanted)) break;
      } catch (const access::AccessError&) {
      }
    }
    throw;
  }
}

// The work of one device found by the scan (all but the search).
void ScanDeviceSteps(const std::string& rom_id, bool enumeration) {
  PluginState& p = Plugin();
  if (!SetupContainer(rom_id, 1, false)) return;
  // The scan's own references to the container and the record: commands and pages handled while
  // the scan waits may bind slot 1 again or change the registry.
  auto container = SlotContainer(1);
  if (!container) return;
  auto rom = gROMs().Find(rom_id);
  if (!rom) return;
  std::string part;
  Step(rom_id, container, [&] { part = container->getName(); });
  WriteLog(LogClass::Trace, "1-Wire Debug (GD)", part + " Found, ROM = " + rom_id);
  const uint32_t caps = static_cast<uint32_t>(rom->Caps);

  if (rom->ShowID == 1) Step(rom_id, container, [&] { CreateMissing(rom_id, part, "On"); });

  if (enumeration) {
    CheckBusy();
    Step(rom_id, container, [&] { CreateChannels(*rom, rom_id, part); });
  }

  auto read_in_slot2 = [&](int read_type) {
    auto reader = MakeContainer(rom_id);
    OneWire().slots[2] = reader;
    ReadDev(*rom, rom_id, read_type, reader);
  };

  if (caps & kCapCounter) {
    Step(rom_id, container, [&] {
      if (!HasHostDevice(rom_id + "K0")) {
        for (int n = 0; n < 4; ++n)
          CreateMissing(rom_id + "K" + std::to_string(n), part, kNoReadingText);
      }
      read_in_slot2(0);
    });
  }

  if (caps & kCapSwitch) {
    Step(rom_id, container, [&] {
      access::OneWireContainer& c = *container;
      WriteLog(LogClass::Trace, "1-Wire Debug (GD)", "Reading Switch = " + rom_id);
      access::DeviceState state = c.readDevice();
      const int n = c.getNumberChannels(state);
      WriteLog(LogClass::Trace, "1-Wire Debug (GD)",
               rom_id + " Number of channels = " + std::to_string(n));
      for (int ch = 0; ch < n; ++ch) {
        const std::string digit = std::to_string(ch);
        if (enumeration) CreateMissing(rom_id + "S" + digit, part, kNoReadingText);
        if (c.hasLevelSensing()) {
          if (enumeration) CreateMissing(rom_id + "P" + digit, part, kNoReadingText);
          WriteLog(LogClass::Trace, "1-Wire Debug (GD)",
                   "Getting Levels ROM = " + rom_id + " PIO = " + digit);
          const std::string level = c.getLevel(ch, state) ? "On" : "Off";
          auto pio = Record(rom_id + "P" + digit);
          if (!pio) continue;
          LogLevelToDatabase(*pio, level);
          if (UpdateHSDev(*pio, level))
            WriteLog(LogClass::Updates, "1-Wire I/F",
                     "PIO Update - " + pio->ROM + " Value= " + level);
        }
        Loop().DoEvents();
      }
      if (FamilyWatchesActivity(rom_id)) {
        // The levels are read: clear the activity latches and arm the conditional search on
        // them, so that the next change at any input is found by the next alarm search.
        WriteLog(LogClass::Trace, "1-Wire Debug (GD)", "Resetting Activity ROM = " + rom_id);
        c.clearActivity();
        state = c.readDevice();
        const int watched = n > 2 ? (1 << n) - 1 : access::CHANNEL_BOTH;
        c.setSearchConditions(watched, access::SOURCE_ACTIVITY_LATCH, access::POLARITY_ONE, state);
        c.writeDevice(state);
        WriteLog(LogClass::Trace, "1-Wire Debug (GD)", "Write state to " + rom_id);
      }
    });
  }

  if (caps & kCapPotentiometer) {
    Step(rom_id, container, [&] {
      access::OneWireContainer& c = *container;
      // CreateMissing leaves a record that adopted the host device of an earlier run alone.
      if (!HasHostDevice(rom_id + "T"))
        CreateMissing(rom_id + "T", part, std::to_string(c.getWiperPosition()));
      StepWiper(c);
      const double now = c.getWiperPosition();
      auto t = Record(rom_id + "T");
      if (t && now != t->Reading) UpdateHSDev(*t, now, "", true);
    });
  }

  if (caps & kCapQuadAD) {
    Step(rom_id, container, [&] {
      access::OneWireContainer& c = *container;
      if (!c.IsAlarming()) return;
      access::DeviceState state = c.readDevice();
      for (int type = 0; type <= 1; ++type) {
        for (int ch = 0; ch < 4; ++ch) {
          if (!c.hasADAlarmed(ch, type, state)) continue;
          auto channel = Record(rom_id + std::string(1, static_cast<char>(71 + ch)));
          if (!channel) continue;
          c.doADConvert(ch, state);
          ReportQuadChannel(*channel, c.getADVoltage(ch, state), true, c.isADOverRange(ch, state));
        }
      }
    });
  }

  CheckBusy();
  if (p.TimerLoop % 10 == 0 && (caps & kCapTemperature) && FamilyCode(rom_id) != "21") {
    Step(rom_id, container, [&] {
      access::OneWireContainer& c = *container;
      if (p.settings.PollAlarming && c.HasAlarms() && c.IsAlarming()) read_in_slot2(kReadAll);
    });
  }
  Loop().DoEvents();
}

// What one scan has done so far: the devices it found, and those it went through to the end.
// A scan whose search was reset under it searches again and skips the devices it has done.
struct ScanProgress {
  std::set<std::string> found;
  std::set<std::string> done;
};

void ScanDevice(access::DSPortAdapter& adapter, bool enumeration, bool dialog_open,
                ScanProgress& progress) {
  PluginState& p = Plugin();
  CheckBusy();
  const std::string rom_id = adapter.getAddressAsString();
  if (rom_id.substr(0, 8) == "FFFFFFFF" || rom_id == "0000000000000000") return;
  if (progress.done.count(rom_id) != 0) return;
  if (progress.found.insert(rom_id).second && p.settings.Alarming && !enumeration && !dialog_open) {
    WriteLog(LogClass::CycleDetail, "1-Wire I/F (GD)", "Alarming Device Found: " + rom_id);
  }
  ScanDeviceSteps(rom_id, enumeration);
  progress.done.insert(rom_id);
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
  // The enumeration tick is the third of a poll cycle. When ticks take longer than the cycle
  // (a large bus, a slow database) every tick begins a new cycle and that tick never comes, and a
  // scan the bus was taken from ends early: a cycle that passed without a whole enumeration is
  // made up on the next tick, so new devices get their host devices all the same.
  const bool enumeration = p.TimerLoop == 2 || p.PollCycles - w.enumerated_cycle >= 2;
  ScanProgress progress;
  // Held for the whole scan: requests handled while it waits may restart the adapter.
  const auto held = w.adapter;
  access::DSPortAdapter& adapter = *held;
  const bool alarm_search = !dialog_open && !enumeration && p.settings.Alarming;
  auto start_search = [&] {
    if (alarm_search) {
      PrepAdapter(0, true, false, false);
      w.scan_claim = w.bus_claims;
      return adapter.findFirstDevice();
    }
    PrepAdapter(0, false, false, true);
    w.scan_claim = w.bus_claims;
    return true;  // the loop first handles whatever address the adapter reports
  };
  try {
    bool more = start_search();
    int restarts = 0;
    while (more) {
      try {
        ScanDevice(adapter, enumeration, dialog_open, progress);
        CheckBusy();
        more = adapter.findNextDevice();
      } catch (const ScanYield&) {
        // An operation that still holds the bus ends the scan. One that prepared the bus during
        // a pause and is done has only reset the search: search again and go on past the devices
        // done, a few times at most, so a bus in constant use cannot hold the scan for long.
        if (p.ExternalBusy || p.ShutdownRequested || w.adapter != held ||
            ++restarts > kMaxSearchRestarts)
          throw;
        WriteLog(LogClass::Trace, "1-Wire Debug (GD)",
                 "Search reset by another bus operation; searching again past " +
                     std::to_string(progress.done.size()) + " device(s) done");
        more = start_search();
      }
    }
  } catch (const ScanYield&) {
    return;  // another operation has the bus now
  } catch (const ScanAbort& abort) {
    LogBusError("1-Wire ERROR(GetDevices)", abort.message);
    ReleaseContainer(1);
    adapter.endExclusive();
    return;
  } catch (const std::exception& e) {
    LogBusError("1-Wire ERROR(GetDevices)", "Error " + std::to_string(ErrorNumber(e)) +
                                                " 1-Wire I/F " + e.what() +
                                                " ROM=" + adapter.getAddressAsString());
    ReleaseContainer(1);
    adapter.endExclusive();
    return;
  }
  ReleaseContainer(1);
  if (enumeration) UpdateChainOrder(adapter, progress.found);
  adapter.endExclusive();
  if (enumeration) w.enumerated_cycle = p.PollCycles;
  const int found = static_cast<int>(progress.found.size());
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
