#pragma once

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

#include "access/rom.h"
#include "core/plugin_state.h"
#include "core/timer_window.h"
#include "dialog/setup_dialog.h"
#include "onewire/adapter_setup.h"
#include "onewire/onewire_state.h"
#include "onewire/read_cycle.h"
#include "platform/settings_store.h"
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
  // Polls as the running plug-in does: the stored settings loaded, `cycle` run by the timer
  // window's poll timer on the test loop.
  std::shared_ptr<frm1Wire> StartPolling(
      std::shared_ptr<BusCycle> cycle = std::make_shared<OneWireBusCycle>()) {
    LoadProcessSettings();
    Plugin().settings.IntType = "SIM";
    Plugin().parts.cycle = std::move(cycle);
    auto timers = std::make_shared<frm1Wire>(loop);
    Plugin().parts.timers = timers;
    timers->SetPollTimerEnabled(true);
    Plugin().PollingStarted = true;
    return timers;
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

// The demo as `run.sh` starts it: the demo bus, its settings and its host devices (names and
// locations), with polling running until every channel that gives a reading has one. The dialog
// then shows what a user of the demo sees.
class DemoDialogTest : public DialogBusTest {
 protected:
  // Without `host_devices` the host starts empty and the scan names the devices it creates itself
  // (the ROM id and the channel's kind).
  void StartDemo(bool host_devices = true) {
    std::vector<IniSettingsStore::Section> sections;
    std::string error;
    ASSERT_TRUE(
        IniSettingsStore::Parse(ReadText(QB_SOURCE_DIR "/demo/settings.ini"), sections, error))
        << error;
    for (const auto& section : sections)
      for (const auto& [key, value] : section.entries)  // the bus file, where run.sh puts its path
        store.Set(section.name, key, value == "@DEMO_BUS@" ? "demo/bus.json" : value);
    const auto table = nlohmann::json::parse(ReadText(QB_SOURCE_DIR "/demo/devices.json"));
    for (const auto& d : host_devices ? table.at("devices") : nlohmann::json::array()) {
      auto device = host->AddDevice(d.at("hc"), d.at("dc"), d.at("interface"), d.at("iomisc"));
      device->name_ = d.at("name");
      device->Location_ = d.at("Location");
      device->dev_type_string_ = d.at("dev_type_string");
      device->iotype_ = d.at("iotype");
      device->misc_ = d.at("misc");
      device->Status_ = d.at("Status");
      device->can_dim_ = d.at("can_dim");
      device->Buttons_ = d.at("Buttons");
    }
    StartBus(sim::LoadBusFile(QB_DEMO_BUS, clock));
    poll = StartPolling();
    // Every channel that gives a reading has one after a few read cycles: each cycle reads one
    // device of each kind in turn (the scans before the first have created the channels).
    using namespace std::chrono_literals;
    for (int cycle = 0; cycle < 60 && (Plugin().PollCycles < 2 || !AllRead()); ++cycle)
      loop.AdvanceAndRun(clock, 5s, 250ms);
    ASSERT_TRUE(AllRead()) << Unread();
  }
  // Whether every measured channel of every device on the bus shows a value.
  static bool AllRead() { return Unread().empty(); }
  static std::string Unread() {
    std::string unread;
    for (const auto& rom : gROMs().ROMlist)
      for (const auto& channel : rom->Devices->DevList)
        if (channel->ROM.size() > 16 && !channel->HasReading())
          unread += channel->ROM + "(" + channel->hc + std::to_string(channel->dc) + "," +
                    channel->HSString + ") ";
    return unread;
  }
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::shared_ptr<frm1Wire> poll;
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
