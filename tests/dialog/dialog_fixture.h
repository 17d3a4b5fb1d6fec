#pragma once

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <functional>

#include "access/rom.h"
#include "core/plugin_state.h"
#include "dialog/setup_dialog.h"
#include "onewire/adapter_setup.h"
#include "onewire/onewire_state.h"
#include "onewire/read_cycle.h"
#include "registry/records.h"
#include "registry/registry_device_control.h"
#include "sim/bus_file.h"
#include "sim/models.h"
#include "sim/sim_bus.h"
#include "sim/thermometer.h"
#include "support/plugin_fixture.h"

namespace qb::test {

// A plug-in on a simulated bus (the adapter started through the real start-up), with the test
// host and the recording user interface.
class DialogBusTest : public PluginTest {
 protected:
  void StartBus(const nlohmann::json& doc) { StartBus(sim::BuildBus(doc, clock, "test bus")); }
  void StartBus(std::shared_ptr<sim::SimBus> sim_bus) {
    bus = std::move(sim_bus);
    ConnectHost();
    ResetRegistry();
    ResetOneWire();
    Plugin().parts.devices =
        std::make_shared<RegistryDeviceControl>(std::make_shared<OneWireDeviceOperations>());
    store.Set("Settings", "strHouseCodes0", "A");
    OneWire().register_adapter_types = [this](access::OneWireAccessProvider& provider) {
      provider.RegisterAdapterType(
          "SIM", [this](const std::string&) -> std::unique_ptr<access::BusMaster> {
            return std::make_unique<sim::SimBusMaster>(bus, "test bus");
          });
    };
    Plugin().settings.IntType = "SIM";
    store.Set("Settings", "IntType", "SIM");
    ASSERT_EQ(InitHW(0), "");
    Plugin().AdapterReady = true;
    Plugin().InterfaceReady = true;
  }
  ~DialogBusTest() override {
    ResetOneWire();
    ResetRegistry();
  }
  static std::string Rom(uint8_t family, uint64_t serial) {
    return access::RomId::Make(family, serial).ToString();
  }
  // Runs `action` once the next modal window is open (a message box, the editor).
  static void WhenModal(std::function<void(QWidget*)> action) {
    QTimer::singleShot(0, [action] {
      QWidget* w = QApplication::activeModalWidget();
      if (w) action(w);
    });
  }
  std::shared_ptr<sim::SimBus> bus;
};

// The Setup dialog shown on a bus of one DS18B20 thermometer.
class SetupDialogTest : public DialogBusTest {
 protected:
  void SetUp() override {
    StartBus({{"devices", {{{"rom", kB20}, {"temperature", 21.5}}}}});
    gROMs().Find(kB20 + "M");
    Plugin().parts.dialog = window;
    window->ShowModeless();
  }
  void TearDown() override { window->hide(); }
  inline static const std::string kB20 = access::RomId::Make(0x28, 1).ToString();
  std::shared_ptr<dialog::SetupWindow> window = std::make_shared<dialog::SetupWindow>();
};

}  // namespace qb::test
