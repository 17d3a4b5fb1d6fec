#include <gmock/gmock.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "core/hspi.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/registry_device_control.h"
#include "registry/value_update.h"
#include "support/plugin_fixture.h"

namespace qb::test {
namespace {

using ::testing::ElementsAre;

const std::string kThermo = "5A0000000001E228";
const std::string kBattery = "6B00000000031B26";

class RegistryTest : public PluginTest {
 protected:
  RegistryTest() {
    ConnectHost();
    ResetRegistry();
  }
  ~RegistryTest() override { ResetRegistry(); }
};

TEST_F(RegistryTest, FindCreatesDevicesAndChannelsAsTheKeySays) {
  auto rom = gROMs().Find(kThermo);
  ASSERT_TRUE(rom);
  EXPECT_EQ(rom->Devices->Count(), 0);  // a new ROM id, no ID device asked for
  EXPECT_EQ(rom->Caps, 1);
  EXPECT_EQ(gROMs().Find(kThermo), rom);
  EXPECT_EQ(rom->Devices->Count(), 1);  // now the channel of the 16-character key exists
  EXPECT_EQ(gROMs().FindDev(""), nullptr);
  EXPECT_EQ(gROMs().Count(), 1);

  auto m = gROMs().FindDev(kThermo + "M");
  EXPECT_EQ(m->dc, -1);
  EXPECT_EQ(m->HSName, kThermo + "M");
  EXPECT_EQ(m->HSLocation, "Unknown");
  EXPECT_EQ(m->Parent.lock(), rom);
  EXPECT_FALSE(m->AddressUpdated);
  EXPECT_EQ(gROMs().Find(kBattery)->DS2438Humid, 1);  // no stored choice yet
}

TEST_F(RegistryTest, AChannelAdoptsTheHostDeviceOfItsKey) {
  auto d = host->AddDevice("A", "7", kPluginName, kThermo + "M");
  d->name_ = "Temp";
  d->Location_ = "Kitchen";
  d->string_ = "21.500";
  store.Set("Adjustment", kThermo + "M", "-0.5");
  store.Set("Log", kThermo + "M", "1");
  auto m = gROMs().FindDev(kThermo + "M");
  EXPECT_EQ(m->hc, "A");
  EXPECT_EQ(m->dc, 7);
  EXPECT_EQ(m->HSName, "Temp");
  EXPECT_EQ(m->HSLocation, "Kitchen");
  EXPECT_EQ(m->HSString, "21.500");
  EXPECT_TRUE(m->AddressUpdated);
  EXPECT_EQ(m->Adjustment, -0.5);
  EXPECT_EQ(m->LogtoDB, 1);
  EXPECT_EQ(gROMs().FindbyHSLocationAndHSName("Kitchen Temp"), kThermo + "M");
  EXPECT_EQ(gROMs().FindbyHSLocationAndHSName("Kitchen Lamp"), "");
  EXPECT_EQ(ResolveChartName("Kitchen Temp"), kThermo + "M");
  EXPECT_EQ(ResolveChartName("Kitchen Lamp"), "Kitchen Lamp");
  Plugin().settings.DeviceIDByName = false;  // rows name devices by address: nothing to resolve
  EXPECT_EQ(ResolveChartName("Kitchen Temp"), "Kitchen Temp");

  RenameHSDevice(kThermo + "M", "Stove");
  RelocateHSDevice(kThermo + "M", "Hall");
  EXPECT_EQ(d->name_, "Stove");
  EXPECT_EQ(d->Location_, "Hall");
  EXPECT_EQ(m->HSName, "Stove");
  EXPECT_EQ(m->HSLocation, "Hall");

  EXPECT_EQ(gROMs().FindHSDev("A", "7"), m);
  EXPECT_EQ(gROMs().FindHSDev("A", ""), nullptr);
  EXPECT_EQ(gROMs().FindHSDev("a", "7"), nullptr);
}

TEST_F(RegistryTest, KeysAreCaseSensitiveAndAdoptionRebuildsTheRegistry) {
  gROMs().FindDev(kThermo + "M");
  std::string lower = kThermo;
  lower[0] = 'a';  // "5a..." is not "5A..."
  EXPECT_NE(gROMs().FindDev(lower + "M"), gROMs().FindDev(kThermo + "M"));
  EXPECT_EQ(gROMs().Count(), 2);

  ResetRegistry();
  host->AddDevice("A", "1", kPluginName, kThermo + "M");
  host->AddDevice("A", "2", kPluginName, kBattery);
  host->AddDevice("A", "3", "Other", "0F00000000054A1DK0");  // not ours
  host->AddDevice("A", "4", kPluginName, "");                // ours, but never bound
  store.Set("Show Device ID", kBattery, "1");
  AdoptHSDevices(true);
  ASSERT_EQ(gROMs().Count(), 2);
  EXPECT_EQ(gROMs().FindHSDev("A", "1")->ROM, kThermo + "M");
  EXPECT_EQ(gROMs().FindHSDev("A", "2")->ROM, kBattery);  // the device's own ID device
  EXPECT_EQ(host->CountCalls("WriteSplash"), 3u);
}

TEST_F(RegistryTest, RemoveTakesOutOnlyTheNamedDevice) {
  gROMs().Find(kThermo);
  gROMs().Find(kBattery);
  DSDevice channel;
  channel.ROM = kThermo + "M";
  gROMs().Remove(channel);  // the first of the list
  ASSERT_EQ(gROMs().Count(), 1);
  EXPECT_EQ(gROMs().ROMlist[0]->ROM, kBattery);
}

// Lookups go through an index beside the list; whatever happened to the list (removals at the
// front or in the middle, records taken out directly as the sensor replacement does, a reset),
// they must find what a walk of the list from the front finds, and never add a second record.
TEST_F(RegistryTest, LookupsAgreeWithAWalkOfTheListAfterAnyChange) {
  const unsigned seed = ::testing::UnitTest::GetInstance()->random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::vector<std::string> roms;
  for (int i = 0; i < 24; ++i) {
    char text[17];
    std::snprintf(text, sizeof text, "%014X28", 0x1000 + i * 7);
    roms.push_back(text);
  }
  auto walk = [](const std::string& rom) -> std::shared_ptr<DSROM> {
    for (const auto& r : gROMs().ROMlist)
      if (r->ROM == rom) return r;
    return nullptr;
  };
  auto& list = gROMs().ROMlist;
  for (int step = 0; step < 600; ++step) {
    const std::string& rom = roms[rng() % roms.size()];
    switch (rng() % 6) {
      case 0:
      case 1:
        gROMs().Find(rom);
        break;
      case 2: {
        DSDevice channel;
        channel.ROM = rom + "M";
        gROMs().Remove(channel);
        break;
      }
      case 3:
        std::erase_if(list, [&](const auto& r) { return r->ROM == rom; });
        break;
      case 4:
        if (!list.empty()) list.erase(list.begin() + static_cast<long>(rng() % list.size()));
        break;
      default:
        if (rng() % 20 == 0) ResetRegistry();
        break;
    }
    for (const auto& r : roms) {
      ASSERT_EQ(gROMs().FindParent(r + "M"), walk(r)) << "step " << step << ", " << r;
    }
    const auto before = walk(rom);
    const auto found = gROMs().FindDev(rom + "M");
    ASSERT_TRUE(found);
    ASSERT_EQ(found->Parent.lock(), walk(rom));
    if (before) {
      ASSERT_EQ(walk(rom), before);
    }
    ASSERT_EQ(std::count_if(list.begin(), list.end(), [&](const auto& r) { return r->ROM == rom; }),
              1);
  }
}

TEST_F(RegistryTest, HouseCodesFromTheHostOrTheLegacySetting) {
  host->next_free_io_codes = {'C'};
  host->AddDevice("C", "1", "Other");  // the host's proposal is taken: the next letter is tried
  InitHouseCodes(-1);
  EXPECT_THAT(Plugin().strHouseCodes, ElementsAre("D"));
  EXPECT_EQ(store.Get("Settings", "strHouseCodes0"), "D");
  EXPECT_FALSE(store.Get("Settings", "gBaseCodes").has_value());
  EXPECT_THAT(host->LogTexts("1-Wire I/F"), ElementsAre("Housecode 0 = D", "Version = 1.6.0"));

  ResetPluginState();
  Plugin().services = PluginServices{&store, &ui, &loop, &clock};
  ConnectHost();
  IniSettingsStore fresh;
  Plugin().services.settings = &fresh;
  fresh.Set("Settings", "gBaseCode", "Q");
  const size_t asked = host->CountCalls("GetNextFreeIOCode");
  InitHouseCodes(-1);
  EXPECT_THAT(Plugin().strHouseCodes, ElementsAre("Q"));
  EXPECT_EQ(fresh.Get("Settings", "gBaseCodes"), "0");
  EXPECT_EQ(host->CountCalls("GetNextFreeIOCode"), asked);
}

TEST_F(RegistryTest, NoFreeHouseCodeStopsThePollTimer) {
  host->next_free_io_codes = {-1};
  EXPECT_CALL(*timers, SetPollTimerEnabled(false));
  InitHouseCodes(-1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].second, "HSPI_Vornlet ERROR. Sorry, all device codes used");
  EXPECT_TRUE(host->LogTexts("1-Wire I/F").empty());
}

TEST_F(RegistryTest, DeviceCodesFillTheLowestGapThenGrowTheTable) {
  for (const char* dc : {"1", "2", "4"}) host->AddDevice("A", dc, kPluginName);
  host->AddDevice("A", "3", "Other");  // another plug-in's code does not count
  EXPECT_EQ(NextFreeDeviceCode("A"), 3);
  host->AddDevice("A", "3", kPluginName);
  EXPECT_EQ(NextFreeDeviceCode("A"), 5);
  EXPECT_EQ(NextFreeDeviceCode("B"), 1);

  host->devices.clear();
  for (int i = 1; i <= 64; ++i) host->AddDevice("A", std::to_string(i), kPluginName);
  Plugin().strHouseCodes = {"A"};
  Plugin().gBaseCodes = 0;
  host->next_free_io_codes = {'A'};
  std::string hc;
  EXPECT_EQ(AllocateHostCode(hc), 1);
  EXPECT_EQ(hc, "B");  // A is in use: the host's proposal moves on
  EXPECT_EQ(Plugin().gBaseCodes, 1);
  EXPECT_EQ(store.Get("Settings", "gBaseCodes"), "1");
}

TEST_F(RegistryTest, CreatedHostDevicesGetTheirTypeAndCode) {
  Plugin().strHouseCodes = {"A"};
  Plugin().gBaseCodes = 0;
  auto pot = gROMs().FindDev("B40000000007132CT");
  CreateHSDevice(*pot, "DS2890", "128", "B40000000007132C-Pot");
  ASSERT_EQ(host->devices.size(), 1u);
  const auto& h = *host->devices[0];
  EXPECT_EQ(h.hc_ + h.dc_, "A1");
  EXPECT_EQ(h.Location_, "Unknown");
  EXPECT_EQ(h.interface_, kPluginName);
  EXPECT_EQ(h.iomisc_, "B40000000007132CT");
  EXPECT_EQ(h.Buttons_, "");
  EXPECT_EQ(h.iotype_, 1);
  EXPECT_TRUE(h.can_dim_);
  EXPECT_EQ(h.dev_type_string_, "1-Wire-DS2890");
  EXPECT_EQ(h.Status_, 2);
  EXPECT_EQ(pot->Code(), "A1");
  EXPECT_THAT(host->LogTexts("Adding 1-Wire DS2890"),
              ElementsAre("Address= B40000000007132CT HS Code=A1"));

  auto m = gROMs().FindDev(kThermo + "M");
  CreateHSDevice(*m, "DS18B20", "0", kThermo + "M-Temp");
  const auto& t = *host->devices[1];
  EXPECT_EQ(t.dc_, "2");
  EXPECT_EQ(t.Buttons_, std::string(kPluginName) + '\x02' + "Update A2");
  EXPECT_FALSE(t.can_dim_);
  EXPECT_EQ(t.Status_, 3);
  TestDevice counter;
  SetHSDeviceType("0F00000000054A1DK2", counter);
  EXPECT_EQ(counter.misc_, 16);
}

TEST_F(RegistryTest, UpdateEPROMAddressTouchesOnlyTheMatchingDevice) {
  auto d = host->AddDevice("A", "4", kPluginName, "old");
  UpdateEPROMAddress("A", "5", "new");
  EXPECT_EQ(d->iomisc_, "old");
  EXPECT_TRUE(host->log.empty());
  UpdateEPROMAddress("A", "4", "new");
  EXPECT_EQ(d->iomisc_, "new");
  EXPECT_THAT(host->LogTexts("1-Wire I/F"),
              ElementsAre("Updated EPROM address to: new for device: A4"));
}

TEST_F(RegistryTest, ThePluginObjectFindsChannelsThroughTheRegistry) {
  auto mock = std::make_shared<::testing::NiceMock<MockDeviceControl>>();
  RegistryDeviceControl control(mock);
  auto d = host->AddDevice("B", "9", kPluginName, "0000000012345612P1");
  gROMs().FindDev("0000000012345612P1");  // adopts B9
  TestDevice dv;
  auto ref = control.BindHSDevice(&dv, "B", "9");
  ASSERT_TRUE(ref);
  EXPECT_EQ(ref->key, "0000000012345612P1");
  EXPECT_EQ(ref->caps, 0x110u);  // the DS2406's capabilities
  EXPECT_EQ(dv.iomisc_, "0000000012345612P1");
  EXPECT_FALSE(control.GetHSROM("B", "10"));
  EXPECT_CALL(*mock, SetSwitch(::testing::Field(&ChannelRef::key, "0000000012345612P1"), true));
  control.SetSwitch(*ref, true);
  control.UpdateHSDev(*ref, "On");
  EXPECT_EQ(d->string_, "On");
}

class UpdateTest : public RegistryTest {
 protected:
  UpdateTest() {
    device = host->AddDevice("A", "12", kPluginName, kThermo + "M");
    record = gROMs().FindDev(kThermo + "M");
    Plugin().settings.SigFigs = 3;
  }
  std::shared_ptr<TestDevice> device;
  std::shared_ptr<DSDevice> record;
};

TEST_F(UpdateTest, NumbersAreFormattedWithOrWithoutTheUnit) {
  Plugin().settings.Append = false;
  EXPECT_TRUE(UpdateHSDev(*record, 22.25, "\u00BAC"));
  EXPECT_EQ(device->string_, "22.250");
  EXPECT_EQ(device->value_, 22.25);
  EXPECT_EQ(record->Reading, 22.25);
  EXPECT_EQ(device->lastChange_, clock.Now());

  Plugin().settings.Append = true;
  EXPECT_TRUE(UpdateHSDev(*record, 21.5625, "\u00BAC"));
  EXPECT_EQ(device->string_, "21.563\u00BAC");
  EXPECT_EQ(device->value_, 21562);                        // 21562.5 to the even neighbour
  EXPECT_FALSE(UpdateHSDev(*record, 21.5625, "\u00BAC"));  // unchanged since the last write
  EXPECT_TRUE(UpdateHSDev(*record, 0.0, "\u00BAC"));
  EXPECT_EQ(device->string_, "0.000\u00BAC");
}

TEST_F(UpdateTest, RawCountsAndOnOffTexts) {
  device->string_ = "1234";
  const size_t calls = host->calls.size();
  EXPECT_FALSE(UpdateHSDev(*record, 1234.0, "", true));
  EXPECT_EQ(host->CountCalls("SetDeviceString") + host->CountCalls("SetDeviceValue"), 0u);
  EXPECT_GT(host->calls.size(), calls);  // only the status text was read

  record->HSString = "On";
  host->log.clear();
  EXPECT_FALSE(UpdateHSDev(*record, std::string("On")));
  EXPECT_TRUE(host->log.empty());
  record->HSString = "Off";
  EXPECT_TRUE(UpdateHSDev(*record, std::string("On")));
  EXPECT_EQ(device->value_, 100);
  EXPECT_EQ(device->Status_, 2);
  EXPECT_EQ(device->string_, "On");
  EXPECT_EQ(record->Reading, 1);
}

TEST_F(UpdateTest, AdjustmentAndTheOneTimeAddressUpdate) {
  Plugin().settings.Append = false;
  store.Set("Adjustment", kThermo + "M", "-0.5");
  record->AddressUpdated = false;
  device->iomisc_ = "stale";
  EXPECT_TRUE(UpdateHSDev(*record, 20.0, "\u00BAC"));
  EXPECT_EQ(device->value_, 19.5);
  EXPECT_EQ(device->iomisc_, kThermo + "M");
  EXPECT_TRUE(record->AddressUpdated);
  device->iomisc_ = "stale again";
  UpdateHSDev(*record, 21.0, "\u00BAC");
  EXPECT_EQ(device->iomisc_, "stale again");  // once per run only

  // With the unit appended, the change test compares the adjusted reading with the last one.
  Plugin().settings.Append = true;
  EXPECT_TRUE(UpdateHSDev(*record, 20.0, "\u00BAC"));
  EXPECT_EQ(device->string_, "19.500\u00BAC");
  EXPECT_FALSE(UpdateHSDev(*record, 20.0, "\u00BAC"));
  EXPECT_TRUE(UpdateHSDev(*record, 19.5, "\u00BAC"));
  EXPECT_EQ(device->value_, 19000);
}

TEST_F(UpdateTest, AChannelWithoutHostDeviceWritesNothing) {
  auto unbound = gROMs().FindDev(kBattery + "G");
  ASSERT_EQ(unbound->dc, -1);
  const size_t calls = host->calls.size();
  EXPECT_FALSE(UpdateHSDev(*unbound, 5.0, "V"));
  EXPECT_EQ(host->calls.size(), calls);
  EXPECT_TRUE(host->LogTexts("1-Wire ERROR (UpdateHSDev)").empty());
}

TEST_F(UpdateTest, AFailingHostIsLoggedAndReportsNoUpdate) {
  host->failing = {"SetDeviceString"};
  Plugin().settings.Append = false;
  EXPECT_FALSE(UpdateHSDev(*record, 5.0, "V"));
  ASSERT_EQ(host->LogTexts("1-Wire ERROR (UpdateHSDev)").size(), 1u);
  EXPECT_THAT(host->LogTexts("1-Wire ERROR (UpdateHSDev)")[0], ::testing::HasSubstr("Value=5"));
}

}  // namespace
}  // namespace qb::test
