#include "onewire/adapter_setup.h"

#include "access/errors.h"
#include "access/families.h"
#include "onewire/onewire_state.h"
#include "sim/generic_model.h"
#include "sim/sim_bus.h"
#include "support/plugin_fixture.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A bus master that cannot run flex speed.
class NoFlexMaster : public sim::SimBusMaster {
 public:
  using SimBusMaster::SimBusMaster;
  bool CanFlex() const override { return false; }
};

// A container of a device whose fastest speed is given.
class SpeedContainer : public access::OneWireContainer {
 public:
  SpeedContainer(uint8_t family, int max) : OneWireContainer(family), max_(max) {}
  int getMaxSpeed() const override { return max_; }

 private:
  int max_;
};

class AdapterSetupTest : public PluginTest {
 protected:
  AdapterSetupTest() {
    ConnectHost();
    ResetOneWire();
    OneWire().default_adapter_file = (dir.path() / "default-adapter.ini").string();
    OneWire().register_adapter_types = [this](access::OneWireAccessProvider& provider) {
      for (const char* type : {"DS9097U", "DS2490", "SIM"}) {
        provider.RegisterAdapterType(
            type, [this, type](const std::string& port) -> std::unique_ptr<access::BusMaster> {
              requested.push_back(std::string(type) + " " + port);
              if (failing.count(type))
                throw access::AccessError(access::ErrorCode::GeneralFailure, type,
                                          "no answer on " + port);
              return std::make_unique<sim::SimBusMaster>(bus, "test bus");
            });
      }
    };
    Plugin().strHouseCodes = {"A"};
  }
  ~AdapterSetupTest() override { ResetOneWire(); }

  void AddDevice(uint8_t family, uint64_t serial, bool alarming = false) {
    auto m = std::make_unique<sim::GenericModel>(access::RomId::Make(family, serial));
    m->SetAlarming(alarming);
    bus->Add(std::move(m));
  }
  std::vector<std::string> Search() {
    std::vector<std::string> found;
    auto& a = *OneWire().adapter;
    for (bool more = a.findFirstDevice(); more; more = a.findNextDevice())
      found.push_back(a.getAddressAsString().substr(14));
    return found;
  }

  TempDir dir;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  std::vector<std::string> requested;
  std::set<std::string> failing;
};

TEST_F(AdapterSetupTest, SerialPortNumbersBecomeDevicesAndUsbTakesNoNumber) {
  Plugin().settings.IntType = "DS9097U";
  Plugin().settings.IntPort = "2";
  EXPECT_CALL(*timers, Show()).Times(3);  // each of the three start-ups below
  EXPECT_CALL(*devices, AdoptHSDevices(true)).Times(3);
  EXPECT_CALL(*timers, EnableStartupTimer()).Times(3);
  EXPECT_EQ(InitHW(0), "");
  EXPECT_THAT(requested, ElementsAre("DS9097U /dev/ttyS1"));
  EXPECT_TRUE(Plugin().AdapterReady);
  EXPECT_EQ(OneWire().port_type, 5);
  EXPECT_EQ(OneWire().max_speed, 2);
  EXPECT_THAT(host->LogTexts("1-Wire I/F"),
              ::testing::IsSupersetOf({"Adapter: DS9097U Port: COM2", "Port COM2 is /dev/ttyS1"}));

  Plugin().settings.IntType = "DS2490";
  Plugin().settings.IntPort = "3";
  requested.clear();
  EXPECT_EQ(InitHW(0), "");
  EXPECT_THAT(requested, ElementsAre("DS2490 USB"));
  EXPECT_EQ(Plugin().settings.IntPort, "");  // cleared, not a copy
  EXPECT_THAT(host->LogTexts("1-Wire I/F"), ::testing::Contains("Adapter: DS2490 Port: USB"));

  Plugin().settings.IntType = "SIM";
  Plugin().settings.IntPort = "/srv/bus.json";
  requested.clear();
  EXPECT_EQ(InitHW(0), "");
  EXPECT_THAT(requested, ElementsAre("SIM /srv/bus.json"));
  EXPECT_THAT(host->LogTexts("1-Wire I/F"),
              ::testing::Contains("Adapter: SIM Port: /srv/bus.json"));
}

TEST_F(AdapterSetupTest, ADeadAdapterFallsBackToTheDefaultAdapterOnce) {
  Plugin().settings.IntType = "DS9097U";
  Plugin().settings.IntPort = "1";
  failing = {"DS9097U"};
  WriteFile(dir.path() / "default-adapter.ini",
            "[DefaultAdapter]\nDefaultPortNum=/srv/default.json\nDefaultPortType=SIM\n");
  EXPECT_EQ(InitHW(0), "");
  EXPECT_THAT(requested, ElementsAre("DS9097U /dev/ttyS0", "SIM /srv/default.json"));
  EXPECT_THAT(host->LogTexts("1-Wire I/F ERROR (InitHW)"),
              ElementsAre(HasSubstr("no answer on /dev/ttyS0")));
  EXPECT_THAT(host->LogTexts("1-Wire I/F"),
              ::testing::IsSupersetOf({"Trying default TMEX interface settings",
                                       "Default TMEX interface settings successful"}));
  EXPECT_EQ(store.Get("Settings", "DefaultPort"), "1");
  EXPECT_TRUE(Plugin().AdapterReady);

  // The default adapter failing too ends the start-up with the reason; nothing is left open.
  ResetOneWire();
  OneWire().default_adapter_file = (dir.path() / "default-adapter.ini").string();
  OneWire().register_adapter_types = [](access::OneWireAccessProvider&) {};  // no type at all
  Plugin().AdapterReady = false;
  EXPECT_CALL(*timers, Hide());
  const std::string error = InitHW(0);
  EXPECT_THAT(error, HasSubstr("unknown adapter type"));
  EXPECT_FALSE(Plugin().AdapterReady);
  EXPECT_EQ(OneWire().adapter, nullptr);
}

TEST_F(AdapterSetupTest, PrepAdapterTargetsAFamilyOrTheAlarmingDevices) {
  AddDevice(0x28, 1);
  AddDevice(0x28, 2, true);
  AddDevice(0x10, 3, true);
  Plugin().settings.IntType = "SIM";
  ASSERT_EQ(InitHW(0), "");
  PrepAdapter(0x28, false, false, false);
  EXPECT_THAT(Search(), ElementsAre("28", "28"));
  PrepAdapter(0, true, false, false);
  EXPECT_THAT(Search(), ::testing::UnorderedElementsAre("28", "10"));
  PrepAdapter(0, false, false, false);
  EXPECT_EQ(Search().size(), 3u);

  Plugin().ExternalBusy = true;  // another operation owns the bus: nothing changes unless forced
  PrepAdapter(0x10, false, false, false);
  EXPECT_EQ(Search().size(), 3u);
  PrepAdapter(0x10, false, true, false);
  EXPECT_THAT(Search(), ElementsAre("10"));

  OneWire().adapter->setSpeed(2);
  Plugin().settings.IntSpeed = 1;
  PrepAdapter(0, false, true, true);
  EXPECT_EQ(OneWire().adapter->getSpeed(), 1);  // dropped to flex, as the setting asks
}

TEST_F(AdapterSetupTest, SpeedFollowsTheSettingTheDeviceAndTheAdapter) {
  Plugin().settings.IntType = "SIM";
  ASSERT_EQ(InitHW(0), "");
  auto& adapter = *OneWire().adapter;
  SpeedContainer fast(0x1D, 3), flex_only(0x1D, 1), regular(0x28, 0);
  for (auto* c : {&fast, &flex_only, &regular})
    c->SetupContainer(&adapter, access::RomId::Make(c == &regular ? 0x28 : 0x1D, 9).ToString());

  Plugin().settings.IntSpeed = 2;
  SetSpeed(fast);
  EXPECT_EQ(fast.getSpeed(), 2);  // overdrive: the best both can do
  SetSpeed(flex_only);
  EXPECT_EQ(flex_only.getSpeed(), 1);
  EXPECT_EQ(adapter.getSpeed(), 1);

  // A speed setting of 1 on an adapter without flex changes nothing and does not fall back.
  ResetOneWire();
  OneWire().register_adapter_types = [this](access::OneWireAccessProvider& provider) {
    provider.RegisterAdapterType("SIM",
                                 [this](const std::string&) -> std::unique_ptr<access::BusMaster> {
                                   return std::make_unique<NoFlexMaster>(bus, "no flex");
                                 });
  };
  ASSERT_EQ(InitHW(0), "");
  SpeedContainer other(0x1D, 3);
  other.SetupContainer(OneWire().adapter.get(), access::RomId::Make(0x1D, 9).ToString());
  Plugin().settings.IntSpeed = 1;
  SetSpeed(other);
  EXPECT_EQ(other.getSpeed(), 0);
  EXPECT_EQ(OneWire().adapter->getSpeed(), 0);
  EXPECT_EQ(GetMaxSpeed(), 2);
}

TEST_F(AdapterSetupTest, TheDefaultAdapterFileGivesTypeAndPort) {
  ReadTMEXDefaults();  // no file: port 1 of a DS9097E
  EXPECT_EQ(Plugin().settings.IntType, "DS9097E");
  EXPECT_EQ(Plugin().settings.IntPort, "1");
  WriteFile(dir.path() / "default-adapter.ini",
            "[DefaultAdapter]\nDefaultPortNum=3\nDefaultPortType=5\n");
  ReadTMEXDefaults();
  EXPECT_EQ(Plugin().settings.IntType, "DS9097U");
  EXPECT_EQ(Plugin().settings.IntPort, "3");
}

}  // namespace
}  // namespace qb::test
