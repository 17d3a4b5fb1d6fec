// The bus scan, device reading and the network read cycle on a simulated bus, with the test host.
#include <gmock/gmock.h>

#include "core/hspi.h"
#include "core/timer_window.h"
#include "onewire/adapter_setup.h"
#include "onewire/bus_scan.h"
#include "onewire/device_reading.h"
#include "onewire/onewire_state.h"
#include "onewire/read_cycle.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/registry_device_control.h"
#include "sim/bus_file.h"
#include "support/plugin_fixture.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::Contains;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

std::string Rom(uint8_t family, uint64_t serial) {
  return access::RomId::Make(family, serial).ToString();
}

const std::string kB20 = Rom(0x28, 1), kS20 = Rom(0x10, 2), k1822 = Rom(0x22, 3),
                  kHumid = Rom(0x26, 4), kVolts = Rom(0x26, 5), kQuad = Rom(0x20, 6),
                  kCounter = Rom(0x1D, 7), kSwitch = Rom(0x12, 8), kPot = Rom(0x2C, 9);

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
  void Start(const json& devices) {
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

TEST_F(NetworkTest, AMixedBusGetsItsHostDevicesAndTheirValues) {
  // The voltage monitor already had its Vdd channel in the host: it is not asked about again.
  host->AddDevice("A", "40", kPluginName, kVolts + "G")->name_ = kVolts + "-Vdd";
  store.Set("DS2438", kVolts, "0");
  Start(json::array({
      {{"rom", kB20}, {"temperature", {{"type", "steps"}, {"steps", {{0, 21.5}, {40, 22.25}}}}}},
      {{"rom", kS20}, {"temperature", 25.0625}},
      {{"rom", k1822}, {"temperature", -10.125}},
      {{"rom", kHumid}, {"temperature", 25}, {"vdd", 5.0}, {"vad", 2.5}, {"vsense_mv", -250}},
      {{"rom", kVolts}, {"temperature", 20}, {"vdd", 4.8}, {"vad", 1.2}},
      {{"rom", kQuad}, {"inputs", {1.0, 2.0, 0.5, 0.0}}},
      {{"rom", kCounter}, {"counters", {5, 6, 7, 8}}},
      {{"rom", kSwitch}, {"latches", {true, false}}, {"levels", {false, true}}},
      {{"rom", kPot}, {"wiper", 0}},
  }));
  Poll(35s);

  EXPECT_EQ(ui.questions.size(), 1u);  // the new DS2438 only, once
  EXPECT_THAT(ui.questions, Contains(HasSubstr(kHumid)));
  EXPECT_EQ(Shown(kB20 + "-Temp"), "21.500\u00BAC");
  EXPECT_EQ(HostDevice(kB20 + "-Temp")->value_, 21500);
  EXPECT_EQ(Shown(kS20 + "-Temp"), "25.063\u00BAC");  // the DS18S20's count registers: 1/16 degree
  EXPECT_EQ(Shown(k1822 + "-Temp"), "-10.125\u00BAC");
  EXPECT_EQ(Shown(kHumid + "-Temp"), "25.000\u00BAC");
  EXPECT_THAT(Shown(kHumid + "-Humidity"), HasSubstr("%"));
  EXPECT_EQ(Shown(kHumid + "-Vsense"), "250.000mV");  // -250 mV is reported as 250
  EXPECT_EQ(HostDevice(kHumid + "-Vdd"), nullptr);    // a humidity sensor has no Vdd device
  EXPECT_EQ(Shown(kVolts + "-Vdd"), "4.800V");
  EXPECT_EQ(Shown(kVolts + "-Vad"), "1.200V");
  EXPECT_EQ(Shown(kQuad + "-ChannelA"), "1.000V");
  EXPECT_EQ(Shown(kQuad + "-ChannelB"), "2.000V");
  EXPECT_EQ(Shown(kQuad + "-ChannelD"), "0.000V");
  EXPECT_EQ(Shown(kCounter + "-Counter0"), "5");
  EXPECT_EQ(Shown(kCounter + "-Counter3"), "8");
  EXPECT_EQ(Shown(kSwitch + "-Switch0"), "On");
  EXPECT_EQ(Shown(kSwitch + "-PIO0"), "Off");  // a conducting output reads low
  EXPECT_EQ(Shown(kSwitch + "-PIO1"), "On");
  EXPECT_EQ(Shown(kPot + "-Pot"), "1");  // a wiper at 0 is moved to 1 by the scan
  auto temp = HostDevice(kB20 + "-Temp");
  EXPECT_EQ(temp->dev_type_string_, "1-Wire-DS18B20");
  EXPECT_EQ(temp->interface_, kPluginName);
  EXPECT_EQ(temp->iomisc_, kB20 + "M");

  Poll(40s);  // the simulated temperature moved
  EXPECT_EQ(Shown(kB20 + "-Temp"), "22.250\u00BAC");
  EXPECT_EQ(ui.questions.size(), 1u);
}

TEST_F(NetworkTest, CountersGetTheirDevicesOnTheFirstTickTheyAreSeen) {
  Start(json::array({{{"rom", kCounter}, {"counters", {1, 2, 3, 4}}}}));
  Plugin().TimerLoop = 5;  // not the enumeration tick
  GetDevices();
  EXPECT_EQ(Shown(kCounter + "-Counter2"), "3");
}

TEST_F(NetworkTest, ThermometersAreReadRoundRobin) {
  const std::string t[4] = {Rom(0x28, 11), Rom(0x28, 12), Rom(0x28, 13), Rom(0x28, 14)};
  Start(json::array({{{"rom", t[0]}, {"temperature", 1}},
                     {{"rom", t[1]}, {"temperature", 2}},
                     {{"rom", t[2]}, {"temperature", 3}},
                     {{"rom", t[3]}, {"temperature", 4}}}));
  for (const auto& rom : t) gROMs().Find(rom);
  Plugin().settings.PollTemp = 3;
  Plugin().settings.DebugLevel = 4;
  host->log.clear();
  for (int cycle = 0; cycle < 15; ++cycle) ReadNet();
  std::vector<std::string> order;
  for (const auto& text : host->LogTexts("1-Wire Cycle Info")) {
    if (text.rfind("Temp Poll - ROM=", 0) == 0) order.push_back(text.substr(16, 16));
  }
  EXPECT_EQ(order, (std::vector<std::string>{t[0], t[1], t[2], t[3], t[0]}));

  Plugin().settings.PollTemp = 0;
  Plugin().settings.PollAD = 0;
  Plugin().settings.PollI = 0;
  host->log.clear();
  bus->devices()[0]->faults().crc_error_rate = 0;
  for (int cycle = 0; cycle < 5; ++cycle) ReadNet();
  EXPECT_TRUE(
      host->LogTexts("1-Wire Cycle Info").empty());  // nothing due: the bus is only prepared
}

TEST_F(NetworkTest, ReadingEdgeCases) {
  Start(json::array(
      {{{"rom", kB20}, {"temperature", {{"type", "steps"}, {"steps", {{0, 85}, {1, 30}}}}}},
       {{"rom", kHumid}, {"temperature", 0}, {"vdd", 5.0}, {"vad", 4.9}},
       {{"rom", kVolts}, {"temperature", 30}, {"vdd", 4.0}, {"vad", 3.9}}}));
  for (const auto& rom : {kB20, kHumid, kVolts}) {
    auto r = gROMs().Find(rom);
    for (const char* letter : {"M", "N"}) {
      auto channel = gROMs().FindDev(rom + letter);
      CreateHSDevice(*channel, "part", "0", rom + letter);
    }
    r->DS2438Humid = 1;
  }
  auto read = [&](const std::string& rom, int type) {
    ASSERT_TRUE(SetupContainer(rom, 2, false));
    ReadDev(*gROMs().Find(rom), rom, type);
  };
  read(kB20, kReadTemperature);  // 85 at the first conversion, 30 at the second
  EXPECT_EQ(Shown(kB20 + "M"), "30.000\u00BAC");
  read(kHumid, kReadAD);
  EXPECT_EQ(Shown(kHumid + "N"), "0.000%");  // no humidity below or at 0 degrees
  read(kVolts, kReadAD);
  EXPECT_EQ(Shown(kVolts + "N"), "100.000%");  // a computed humidity above 100 is 100
}

TEST_F(NetworkTest, ADeviceThatComesAndGoesOrFailsItsChecksNeverShowsAWrongValue) {
  store.Set("Show Device ID", kS20, "1");
  Start(json::array({
      {{"rom", kS20},
       {"temperature", 18.5},
       {"present", {{"type", "steps"}, {"steps", {{0, 1}, {20, 0}, {40, 1}}}}}},
      {{"rom", kB20}, {"temperature", 21.5}, {"faults", {{"crc_error_rate", 0.5}}}},
  }));
  std::set<std::string> seen;
  for (int i = 0; i < 240; ++i) {  // a minute of ticks
    Poll(250ms);
    if (auto d = HostDevice(kB20 + "-Temp")) seen.insert(d->string_);
  }
  EXPECT_EQ(HostDevice(kS20)->Status_, 2);                     // back again: on
  seen.erase("");                                              // before its first reading
  EXPECT_THAT(seen, ::testing::ElementsAre("21.500\u00BAC"));  // never a corrupted reading
  EXPECT_EQ(Shown(kS20 + "-Temp"), "18.500\u00BAC");
}

TEST_F(NetworkTest, AnAbsentDeviceShowingItsIdReadsOff) {
  store.Set("Show Device ID", kS20, "1");
  Start(json::array({{{"rom", kS20},
                      {"temperature", 18.5},
                      {"present", {{"type", "steps"}, {"steps", {{0, 1}, {10, 0}}}}}}}));
  Poll(8s);
  ASSERT_TRUE(HostDevice(kS20));
  EXPECT_EQ(HostDevice(kS20)->Status_, 2);
  Poll(15s);
  EXPECT_EQ(Shown(kS20), "Off");
  EXPECT_EQ(HostDevice(kS20)->Status_, 3);
}

}  // namespace
}  // namespace qb::test
