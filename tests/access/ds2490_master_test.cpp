#include "access/masters/ds2490_master.h"

#include <gtest/gtest.h>

#include <set>

#include "access/adapter.h"
#include "access/ds2890.h"
#include "access/families.h"
#include "access/masters/libusb_link.h"
#include "sim/emulations/ds2490_emulator.h"
#include "sim/emulations/emulated_usb_link.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::ErrorCode;
using access::ResetResult;
using access::RomId;
namespace d = access::ds2490;

const RomId kB20 = RomId::Make(0x28, 0x18B20);
const RomId kS20 = RomId::Make(0x10, 0x18520);
const RomId kSwitch = RomId::Make(0x12, 0x2406);
const RomId kPot = RomId::Make(0x2C, 0x2890);
const RomId kQuad = RomId::Make(0x20, 0x2450);

TEST(DS2490Protocol, StatePacketsAndResultsDecode) {
  uint8_t packet[d::kStatePacketSize + 3] = {};
  EXPECT_FALSE(d::ParseState(packet, d::kStatePacketSize - 1)) << "a packet cut short";
  packet[8] = d::kStatusIdle;
  packet[13] = 16;
  packet[16] = d::kResultDetect;
  packet[17] = d::kResultNoPresence;
  auto s = d::ParseState(packet, sizeof packet);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->Idle());
  EXPECT_EQ(s->data_in, 16);
  EXPECT_EQ(s->results.size(), 3u);
  packet[11] = 1;  // a command still queued: not idle yet
  EXPECT_FALSE(d::ParseState(packet, sizeof packet)->Idle());

  EXPECT_EQ(d::ResetFromResults({}), ResetResult::Presence);
  EXPECT_EQ(d::ResetFromResults({d::kResultDetect}), ResetResult::Presence)
      << "a device arriving is no error";
  EXPECT_EQ(d::ResetFromResults({d::kResultNoPresence}), ResetResult::NoPresence);
  EXPECT_EQ(d::ResetFromResults({d::kResultShort | d::kResultNoPresence}), ResetResult::Short);
  EXPECT_EQ(d::ResetFromResults({d::kResultAlarmPresence}), ResetResult::Alarm);

  EXPECT_EQ(d::PullupDurationCode(std::chrono::milliseconds(750)), 47) << "rounded up: 752 ms";
  EXPECT_EQ(d::PullupDurationCode(std::chrono::milliseconds(0)), 1) << "never 0 (until halted)";
  EXPECT_EQ(d::PullupDurationCode(std::chrono::milliseconds(10000)), 255);

  // The next pass turns at the highest bit where the path has 1 and the ROM found has 0.
  RomId rom, next;
  rom.bytes[0] = 0x05;
  next.bytes[0] = 0x0D;
  EXPECT_EQ(d::ConflictsFromNextPath(rom, next), uint64_t{1} << 3);
  EXPECT_EQ(d::ConflictsFromNextPath(rom, std::nullopt), 0u);
}

TEST(UsbPort, TextsNameTheFirstTheNthOrBusAndAddress) {
  EXPECT_EQ(access::ParseUsbPort("USB")->index, 1);
  EXPECT_EQ(access::ParseUsbPort("USB2")->index, 2);
  const auto at = access::ParseUsbPort("USB:3:17");
  ASSERT_TRUE(at && at->bus && at->address);
  EXPECT_EQ(*at->bus, 3);
  EXPECT_EQ(*at->address, 17);
  for (const char* bad : {"USB0", "USBx", "USB:3", "USB:0:1", "/dev/ttyS0", "usb"})
    EXPECT_FALSE(access::ParseUsbPort(bad)) << bad;
}

struct DS2490InProcess {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  std::shared_ptr<sim::DS2490Emulator> chip;
  sim::EmulatedUsbLink* link = nullptr;
  access::DS2490Master* master = nullptr;
  std::unique_ptr<access::DSPortAdapter> adapter;

  void Open() {
    chip = std::make_shared<sim::DS2490Emulator>(bus);
    auto l = std::make_unique<sim::EmulatedUsbLink>(chip);
    link = l.get();
    access::DS2490Master::Options options;
    options.wait = [this](std::chrono::milliseconds d) { clock.Advance(d); };
    options.reply_timeout = std::chrono::milliseconds(50);
    auto m = std::make_unique<access::DS2490Master>(std::move(l), options);
    master = m.get();
    m->Open();
    adapter = std::make_unique<access::DSPortAdapter>("DS2490", "USB", std::move(m));
  }
  std::unique_ptr<access::OneWireContainer> Container(const RomId& rom) {
    auto c = access::CreateContainer(rom.family());
    c->SetupContainer(adapter.get(), rom.ToString());
    return c;
  }
  std::set<RomId> Search() {
    std::set<RomId> found;
    for (bool more = adapter->findFirstDevice(); more; more = adapter->findNextDevice())
      found.insert(adapter->getAddress());
    return found;
  }
};

TEST(DS2490Master, SearchesAndReadsAMixedBusAtEverySpeed) {
  DS2490InProcess a;
  a.bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", -55}}));
  a.bus->Add(
      sim::MakeDS2406Model(kSwitch, {{"latches", {true, false}}, {"levels", {false, true}}}));
  a.bus->Add(sim::MakeDS2890Model(kPot, {{"wiper", 255}}));
  a.bus->Add(sim::MakeDS2450Model(kQuad, {{"inputs", {1.0, 2.0, 0.5, 5.1}}}));
  a.Open();
  const RomId id_chip = a.chip->IdChip();
  EXPECT_EQ(id_chip.family(), 0x81);
  EXPECT_EQ(a.Search(), (std::set<RomId>{kB20, kSwitch, kPot, kQuad, id_chip}))
      << "the adapter's own ID chip is on its bus";
  a.adapter->setSearchOnlyAlarmingDevices();
  const auto alarming = a.Search();
  EXPECT_TRUE(alarming.count(kPot) && alarming.count(kQuad) && !alarming.count(kB20));
  a.adapter->setSearchAllDevices();
  a.adapter->targetFamily(0x12);
  EXPECT_EQ(a.Search(), std::set<RomId>{kSwitch});
  a.adapter->targetAllFamilies();

  EXPECT_TRUE(a.adapter->canOverdrive());
  EXPECT_TRUE(a.adapter->canFlex());
  EXPECT_FALSE(a.adapter->canHyperdrive());
  for (int speed : {0, 1}) {
    auto t = a.Container(kB20);
    t->setSpeed(speed, false);
    access::DeviceState s = t->readDevice();
    t->doTemperatureConvert(s);
    EXPECT_EQ(t->getTemperature(s), -55) << "speed " << speed;
    EXPECT_EQ(a.chip->SpeedCode(), speed);
    auto sw = a.Container(kSwitch);
    s = sw->readDevice();
    EXPECT_TRUE(sw->getLatchState(0, s));
    sw->setLatchState(0, false, false, s);
    sw->writeDevice(s);
    EXPECT_FALSE(sw->getLatchState(0, sw->readDevice()));
    sw->setLatchState(0, true, false, s);
    sw->writeDevice(s);
  }
  // The DS2450 runs at overdrive too: the container selects it with Overdrive Match.
  auto q = a.Container(kQuad);
  q->setSpeed(2, false);
  EXPECT_EQ(q->readDevice().size(), 24u);
  EXPECT_EQ(a.chip->SpeedCode(), 2);
  EXPECT_GT(a.master->Stats().slots[1], 0u);
  a.adapter->setSpeed(0);
  auto pot = a.Container(kPot);
  auto& wiper = dynamic_cast<access::DS2890Container&>(*pot);
  EXPECT_TRUE(wiper.setWiperPosition(0));
  EXPECT_EQ(wiper.getWiperPosition(), 0);
  EXPECT_THROW(a.adapter->setSpeed(3), access::AccessError);
}

TEST(DS2490Master, AParasitePoweredConversionGetsTheChipsStrongPullup) {
  DS2490InProcess a;
  a.bus->Add(sim::MakeDS18S20Model(kS20, {{"temperature", 30.5}, {"power", "parasite"}}));
  a.Open();
  auto s20 = a.Container(kS20);
  access::DeviceState s = s20->readDevice();
  EXPECT_FALSE(s20->isExternalPowerSupplied(s));
  s20->doTemperatureConvert(s);
  EXPECT_EQ(s20->getTemperature(s), 30.5);
  EXPECT_GE(a.chip->PowerDelivered().count(), 750) << "the chip held the pull-up itself";
  EXPECT_GE(a.master->Stats().power_delivery.count(), 750);
}

TEST(DS2490Master, ResetsReportPresenceNoneAndAShort) {
  DS2490InProcess a;
  a.Open();
  // Only the adapter's own chip: it answers.
  EXPECT_EQ(a.master->Reset(), ResetResult::Presence);
  a.bus->SetShort(sim::Constant(1));
  EXPECT_EQ(a.master->Reset(), ResetResult::Short);
  EXPECT_THROW(a.adapter->findFirstDevice(), access::AccessError);
  a.bus->SetShort(sim::Constant(0));
  EXPECT_EQ(a.master->Reset(), ResetResult::Presence);
}

TEST(DS2490Master, DamagedStateIsRetriedAndAnUnpluggedAdapterFailsNamingIt) {
  DS2490InProcess a;
  a.bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", 125}}));
  a.Open();
  auto t = a.Container(kB20);
  access::DeviceState s = t->readDevice();
  // State packets cut short are read again; bytes lost on the way in cut the transaction off,
  // which runs again and reads the device's value, never a wrong one.
  a.link->ShortenStatePackets(3);
  a.link->LoseBulkReads(1);
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), 125);
  s = t->readDevice();
  a.link->LoseBulkReads(2);
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), 125);

  a.link->Unplug();
  try {
    a.adapter->findFirstDevice();
    ADD_FAILURE() << "a search on an unplugged adapter";
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
    EXPECT_NE(std::string(e.what()).find("emulated DS9490R"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace qb
