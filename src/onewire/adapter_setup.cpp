#include "onewire/adapter_setup.h"

#include "access/container.h"
#include "access/errors.h"
#include "access/masters/adapter_types.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/adapter_outage.h"
#include "onewire/onewire_state.h"
#include "platform/settings_store.h"
#include "registry/host_codes.h"

namespace qb {

namespace {

access::DSPortAdapter& Adapter() {
  auto& a = OneWire().adapter;
  if (!a)
    throw access::AccessError(access::ErrorCode::NoObject, "1-Wire I/F",
                              "no 1-Wire adapter is open");
  return *a;
}

std::string Describe(const std::exception& e) {
  return e.what();
}

}  // namespace

std::string InitHW(int32_t /*port*/) {
  PluginState& p = Plugin();
  if (p.InterfaceReady) return {};
  OneWireState& w = OneWire();
  try {
    p.parts.timers->Show();
  } catch (const std::exception&) {
  }
  p.AdapterReady = false;
  w.read_positions = {0, 0, 0};
  try {
    InitHouseCodes(-1);

    w.provider = std::make_unique<access::OneWireAccessProvider>();
    w.provider->SetDefaultAdapterFile(w.default_adapter_file);
    w.register_adapter_types(*w.provider);

    w.adapter_type = p.settings.IntType;
    const access::AdapterPort port = access::LookUpAdapterPort(w.adapter_type, p.settings.IntPort);
    if (port.clears_port) p.settings.IntPort.clear();
    w.port_number = p.settings.IntPort;
    w.port_type = port.port_type;
    const std::string named_port = port.prefix + w.port_number;
    WriteLog(LogClass::Always, "1-Wire I/F", "Adapter: " + w.adapter_type + " Port: " + named_port);
    if (port.port_text != named_port)
      WriteLog(LogClass::Always, "1-Wire I/F", "Port " + named_port + " is " + port.port_text);

    if (w.adapter) w.adapter->freePort();
    w.adapter.reset();
    try {
      std::string braced = "{";
      braced += w.adapter_type;
      braced += '}';
      w.adapter = w.provider->openAdapter(braced, port.port_text);
    } catch (const access::AccessError& e) {
      if (e.code() != access::ErrorCode::GeneralFailure) throw;
      WriteLog(LogClass::Always, "1-Wire I/F ERROR (InitHW)", e.what());
      WriteLog(LogClass::Always, "1-Wire I/F", "Trying default TMEX interface settings");
      w.adapter = w.provider->openDefaultAdapter();
      WriteLog(LogClass::Always, "1-Wire I/F", "Default TMEX interface settings successful");
      const std::string default_port(1, '1');
      p.settings.DefaultPort = default_port;
      Store().Set(kSettingsSection, "DefaultPort", default_port);
    }

    PrepAdapter(0, false, false, false);
    w.adapter->endExclusive();
    w.max_speed = GetMaxSpeed();
    p.AdapterReady = true;
  } catch (const std::exception& e) {
    if (w.adapter) w.adapter->freePort();
    w.adapter.reset();
    try {
      p.parts.timers->Hide();
    } catch (const std::exception&) {
    }
    return Describe(e);
  }
  try {
    p.parts.devices->AdoptHSDevices(true);
  } catch (const std::exception&) {
  }
  try {
    p.parts.timers->EnableStartupTimer();
  } catch (const std::exception&) {
  }
  return {};
}

void PrepAdapter(int family, bool alarming_only, bool force, bool drop_speed) {
  PluginState& p = Plugin();
  if (!force && p.ExternalBusy) return;
  try {
    access::DSPortAdapter& a = Adapter();
    ++OneWire().bus_claims;
    a.endExclusive();
    a.beginExclusive(true);
    if (drop_speed && a.getSpeed() > 1) {
      const bool flex = p.settings.IntSpeed == 1;
      a.setSpeed(flex ? 1 : 0);
      WriteLog(LogClass::Trace, "1-Wire I/F",
               flex ? "Adapter speed set to flex" : "Adapter speed set to regular");
    }
    if (family >= 1) {
      a.targetFamily(family);
    } else {
      a.targetAllFamilies();
    }
    if (alarming_only) {
      a.setSearchOnlyAlarmingDevices();
    } else {
      a.setSearchAllDevices();
    }
    a.Reset();
    AdapterAnswered();
  } catch (const std::exception& e) {
    AdapterFailed("1-Wire ERROR(PrepAdapter)", e.what());
  }
}

void SetSpeed(access::OneWireContainer& container) {
  const int setting = Plugin().settings.IntSpeed;
  try {
    access::DSPortAdapter& a = Adapter();
    const int max = container.getMaxSpeed();
    const int start = max <= setting ? (setting == 1 ? 1 : max) : setting;
    const int lowest = setting == 1 ? 1 : 0;
    for (int s = start; s >= lowest; --s) {
      if (s == a.getSpeed()) continue;
      if (s == 0) {
        a.setSpeed(0);
        container.setSpeed(0, true);
        WriteLog(LogClass::Trace, "1-Wire I/F", "Adapter speed set to Regular");
      } else if (s == 1 && a.canFlex()) {
        a.setSpeed(1);
        container.setSpeed(1, true);
        WriteLog(LogClass::Trace, "1-Wire I/F", "Adapter speed set to Flex");
        break;
      } else if (s == 2 && a.canOverdrive()) {
        container.setSpeed(2, true);
        WriteLog(LogClass::Trace, "1-Wire I/F", "Adapter speed set to Overdrive");
        break;
      } else if (s == 3 && a.canHyperdrive()) {
        container.setSpeed(3, true);
        WriteLog(LogClass::Trace, "1-Wire I/F", "Adapter speed set to Hyperdrive");
        break;
      }
    }
    a.Reset();
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(SetSpeed)", e.what());
  }
}

int GetMaxSpeed() {
  try {
    access::DSPortAdapter& a = Adapter();
    if (a.canHyperdrive()) return 3;
    if (a.canOverdrive()) return 2;
    if (a.canFlex()) return 1;
    return 0;
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(GetMaxSpeed)", e.what());
    return 0;
  }
}

void ReadTMEXDefaults() {
  const access::DefaultAdapter d = access::ReadDefaultAdapter(OneWire().default_adapter_file);
  OneWireState& w = OneWire();
  w.adapter_type = access::AdapterTypeForPortType(d.port_type);
  w.port_number = d.port_number;
  Plugin().settings.IntType = w.adapter_type;
  Plugin().settings.IntPort = w.port_number;
}

void OneWireAdapterStartup::EndExclusive() {
  if (OneWire().adapter) OneWire().adapter->endExclusive();
}

void OneWireAdapterStartup::ReleaseAdapter() {
  OneWireState& w = OneWire();
  if (w.adapter) {
    w.adapter->endExclusive();
    w.adapter->freePort();
    w.adapter.reset();
  }
  w.provider.reset();
}

}  // namespace qb
