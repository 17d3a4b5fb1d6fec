#include "registry/host_codes.h"

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/hspi.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "qb/version.h"
#include "registry/records.h"
#include "registry/value_text.h"

namespace qb {

namespace {

void Yield() {
  Loop().DoEvents();
}

bool IsMine(HostDevice& d) {
  return d.interface() == kPluginName;
}

}  // namespace

void InitHouseCodes(int32_t count) {
  PluginState& p = Plugin();
  SettingsStore& store = Store();
  if (count == -1) {
    p.gBaseCodes = static_cast<int32_t>(
        RoundHalfEvenInt(ReadNumber(store.GetOr(kSettingsSection, "gBaseCodes", "-1"))));
  } else {
    p.gBaseCodes = count;
    store.Set(kSettingsSection, "gBaseCodes", std::to_string(count));
  }
  if (p.gBaseCodes == -1) {
    p.gBaseCodes = 0;
    const std::string legacy = store.GetOr(kSettingsSection, "gBaseCode", "");
    if (!legacy.empty()) {
      store.Set(kSettingsSection, "strHouseCodes0", legacy);
      store.Set(kSettingsSection, "gBaseCodes", "0");
    }
  }
  if (p.gBaseCodes < 0) p.gBaseCodes = 0;
  p.strHouseCodes.resize(static_cast<size_t>(p.gBaseCodes) + 1, " ");
  for (int32_t i = 0; i <= p.gBaseCodes; ++i) {
    const std::string key = "strHouseCodes" + std::to_string(i);
    const std::string stored = store.GetOr(kSettingsSection, key, "");
    std::string& entry = p.strHouseCodes[static_cast<size_t>(i)];
    entry = stored.empty() || stored[0] == ' ' ? " " : stored.substr(0, 1);
    if (entry != " ") continue;
    const int32_t code = NextFreeHouseCode();
    if (code == -1) {
      UI().MessageBox("HSPI_Vornlet ERROR. Sorry, all device codes used", MessageIcon::Critical,
                      kPluginName);
      Skip([&] { p.parts.timers->SetPollTimerEnabled(false); });
      return;
    }
    entry = std::string(1, static_cast<char>(code));
    store.Set(kSettingsSection, key, entry);
  }
  for (int32_t i = 0; i <= p.gBaseCodes; ++i) {
    WriteLog(LogClass::Always, "1-Wire I/F",
             "Housecode " + std::to_string(i) + " = " + p.strHouseCodes[static_cast<size_t>(i)]);
  }
  WriteLog(LogClass::Always, "1-Wire I/F",
           "Version = " + std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
               "." + std::to_string(kVersionRevision));
}

int32_t NextFreeHouseCode() {
  PluginState& p = Plugin();
  if (!p.callback) return -1;
  int32_t code = p.callback->GetNextFreeIOCode();
  if (code == -1) return -1;
  for (bool clash = true; clash;) {
    clash = false;
    const int32_t count = Host().DeviceCount();
    for (int32_t i = 1; i <= count; ++i) {
      if (Host().GetDevice(i)->hc() == std::string(1, static_cast<char>(code))) {
        ++code;
        clash = true;
        break;
      }
    }
  }
  return code;
}

int32_t NextFreeDeviceCode(const std::string& house_code) {
  bool used[65] = {};
  int32_t highest = 0;
  int32_t count = 0;
  Skip([&] { count = Host().DeviceCount(); });
  for (int32_t i = 1; i <= count; ++i) {
    Yield();
    Skip([&] {
      auto d = Host().GetDevice(i);
      if (!IsMine(*d) || d->hc() != house_code) return;
      const auto code =
          RoundHalfEvenInt(ReadNumber(d->dc()));  // a code that is not a number counts as 0
      if (code >= 0 && code <= 64) used[code] = true;
      if (code > highest) highest = static_cast<int32_t>(code);
    });
  }
  for (int32_t c = 1; c <= std::min(highest - 1, 64); ++c) {
    if (!used[c]) return c;
  }
  return highest + 1;
}

int32_t AllocateHostCode(std::string& house_code) {
  PluginState& p = Plugin();
  for (int32_t i = 0; i <= p.gBaseCodes && i < static_cast<int32_t>(p.strHouseCodes.size()); ++i) {
    const int32_t c = NextFreeDeviceCode(p.strHouseCodes[static_cast<size_t>(i)]);
    if (c < 65) {
      house_code = p.strHouseCodes[static_cast<size_t>(i)];
      return c;
    }
  }
  InitHouseCodes(p.gBaseCodes + 1);
  house_code = p.strHouseCodes.empty() ? " " : p.strHouseCodes.back();
  return 1;
}

void SetHSDeviceType(const std::string& key, HostDevice& h) {
  const char letter = key.size() > 16 ? key[16] : '\0';
  if (letter == 'P' || letter == 'K' || (key.size() == 16 && FamilyCaps(key) == 0)) {
    Skip([&] { h.set_Buttons(""); });
    Skip([&] { h.set_can_dim(false); });
    Skip([&] { h.set_misc(16); });
  } else if (key.size() != 18 && !key.empty() && key.back() == 'T') {
    Skip([&] { h.set_Buttons(""); });
    Skip([&] { h.set_misc(0); });
    Skip([&] { h.set_iotype(1); });
    Skip([&] { h.set_can_dim(true); });
  } else if (key.size() != 18) {
    Skip([&] { h.set_can_dim(false); });
    Skip([&] { h.set_Buttons(std::string(kPluginName) + '\x02' + "Update " + h.hc() + h.dc()); });
  } else {
    Skip([&] { h.set_Buttons(""); });
    Skip([&] { h.set_can_dim(false); });
    Skip([&] { h.set_misc(0); });
    Skip([&] { h.set_iotype(1); });
  }
}

void CreateHSDevice(DSDevice& record, const std::string& part_name,
                    const std::string& initial_value, const std::string& device_name) {
  std::shared_ptr<HostDevice> h;
  Skip([&] { h = Host().GetDevice(Host().NewDevice(device_name)); });
  if (!h) return;
  Skip([&] { h->set_Location("Unknown"); });
  Skip([&] { record.HSName = h->name(); });
  Skip([&] { record.HSLocation = h->Location(); });
  std::string hc;
  const int32_t dc = AllocateHostCode(hc);
  Skip([&] { h->set_dc(std::to_string(dc)); });
  Skip([&] { h->set_hc(hc); });
  Skip([&] { record.dc = static_cast<int32_t>(RoundHalfEvenInt(ReadNumber(h->dc()))); });
  Skip([&] { record.hc = h->hc(); });
  record.HSString = initial_value;
  Skip([&] { h->set_interface(kPluginName); });
  Skip([&] { h->set_iotype(4); });
  Skip([&] { h->set_iomisc(record.ROM); });
  SetHSDeviceType(record.ROM, *h);
  const auto parent = record.Parent.lock();
  Skip([&] { h->set_can_dim(parent && (parent->Caps & kCapPotentiometer)); });
  Skip([&] { h->set_dev_type_string("1-Wire-" + part_name); });
  // A channel not read yet starts "off", as one reading 0 does.
  const bool numeric_zero =
      initial_value == kNoReadingText ||
      (!initial_value.empty() &&
       initial_value.find_first_not_of("0123456789.- ") == std::string::npos &&
       ReadNumber(initial_value) == 0);
  Skip([&] { h->set_Status(numeric_zero ? 3 : 2); });
  std::string code;
  Skip([&] { code = h->hc() + h->dc(); });
  WriteLog(LogClass::Always, "Adding 1-Wire " + part_name,
           "Address= " + record.ROM + " HS Code=" + code);
}

void AdoptHSDevices(bool refresh) {
  PluginState& p = Plugin();
  int32_t count = 0;
  Skip([&] { count = Host().DeviceCount(); });
  for (int32_t i = 1; i <= count; ++i) {
    Skip([&] {
      auto d = Host().GetDevice(i);
      if (!IsMine(*d)) return;
      if (refresh && Host().InterfaceVersion() >= 2 && p.settings.DebugLevel >= 1 && p.callback) {
        p.callback->WriteSplash("Adding 1-Wire from HS: " + d->Location() + " " + d->name());
      }
      const std::string iomisc = d->iomisc();
      if (iomisc.empty()) return;
      if (refresh) SetHSDeviceType(iomisc, *d);
      if (iomisc.size() > 16) {
        gROMs().FindDev(iomisc);
      } else {
        gROMs().Find(iomisc);
      }
    });
    Yield();
  }
}

std::shared_ptr<DSDevice> GetHSROM(const std::string& house_code, const std::string& device_code) {
  auto record = gROMs().FindHSDev(house_code, device_code);
  if (record) {
    WriteLog(LogClass::CycleInfo, "1-Wire I/F(GetHSROM)",
             "Found ROM from HS, HC=" + house_code + " DC=" + device_code + " ROM=" + record->ROM);
  }
  return record;
}

std::shared_ptr<DSDevice> BindHSDevice(HostDevice& device, const std::string& house_code,
                                       const std::string& device_code) {
  auto record = GetHSROM(house_code, device_code);
  if (!record) throw HostError("no channel is bound to the host code " + house_code + device_code);
  device.set_iomisc(record->ROM);
  return record;
}

int32_t FindHSDeviceRef(const std::string& house_code, int32_t device_code) {
  int32_t count = 0;
  Skip([&] { count = Host().DeviceCount(); });
  for (int32_t i = 1; i <= count; ++i) {
    Yield();
    int32_t ref = -1;
    Skip([&] {
      auto d = Host().GetDevice(i);
      if (d->hc() == house_code && ReadNumber(d->dc()) == device_code && IsMine(*d)) ref = d->ref();
    });
    if (ref != -1) return ref;
  }
  return -1;
}

std::shared_ptr<HostDevice> FindHSDeviceByKey(const std::string& key) {
  int32_t count = 0;
  Skip([&] { count = Host().DeviceCount(); });
  for (int32_t i = 1; i <= count; ++i) {
    std::shared_ptr<HostDevice> found;
    Skip([&] {
      auto d = Host().GetDevice(i);
      if (d->iomisc() == key && IsMine(*d)) found = d;
    });
    if (found) return found;
    Yield();
  }
  return nullptr;
}

void UpdateEPROMAddress(const std::string& house_code, const std::string& device_code,
                        const std::string& key) {
  const int32_t count = Host().DeviceCount();
  for (int32_t i = 1; i <= count; ++i) {
    auto d = Host().GetDevice(i);
    if (d->hc() == house_code && d->dc() == device_code && IsMine(*d)) {
      d->set_iomisc(key);
      WriteLog(LogClass::Always, "1-Wire I/F",
               "Updated EPROM address to: " + key + " for device: " + house_code + device_code);
      return;
    }
    Yield();
  }
}

}  // namespace qb
