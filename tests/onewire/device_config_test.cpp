// Configuration writes and queries of single devices, checked in the simulated devices.
#include "onewire/device_config.h"

#include "core/hspi.h"
#include "onewire/adapter_setup.h"
#include "onewire/onewire_state.h"
#include "onewire/read_cycle.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/registry_device_control.h"
#include "sim/bus_file.h"
#include "sim/ds2406.h"
#include "sim/ds2450.h"
#include "sim/ds2890.h"
#include "sim/models.h"
#include "sim/thermometer.h"
#include "support/plugin_fixture.h"

namespace qb::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::string Rom(uint8_t family, uint64_t serial) {
  return access::RomId::Make(family, serial).ToString();
}

const std::string kB20 = Rom(0x28, 1), kS20 = Rom(0x10, 2), kSwitch = Rom(0x12, 3),
                  kPot = Rom(0x2C, 4), kQuad = Rom(0x20, 5);

class DeviceConfigTest : public PluginTest {
 protected:
  DeviceConfigTest() {
    ConnectHost();
    ResetRegistry();
    ResetOneWire();
    Plugin().parts.devices =
        std::make_shared<RegistryDeviceControl>(std::make_shared<OneWireDeviceOperations>());
    store.Set("Settings", "strHouseCodes0", "A");
    bus =
        sim::BuildBus({{"devices",
                        {{{"rom", kB20}, {"temperature", 21.1}},
                         {{"rom", kS20}, {"temperature", 20}},
                         {{"rom", kSwitch}, {"latches", {false, false}}, {"levels", {true, true}}},
                         {{"rom", kPot}, {"wiper", 10}},
                         {{"rom", kQuad}, {"inputs", {1.0, 1.0, 1.0, 1.0}}}}}},
                      clock, "test bus");
    OneWire().register_adapter_types = [this](access::OneWireAccessProvider& provider) {
      provider.RegisterAdapterType(
          "SIM", [this](const std::string&) -> std::unique_ptr<access::BusMaster> {
            return std::make_unique<sim::SimBusMaster>(bus, "test bus");
          });
    };
    Plugin().settings.IntType = "SIM";
    EXPECT_EQ(InitHW(0), "");
  }
  ~DeviceConfigTest() override {
    ResetOneWire();
    ResetRegistry();
  }
  std::shared_ptr<DSDevice> Channel(const std::string& key) {
    auto record = gROMs().FindDev(key);
    if (record->dc == -1) CreateHSDevice(*record, "part", "0", key);
    return record;
  }
  std::shared_ptr<sim::SimBus> bus;
};

TEST_F(DeviceConfigTest, AStoredDs1920ResolutionNeedsNoBusTraffic) {
  const auto before = OneWire().adapter->Master().Stats().slots[0];
  EXPECT_DOUBLE_EQ(GetTempResolution(kS20), 0.1);
  EXPECT_EQ(OneWire().adapter->Master().Stats().slots[0], before);
  EXPECT_TRUE(HasSelectableResolution(kB20));
  EXPECT_FALSE(HasSelectableResolution(kS20));
  EXPECT_EQ(PowerSource(kB20), "External");
}

TEST_F(DeviceConfigTest, ResolutionAndLimitsLandInTheThermometer) {
  auto m = Channel(kB20 + "M");
  SetTempRes(*m, 0.5);
  EXPECT_DOUBLE_EQ(m->TempResolution, 0.5);
  EXPECT_DOUBLE_EQ(GetTempResolution(kB20), 0.5);
  auto* model = bus->FindAs<sim::ThermometerModel>(*access::RomId::Parse(kB20));
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->Eeprom()[2] & 0x60, 0x00);  // 9-bit configuration stored
  const auto start = clock.MonotonicNow();
  ReadChannel(*m);
  EXPECT_LT(clock.MonotonicNow() - start, 200ms);  // a 9-bit conversion takes 93.75 ms
  EXPECT_EQ(m->Reading, 21.0);                     // in 0.5 degree steps (12 bits: 21.125)

  SetTempAlarm(kB20, true, 20);  // 21 degrees is above the new high limit
  SetTempAlarm(kB20, false, -10);
  EXPECT_EQ(GetTempAlarms(kB20), std::make_pair(-10.0, 20.0));
  ReadChannel(*m);  // a conversion evaluates the limits
  auto& adapter = *OneWire().adapter;
  adapter.setSearchOnlyAlarmingDevices();
  ASSERT_TRUE(adapter.findFirstDevice());
  EXPECT_EQ(adapter.getAddressAsString(), kB20);
  EXPECT_FALSE(adapter.findNextDevice());
  adapter.setSearchAllDevices();
}

TEST_F(DeviceConfigTest, SwitchAndWiperWritesReachTheDevices) {
  auto s1 = Channel(kSwitch + "S1");
  hspi plugin;
  Plugin().AdapterReady = true;
  Plugin().strHouseCodes = {"A"};
  Plugin().gBaseCodes = 0;
  TestDevice dv;
  plugin.SetIO(&dv, s1->hc, std::to_string(s1->dc), 2, 0, 0, 0);  // "On" through the host command
  auto* sw = bus->FindAs<sim::DS2406Model>(*access::RomId::Parse(kSwitch));
  ASSERT_NE(sw, nullptr);
  EXPECT_TRUE(sw->Conducting(1));
  EXPECT_FALSE(sw->Conducting(0));
  EXPECT_EQ(s1->HSString, "On");
  plugin.SetIO(&dv, s1->hc, std::to_string(s1->dc), 3, 0, 0, 0);
  EXPECT_FALSE(sw->Conducting(1));
  EXPECT_EQ(s1->HSString, "Off");

  auto t = Channel(kPot + "T");
  SetPot(*t, 200);
  EXPECT_EQ(bus->FindAs<sim::DS2890Model>(*access::RomId::Parse(kPot))->Wiper(), 200);
  EXPECT_EQ(t->Reading, 200);
}

TEST_F(DeviceConfigTest, Ds2450SettingsLandInItsRegisters) {
  auto* quad = bus->FindAs<sim::DS2450Model>(*access::RomId::Parse(kQuad));
  ASSERT_NE(quad, nullptr);
  const std::string key = kQuad + "H";  // channel B: control at 0Ah/0Bh, limits at 12h/13h
  AD4Adjust(1, 1, 5.12, key);
  AD4Adjust(1, 2, 5.12 / 256, key);  // 8 bits
  AD4Adjust(1, 3, 2.0, key);
  AD4Adjust(1, 4, 3.0, key);
  EXPECT_EQ(quad->Memory(0x0B) & 0x01, 0x01);  // 5.12 V range
  EXPECT_EQ(quad->Memory(0x0A) & 0x0F, 0x08);  // 8 bits
  EXPECT_EQ(quad->Memory(0x12), 0x64);         // 2.0 V low limit
  EXPECT_EQ(quad->Memory(0x13), 0x96);         // 3.0 V high limit
  EXPECT_EQ(quad->Memory(0x0B) & 0x0C, 0x0C);  // both alarms enabled
  AD4Adjust(1, 3, -1, key);                    // low alarm off, its limit kept
  EXPECT_EQ(quad->Memory(0x0B) & 0x04, 0x00);
  EXPECT_EQ(quad->Memory(0x12), 0x64);
  const auto shown = AD4Read(key);
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[1].range, "5.12V");
  EXPECT_EQ(shown[1].low_limit, "2");
  EXPECT_EQ(shown[1].high_limit, "3");
  EXPECT_FALSE(shown[1].low_enabled);
  EXPECT_TRUE(shown[1].high_enabled);
  EXPECT_EQ(shown[1].output, "0");
  AD4Adjust(1, 5, 1, key);  // output on: the transistor conducts
  EXPECT_EQ(quad->Memory(0x0A) & 0xC0, 0x80);
  EXPECT_EQ(AD4Read(key)[1].output, "1");
  AD4Adjust(1, 5, 0, key);
  EXPECT_EQ(quad->Memory(0x0A) & 0xC0, 0xC0);
}

TEST_F(DeviceConfigTest, AnNChannelIsReadAsAnAdChannel) {
  // A DS2438 kept as a humidity sensor: reading its N channel reads the A/D (humidity).
  const std::string humid = Rom(0x26, 9);
  bus->Add(sim::MakeDS2438Model(*access::RomId::Parse(humid),
                                json{{"temperature", 25}, {"vdd", 5.0}, {"vad", 2.5}}));
  auto n = Channel(humid + "N");
  gROMs().Find(humid)->DS2438Humid = 1;
  ReadChannel(*n);
  EXPECT_GT(n->Reading, 0);
  EXPECT_LE(n->Reading, 100);
}

}  // namespace
}  // namespace qb::test
