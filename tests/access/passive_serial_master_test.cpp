#include "access/masters/passive_serial_master.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>

#include "access/adapter.h"
#include "access/ds2406.h"
#include "access/ds2890.h"
#include "access/families.h"
#include "access/masters/serial_adapters.h"
#include "access/masters/serial_port.h"
#include "access/provider.h"
#include "sim/ds2406.h"
#include "sim/ds2890.h"
#include "sim/emulations/passive_emulator.h"
#include "sim/emulations/pty_server.h"
#include "sim/models.h"
#include "sim/sim_bus.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using access::ErrorCode;
using access::ResetResult;
using access::RomId;
using nlohmann::json;
namespace p = access::passive;

const RomId kB20 = RomId::Make(0x28, 0x18B20);
const RomId kS20 = RomId::Make(0x10, 0x18520);
const RomId kSwitch = RomId::Make(0x12, 0x2406);
const RomId kPot = RomId::Make(0x2C, 0x2890);
const RomId kQuad = RomId::Make(0x20, 0x2450);

// --- The line encoding, and the emulation's reading of it -------------------------------------

TEST(PassiveSerialProtocol, EchoesDecodeAsTheLineBehaved) {
  EXPECT_EQ(p::DecodeResetEcho(0xF0), ResetResult::NoPresence);
  EXPECT_EQ(p::DecodeResetEcho(0xE0), ResetResult::Presence);
  EXPECT_EQ(p::DecodeResetEcho(0x90), ResetResult::Presence);
  EXPECT_EQ(p::DecodeResetEcho(0x00), ResetResult::Short);
  uint8_t chars[8];
  p::EncodeByteSlots(0xA5, chars);
  const uint8_t want[8] = {0xFF, 0x00, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0xFF};
  EXPECT_TRUE(std::equal(chars, chars + 8, want));
  chars[0] = 0xF8;  // a device held the first read slot low
  EXPECT_EQ(p::DecodeByteSlots(chars), 0xA4);
}

TEST(PassiveEmulator, ResetsAt9600SlotsAt115200NothingElse) {
  SimulatedClock clock;
  auto bus = std::make_shared<sim::SimBus>(clock);
  sim::PassiveEmulator e(bus);
  EXPECT_EQ(e.Receive({0xF0}, 9600), std::vector<uint8_t>{0xF0}) << "nobody on the bus";
  bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", 20}}));
  EXPECT_EQ(e.Receive({0xF0}, 9600), std::vector<uint8_t>{0xE0}) << "a presence pulse";
  // Read ROM, then the family code comes back in eight read slots: 0x28 least significant first.
  std::vector<uint8_t> read_rom(8), slots(8, 0xFF);
  p::EncodeByteSlots(0x33, read_rom.data());
  e.Receive(read_rom, 115200);
  EXPECT_EQ(p::DecodeByteSlots(e.Receive(slots, 115200).data()), 0x28);
  EXPECT_EQ(e.Receive(slots, 115200)[0], 0xF8) << "a 0 bit holds the line past data bit 0";
  // Characters at another rate are no bus signals: echoed, and the bus saw nothing.
  const uint64_t before = e.Slots() + e.Resets();
  EXPECT_EQ(e.Receive({0xF0, 0x00}, 19200), (std::vector<uint8_t>{0xF0, 0x00}));
  EXPECT_EQ(e.Slots() + e.Resets(), before);
  bus->SetShort(sim::Constant(1));
  EXPECT_EQ(e.Receive({0xF0}, 9600), std::vector<uint8_t>{0x00});
}

// --- Lost echoes, in process: a link to the emulation that can drop characters ----------------

class LossyPassiveLink : public access::SerialLink {
 public:
  explicit LossyPassiveLink(std::shared_ptr<sim::SimBus> bus) : emulator_(std::move(bus)) {}
  void Write(const uint8_t* data, size_t length) override {
    for (uint8_t c : emulator_.Receive(data, length, baud_)) {
      if (pass_ > 0) {
        --pass_;
      } else if (lose_ > 0) {
        --lose_;
        continue;
      }
      echoes_.push_back(c);
    }
  }
  size_t Read(uint8_t* data, size_t length, std::chrono::milliseconds) override {
    size_t n = 0;
    for (; n < length && !echoes_.empty(); ++n) {
      data[n] = echoes_.front();
      echoes_.erase(echoes_.begin());
    }
    return n;
  }
  void SendBreak() override {}
  void SetBaudRate(int baud) override { baud_ = baud; }
  void DiscardInput() override { echoes_.clear(); }
  std::string Describe() const override { return "/dev/ttyLOSSY"; }
  // After `after` more echoed characters, the next `n` are lost.
  void Lose(int n, int after = 0) {
    lose_ = n;
    pass_ = after;
  }

 private:
  sim::PassiveEmulator emulator_;
  int baud_ = 9600;
  int lose_ = 0;
  int pass_ = 0;
  std::vector<uint8_t> echoes_;
};

TEST(PassiveSerialMaster, ALostEchoIsRetriedAsAWholeTransactionNeverAWrongValue) {
  SimulatedClock clock;
  auto bus = std::make_shared<sim::SimBus>(clock);
  bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", 85.5}}));
  auto owned = std::make_unique<LossyPassiveLink>(bus);
  LossyPassiveLink* link = owned.get();
  access::PassiveSerialMaster::Options options;
  options.wait = [&](std::chrono::milliseconds d) { clock.Advance(d); };
  options.reply_timeout = std::chrono::milliseconds(1);
  auto m = std::make_unique<access::PassiveSerialMaster>(std::move(owned), options);
  m->Open();
  access::DSPortAdapter adapter("DS9097E", "/dev/ttyLOSSY", std::move(m));
  auto t = access::CreateContainer(kB20.family());
  t->SetupContainer(&adapter, kB20.ToString());
  access::DeviceState s = t->readDevice();
  // A slot's echo lost in the middle of the conversion's transaction (after the reset and the
  // first bits of Match ROM): the transaction is run again and the value read is the device's.
  link->Lose(1, 5);
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), 85.5);
  // One lost reset echo is tried again; a reset that gets no echo twice means no adapter
  // answers: a failure naming the port.
  link->Lose(1);
  EXPECT_EQ(adapter.Reset(), 1);
  link->Lose(2);
  try {
    adapter.Reset();
    ADD_FAILURE() << "a reset without an echo";
  } catch (const access::AccessError& e) {
    EXPECT_NE(std::string(e.what()).find("/dev/ttyLOSSY"), std::string::npos) << e.what();
  }
  EXPECT_EQ(adapter.Reset(), 1) << "the next reset goes through";
}

// --- The master through a pseudo-terminal, as a program on a serial port sees it ---------------

struct PassiveOnPty {
  test::TempDir dir;
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  std::string tty = dir.str() + "/ttyDS9097";
  std::unique_ptr<sim::PtyServer> server;
  std::vector<std::string> notes;
  access::PassiveSerialMaster* master = nullptr;
  std::unique_ptr<access::DSPortAdapter> adapter;

  void Serve() {
    server = std::make_unique<sim::PtyServer>(std::make_unique<sim::PassiveEmulator>(bus), tty);
    server->Start();
  }
  void Open() {
    access::PassiveSerialMaster::Options options;
    options.wait = [this](std::chrono::milliseconds d) { clock.Advance(d); };
    options.log = [this](const std::string& note) { notes.push_back(note); };
    auto m = std::make_unique<access::PassiveSerialMaster>(
        std::make_unique<access::SerialPort>(tty), options);
    master = m.get();
    m->Open();
    adapter = std::make_unique<access::DSPortAdapter>("DS9097E", tty, std::move(m));
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

TEST(PassiveSerialMaster, SearchesAndReadsAMixedBusLikeTheSimulator) {
  PassiveOnPty a;
  a.bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", -55}}));
  a.bus->Add(
      sim::MakeDS2406Model(kSwitch, {{"latches", {true, false}}, {"levels", {false, true}}}));
  a.bus->Add(sim::MakeDS2890Model(kPot, {{"wiper", 255}}));
  a.bus->Add(sim::MakeDS2450Model(kQuad, {{"inputs", {1.0, 2.0, 0.5, 5.1}}}));
  a.Serve();
  a.Open();
  EXPECT_EQ(a.master->Describe(), "DS9097E on " + a.tty);
  EXPECT_EQ(a.Search(), (std::set<RomId>{kB20, kSwitch, kPot, kQuad}));
  // The alarm search finds what the simulator's own master finds on the same bus.
  access::DSPortAdapter direct("SIM", "bus",
                               std::make_unique<sim::SimBusMaster>(a.bus, "simulated bus"));
  direct.setSearchOnlyAlarmingDevices();
  std::set<RomId> alarming;
  for (bool more = direct.findFirstDevice(); more; more = direct.findNextDevice())
    alarming.insert(direct.getAddress());
  EXPECT_TRUE(alarming.count(kPot) && alarming.count(kQuad) && !alarming.count(kB20));
  a.adapter->setSearchOnlyAlarmingDevices();
  EXPECT_EQ(a.Search(), alarming);
  a.adapter->setSearchAllDevices();
  a.adapter->targetFamily(0x12);
  EXPECT_EQ(a.Search(), std::set<RomId>{kSwitch});
  a.adapter->targetAllFamilies();

  auto t = a.Container(kB20);
  access::DeviceState s = t->readDevice();
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), -55);
  EXPECT_TRUE(a.notes.size() <= 1);

  auto sw = a.Container(kSwitch);
  s = sw->readDevice();
  EXPECT_TRUE(sw->getLatchState(0, s));
  EXPECT_FALSE(sw->getLevel(0, s));
  sw->setLatchState(0, false, false, s);
  sw->writeDevice(s);
  EXPECT_FALSE(sw->getLatchState(0, sw->readDevice()));

  auto pot = a.Container(kPot);
  auto& wiper = dynamic_cast<access::DS2890Container&>(*pot);
  EXPECT_EQ(wiper.getWiperPosition(), 255);
  EXPECT_TRUE(wiper.setWiperPosition(0));
  EXPECT_EQ(wiper.getWiperPosition(), 0);

  // One character a slot, one a reset; the bus runs at regular speed only.
  a.master->ClearStats();
  const uint64_t chars = a.master->LineCharacters();
  a.master->Reset();
  uint8_t block[10] = {0xCC, 0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  a.master->Block(block, sizeof block);
  EXPECT_EQ(a.master->LineCharacters() - chars, 1u + 80u);
  EXPECT_EQ(a.master->Stats().slots[0], 80u);
  EXPECT_FALSE(a.adapter->canOverdrive());
  EXPECT_FALSE(a.adapter->canFlex());
  try {
    a.adapter->setSpeed(2);
    ADD_FAILURE() << "overdrive on a passive adapter";
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::NotSupported);
  }
}

// The passive adapter has no strong pull-up: a quad converter powered from the bus browns out in
// its conversion and keeps its preset result, which must fail as no reading instead of showing
// 0 V or full scale.
TEST(PassiveSerialMaster, ABusPoweredQuadConversionFailsInsteadOfReadingItsPreset) {
  PassiveOnPty a;
  a.bus->Add(sim::MakeDS2450Model(kQuad, {{"inputs", {1.0, 2.0, 0.5, 5.1}}}));
  a.Serve();
  a.Open();
  auto quad = a.Container(kQuad);
  access::DeviceState s = quad->readDevice();
  try {
    quad->doADConvert(0, s);
    ADD_FAILURE() << "read " << quad->getADVoltage(0, s) << " V without a conversion";
  } catch (const access::AccessError& e) {
    EXPECT_NE(std::string(e.what()).find("the conversion did not run"), std::string::npos)
        << e.what();
  }
}

TEST(PassiveSerialMaster, AParasitePoweredConversionIsReportedOnce) {
  PassiveOnPty a;
  a.bus->Add(sim::MakeDS18S20Model(kS20, {{"temperature", 30.5}, {"power", "parasite"}}));
  a.bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", 21.5}}));
  a.Serve();
  a.Open();
  auto b20 = a.Container(kB20);
  auto s20 = a.Container(kS20);
  EXPECT_FALSE(s20->isExternalPowerSupplied(s20->readDevice()));
  for (int i = 0; i < 2; ++i) {
    access::DeviceState s = s20->readDevice();
    try {
      s20->doTemperatureConvert(s);
      // Without the pull-up the part browned out: its scratchpad holds the power-on value.
      EXPECT_NE(s20->getTemperature(s), 30.5);
    } catch (const access::AccessError&) {
    }
    s = b20->readDevice();
    b20->doTemperatureConvert(s);
    EXPECT_EQ(b20->getTemperature(s), 21.5) << "an externally powered part converts as usual";
  }
  ASSERT_EQ(a.notes.size(), 1u) << "reported once, not at every conversion";
  EXPECT_NE(a.notes[0].find("strong pull-up"), std::string::npos) << a.notes[0];
  EXPECT_NE(a.notes[0].find(a.tty), std::string::npos) << a.notes[0];
  EXPECT_EQ(a.master->Stats().power_delivery.count(), 0);
}

TEST(PassiveSerialMaster, NoAdapterAtThePortFailsNamingIt) {
  // A terminal whose far end never answers: nothing echoes.
  const int master_fd = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master_fd, 0);
  ASSERT_EQ(grantpt(master_fd), 0);
  ASSERT_EQ(unlockpt(master_fd), 0);
  const std::string tty = ptsname(master_fd);
  access::PassiveSerialMaster::Options options;
  options.reply_timeout = std::chrono::milliseconds(50);
  access::PassiveSerialMaster m(std::make_unique<access::SerialPort>(tty), options);
  try {
    m.Open();
    ADD_FAILURE() << "opened a port where nothing echoes";
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
    EXPECT_NE(std::string(e.what()).find(tty), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("no adapter"), std::string::npos) << e.what();
  }
  close(master_fd);
}

TEST(PassiveSerialMaster, UnpluggedFailsNamingThePortAndComesBackWhenReplugged) {
  PassiveOnPty a;
  a.bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", 19.5}}));
  a.Serve();
  access::OneWireAccessProvider provider;
  access::RegisterSerialAdapters(provider);
  for (const char* type : {"DS9097E", "DS9097", "{DS9097E}"}) {
    auto adapter = provider.openAdapter(type, a.tty);
    EXPECT_EQ(adapter->Master().Describe(), "DS9097E on " + a.tty);
    ASSERT_TRUE(adapter->findFirstDevice()) << type;
    EXPECT_EQ(adapter->getAddress(), kB20);
  }
  a.Open();
  auto t = a.Container(kB20);
  access::DeviceState s = t->readDevice();
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), 19.5);

  a.server.reset();
  for (int i = 0; i < 2; ++i) {
    try {
      a.adapter->findFirstDevice();
      ADD_FAILURE() << "a search on an unplugged adapter";
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
      EXPECT_NE(std::string(e.what()).find(a.tty), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(t->readDevice(), access::AccessError);

  a.Serve();
  ASSERT_TRUE(a.adapter->findFirstDevice());
  s = t->readDevice();
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), 19.5);
}

TEST(ParallelAdapters, AreRefusedNamingTheSupportedOnes) {
  access::OneWireAccessProvider provider;
  access::RegisterSerialAdapters(provider);
  for (const char* type : {"DS1410E", "DS1410D"}) {
    try {
      provider.openAdapter(type, "/dev/parport0");
      ADD_FAILURE() << type << " opened";
    } catch (const access::AccessError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find("parallel"), std::string::npos) << text;
      EXPECT_NE(text.find("DS9097U"), std::string::npos) << text;
      EXPECT_NE(text.find("DS9097E"), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace qb
