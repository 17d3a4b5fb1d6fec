#include "access/masters/ds2482_master.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "access/adapter.h"
#include "access/ds2890.h"
#include "access/families.h"
#include "access/masters/adapter_types.h"
#include "access/masters/i2c_adapters.h"
#include "access/provider.h"
#include "sim/ds2890.h"
#include "sim/emulations/emulated_i2c_link.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::ErrorCode;
using access::ResetResult;
using access::RomId;
using nlohmann::json;
namespace d = access::ds2482;

TEST(DS2482Protocol, ConfigurationChannelsAndPortText) {
  EXPECT_EQ(d::ConfigByte(0x00), 0xF0);
  EXPECT_EQ(d::ConfigByte(d::kActivePullup), 0xE1);
  EXPECT_EQ(d::ConfigByte(d::kActivePullup | d::kStrongPullup | d::kOverdrive), 0x2D);
  EXPECT_EQ(d::ChannelCode(0), 0xF0);
  EXPECT_EQ(d::ChannelCode(7), 0x87);
  EXPECT_EQ(d::ChannelReadBack(0), 0xB8);
  EXPECT_EQ(d::ChannelReadBack(3), 0xA3);

  auto p = d::ParsePort("/dev/i2c-1:0x18", nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->bus, "/dev/i2c-1");
  EXPECT_EQ(p->address, 0x18);
  EXPECT_FALSE(p->channel);
  p = d::ParsePort("/dev/i2c-11:0x1F:7", nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->address, 0x1F);
  EXPECT_EQ(p->channel, 7);
  EXPECT_EQ(d::FormatPort(*p), "/dev/i2c-11:0x1F:7");
  for (const char* bad : {"/dev/i2c-1", "/dev/i2c-1:0x17", "/dev/i2c-1:0x20", "/dev/i2c-1:0x18:8",
                          "/dev/i2c-1:0x18:", "i2c-1:0x18", ":0x18", "/dev/i2c-1:zz"}) {
    std::string error;
    EXPECT_FALSE(d::ParsePort(bad, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  // The adapter table hands the port on as written.
  const auto port = access::LookUpAdapterPort("DS2482", "/dev/i2c-1:0x18:3");
  EXPECT_EQ(port.port_text, "/dev/i2c-1:0x18:3");
  EXPECT_EQ(access::AdapterTypeForPortType(std::to_string(port.port_type)), "DS2482");
}

// Simulated buses behind an emulated DS2482-100 (one channel) or -800 (eight), on simulated time.
struct EmulatedBridge {
  SimulatedClock clock;
  std::vector<std::shared_ptr<sim::SimBus>> buses;
  std::shared_ptr<sim::DS2482Emulator> chip;
  access::DS2482Master* master = nullptr;
  std::unique_ptr<access::DSPortAdapter> adapter;
  std::vector<std::string> log;

  explicit EmulatedBridge(int channels = 1, std::optional<int> channel = std::nullopt) {
    for (int i = 0; i < channels; ++i) buses.push_back(std::make_shared<sim::SimBus>(clock));
    chip = std::make_shared<sim::DS2482Emulator>(buses);
    access::DS2482Master::Options options;
    options.wait = [this](std::chrono::milliseconds d) { clock.Advance(d); };
    options.log = [this](const std::string& line) { log.push_back(line); };
    auto m = std::make_unique<access::DS2482Master>(
        std::make_unique<sim::EmulatedI2cLink>(chip, "/dev/i2c-1 address 0x18"), channel, options);
    master = m.get();
    m->Open();
    adapter = std::make_unique<access::DSPortAdapter>("DS2482", "/dev/i2c-1:0x18", std::move(m));
  }
  sim::SimBus& Bus(int channel = 0) { return *buses[static_cast<size_t>(channel)]; }
  std::unique_ptr<access::OneWireContainer> Open(const RomId& rom) {
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
  double Temperature(const RomId& rom) {
    auto c = Open(rom);
    access::DeviceState s = c->readDevice();
    c->doTemperatureConvert(s);
    return c->getTemperature(s);
  }
};

const RomId kB20 = RomId::Make(0x28, 0x18B20);
const RomId kS20 = RomId::Make(0x10, 0x18520);
const RomId kPot = RomId::Make(0x2C, 0x2890);

void AddDevices(sim::SimBus& bus) {
  bus.Add(sim::MakeDS18B20Model(kB20, {{"temperature", -55.0}}));
  bus.Add(sim::MakeDS18S20Model(kS20, {{"temperature", 85.0}, {"power", "parasite"}}));
  bus.Add(sim::MakeDS2890Model(kPot, {{"wiper", 200}}));
}

TEST(DS2482Master, OpenResetsAndConfiguresTheBridge) {
  EmulatedBridge b;
  EXPECT_EQ(b.chip->DeviceResets(), 1u);
  EXPECT_EQ(b.chip->Config(), d::kActivePullup);
  EXPECT_FALSE(b.chip->Status() & d::kDeviceWasReset) << "cleared by the configuration write";
  EXPECT_EQ(b.master->Describe(), "DS2482 on /dev/i2c-1 address 0x18");

  // Overdrive travels in the configuration, written before the next 1-Wire command.
  b.master->SetSpeed(access::Speed::Overdrive);
  b.master->Reset();
  EXPECT_EQ(b.chip->Config(), d::kActivePullup | d::kOverdrive);
  EXPECT_EQ(b.master->Stats().resets[1], 1u);
}

TEST(DS2482Master, ReadsEachKindOfDeviceOnASingleChannelBridge) {
  EmulatedBridge b;
  AddDevices(b.Bus());
  EXPECT_EQ(b.Search(), (std::set<RomId>{kB20, kS20, kPot}));
  EXPECT_EQ(b.Temperature(kB20), -55.0);
  EXPECT_EQ(b.Temperature(kS20), 85.0);
  // The parasite-powered DS18S20 converted under the strong pull-up, which was ended again.
  EXPECT_GE(b.chip->PowerDelivered(), std::chrono::milliseconds(750));
  EXPECT_FALSE(b.chip->Config() & d::kStrongPullup);
  auto pot = b.Open(kPot);
  auto& p = dynamic_cast<access::DS2890Container&>(*pot);
  EXPECT_EQ(p.getWiperPosition(), 200);
  p.setWiperPosition(17);
  EXPECT_EQ(b.Bus().FindAs<sim::DS2890Model>(kPot)->Wiper(), 17);

  // An empty or shorted channel.
  EmulatedBridge empty;
  EXPECT_EQ(empty.master->Reset(), ResetResult::NoPresence);
  empty.Bus().SetShort(sim::Constant(1));
  EXPECT_EQ(empty.master->Reset(), ResetResult::Short);
}

TEST(DS2482Master, UsesOnlyItsChannelOfAnEightChannelBridge) {
  EmulatedBridge b(8, 5);
  AddDevices(b.Bus(5));
  b.Bus(0).Add(sim::MakeDS18B20Model(RomId::Make(0x28, 0x0C0), {{"temperature", 1.0}}));
  EXPECT_EQ(b.chip->Channel(), 5);
  EXPECT_EQ(b.Search(), (std::set<RomId>{kB20, kS20, kPot}));
  EXPECT_EQ(b.Temperature(kB20), -55.0);

  // A channel asked of a single-channel bridge is refused by name.
  try {
    EmulatedBridge single(1, 2);
    ADD_FAILURE() << "opened a channel of a DS2482-100";
  } catch (const access::AccessError& e) {
    EXPECT_NE(std::string(e.what()).find("DS2482-800"), std::string::npos) << e.what();
  }
}

TEST(DS2482Master, ANackIsLoggedAndRetriedAndAMuteBridgeFailsRecoverably) {
  EmulatedBridge b;
  AddDevices(b.Bus());
  b.chip->NackNext(2);
  EXPECT_EQ(b.Temperature(kB20), -55.0);
  ASSERT_EQ(b.log.size(), 2u);
  EXPECT_NE(b.log[0].find("did not acknowledge"), std::string::npos) << b.log[0];

  b.chip->NackNext(100);
  try {
    b.master->Reset();
    ADD_FAILURE() << "a mute bridge reported a reset";
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
    EXPECT_NE(std::string(e.what()).find("/dev/i2c-1 address 0x18"), std::string::npos) << e.what();
  }
  // Answering again: the next operation starts with a device reset and the configuration.
  b.chip->NackNext(0);
  const auto resets = b.chip->DeviceResets();
  EXPECT_EQ(b.master->Reset(), ResetResult::Presence);
  EXPECT_EQ(b.chip->DeviceResets(), resets + 1);
  EXPECT_EQ(b.chip->Config(), d::kActivePullup);
}

TEST(DS2482Master, ABridgeResetIsNoticedAndTheChannelAndConfigurationRestored) {
  EmulatedBridge b(8, 3);
  AddDevices(b.Bus(3));
  auto c = b.Open(kB20);
  access::DeviceState s = c->readDevice();

  // The bridge loses power between two operations: it wakes on channel 0, unconfigured. The
  // master must not read channel 0's silence as the answer.
  ASSERT_TRUE(b.adapter->select(kB20));
  b.chip->PowerUp();
  uint8_t block[10] = {0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_THROW(b.master->Block(block, sizeof block), access::TransactionInterrupted);
  EXPECT_EQ(b.chip->Channel(), 3);
  EXPECT_EQ(b.chip->Config(), d::kActivePullup);
  ASSERT_FALSE(b.log.empty());
  EXPECT_NE(b.log.back().find("was reset"), std::string::npos) << b.log.back();

  // A reset of the bridge during a 1-Wire reset is repeated; inside a container read the
  // transaction is run again, and the value is right.
  b.chip->PowerUp();
  EXPECT_EQ(b.master->Reset(), ResetResult::Presence);
  b.chip->PowerUp();
  s = c->readDevice();
  c->doTemperatureConvert(s);
  EXPECT_EQ(c->getTemperature(s), -55.0);
}

TEST(DS2482Master, TheWaitForABusyBridgeIsBounded) {
  EmulatedBridge b;
  b.chip->BusyFor(3);
  EXPECT_EQ(b.master->Reset(), ResetResult::NoPresence);
  b.chip->BusyFor(1 << 30);
  try {
    b.master->Reset();
    ADD_FAILURE() << "a bridge busy for ever reported a reset";
  } catch (const access::AccessError& e) {
    EXPECT_NE(std::string(e.what()).find("stayed busy"), std::string::npos) << e.what();
  }
  b.chip->BusyFor(0);
  EXPECT_EQ(b.master->Reset(), ResetResult::NoPresence);
}

TEST(DS2482Master, ProviderRefusesBadPortsAndMissingBusesByName) {
  access::OneWireAccessProvider provider;
  access::RegisterI2cAdapters(provider);
  for (const std::string port : {"/dev/i2c-1:0x40", "/nonexistent/i2c-9:0x18"}) {
    try {
      provider.openAdapter("{DS2482}", port);
      ADD_FAILURE() << port;
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
      EXPECT_NE(std::string(e.what()).find(port.substr(0, port.find(':'))), std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace qb
