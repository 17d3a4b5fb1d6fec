// A plug-in with the real 1-Wire network code on a simulated bus and the test host.
#pragma once

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "core/hspi.h"
#include "core/timer_window.h"
#include "onewire/adapter_setup.h"
#include "onewire/onewire_state.h"
#include "onewire/read_cycle.h"
#include "registry/records.h"
#include "registry/registry_device_control.h"
#include "sim/bus_file.h"
#include "sim/sim_bus.h"
#include "support/plugin_fixture.h"

namespace qb::test {

using namespace std::chrono_literals;

inline std::string Rom(uint8_t family, uint64_t serial) {
  return access::RomId::Make(family, serial).ToString();
}

inline const std::string kB20 = Rom(0x28, 1), kS20 = Rom(0x10, 2), k1822 = Rom(0x22, 3),
                         kHumid = Rom(0x26, 4), kVolts = Rom(0x26, 5), kQuad = Rom(0x20, 6),
                         kCounter = Rom(0x1D, 7), kSwitch = Rom(0x12, 8), kPot = Rom(0x2C, 9);

// A master like a passive adapter's: no strong pull-up, the line only idles high.
class NoPullupMaster : public sim::SimBusMaster {
 public:
  using SimBusMaster::SimBusMaster;
  bool CanDeliverPower() const override { return false; }
  uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) override {
    const uint8_t result = TouchByte(byte);
    Wait(duration);
    return result;
  }
};

// Database logging as the plug-in hands it over. Each row also notes whether the channel had
// its host device when the row was logged (a row logged before it would name no device).
class RecordingValueLog : public ValueLog {
 public:
  void LogValue(const std::string& key, double value) override {
    rows.emplace_back(key, value);
    bool bound = false;
    if (auto rom = gROMs().FindParent(key)) {
      for (const auto& d : rom->Devices->DevList) {
        if (d->ROM == key) bound = d->dc != -1;
      }
    }
    if (!bound) unbound.push_back(key);
  }
  std::vector<std::pair<std::string, double>> rows;
  std::vector<std::string> unbound;
};

class NetworkTest : public PluginTest {
 protected:
  NetworkTest() {
    ConnectHost();
    ResetRegistry();
    ResetOneWire();
    PluginState& p = Plugin();
    p.parts.devices =
        std::make_shared<RegistryDeviceControl>(std::make_shared<OneWireDeviceOperations>());
    p.parts.cycle = std::make_shared<OneWireBusCycle>();
    p.parts.adapter = std::make_shared<OneWireAdapterStartup>();
    window = std::make_shared<frm1Wire>(loop);
    p.parts.timers = window;
    // The timer window loads the settings when it is first shown.
    store.Set("Settings", "IntType", "SIM");
    store.Set("Settings", "PollCycle", "5");
  }
  ~NetworkTest() override {
    ResetOneWire();
    ResetRegistry();
  }
  void Start(const nlohmann::json& devices) {
    bus = sim::BuildBus({{"devices", devices}}, clock, "test bus");
    OneWire().register_adapter_types = [this](access::OneWireAccessProvider& provider) {
      provider.RegisterAdapterType(
          "SIM", [this](const std::string&) -> std::unique_ptr<access::BusMaster> {
            return std::make_unique<sim::SimBusMaster>(bus, "test bus");
          });
    };
    store.Set("Settings", "strHouseCodes0", "A");
    ASSERT_EQ(InitHW(0), "");
  }
  // Poll ticks every 250 ms for `total` of simulated time.
  void Poll(std::chrono::milliseconds total) {
    for (auto t = 0ms; t < total; t += 250ms) {
      clock.Advance(250ms);
      window->PollTick();
    }
  }
  std::shared_ptr<TestDevice> HostDevice(const std::string& name) {
    for (auto& d : host->devices) {
      if (d->name_ == name) return d;
    }
    return nullptr;
  }
  std::string Shown(const std::string& name) {
    auto d = HostDevice(name);
    return d ? d->string_ : "<no host device " + name + ">";
  }

  std::shared_ptr<sim::SimBus> bus;
  std::shared_ptr<frm1Wire> window;
};

}  // namespace qb::test
