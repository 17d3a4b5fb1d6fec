#include "access/masters/ds2480b_master.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
#include "sim/emulations/emulated_serial_link.h"
#include "sim/emulations/pty_server.h"
#include "sim/models.h"
#include "sim/sim_bus.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using access::ErrorCode;
using access::ResetResult;
using access::RomId;
using access::Speed;
using nlohmann::json;
namespace d = access::ds2480b;

// --- Command codes and reply decoding, from the datasheet's tables --------------------------

TEST(DS2480BProtocol, CommandCodes) {
  // Those the conversation tests below do not already pin down.
  EXPECT_EQ(d::ResetCommand(Speed::Overdrive), 0xC9);
  EXPECT_EQ(d::BitCommand(true, Speed::Overdrive, true), 0x9B);
  EXPECT_EQ(d::SearchCommand(true, Speed::Flex), 0xB5);
  EXPECT_EQ(d::PulseCommand(false), 0xED);
  EXPECT_EQ(d::PulseCommand(true), 0xFD);
  EXPECT_EQ(d::ConfigWrite(d::Param::BaudRate, d::kBaud115200), 0x77);
}

TEST(DS2480BProtocol, ReplyDecoders) {
  EXPECT_EQ(d::ParseResetReply(0xCD), ResetResult::Presence);
  EXPECT_EQ(d::ParseResetReply(0xCE), ResetResult::Alarm);
  EXPECT_EQ(d::ParseResetReply(0xCF), ResetResult::NoPresence);
  EXPECT_EQ(d::ParseResetReply(0xCC), ResetResult::Short);
  EXPECT_FALSE(d::ParseResetReply(0xC5)) << "chip id 001 is not a DS2480B";
  EXPECT_FALSE(d::ParseResetReply(0xED)) << "bit 5 set: a pulse reply";
  EXPECT_FALSE(d::ParseResetReply(0x00));

  EXPECT_EQ(d::ParseBitReply(0x95, 0x97), true);
  EXPECT_EQ(d::ParseBitReply(0x95, 0x94), false);
  EXPECT_EQ(d::ParseBitReply(0x81, 0x80), false);
  EXPECT_FALSE(d::ParseBitReply(0x95, 0x96)) << "the two copies of the bit disagree";
  EXPECT_FALSE(d::ParseBitReply(0x95, 0x93)) << "echo at another speed";
  EXPECT_FALSE(d::ParseBitReply(0x95, 0xCD)) << "a reset reply";

  EXPECT_EQ(d::ParseConfigReply(0x17, 0x16), 3);
  EXPECT_EQ(d::ParseConfigReply(0x0F, 0x00), 0) << "9600 baud read back";
  EXPECT_EQ(d::ParseConfigReply(0x0F, 0x06), 3) << "115200 baud read back";
  EXPECT_FALSE(d::ParseConfigReply(0x17, 0x17)) << "bit 0 of a reply is always 0";
  EXPECT_FALSE(d::ParseConfigReply(0x17, 0x44));
  EXPECT_FALSE(d::ParseConfigReply(0x0F, 0x76)) << "the upper four bits of a read are echoed";

  EXPECT_TRUE(d::PulseReplyValid(0xEC));
  EXPECT_FALSE(d::PulseReplyValid(0xCD));

  const uint8_t data[] = {0x01, 0xE3, 0xE3, 0xFF};
  EXPECT_EQ(d::EscapeData(data, 4), (std::vector<uint8_t>{0x01, 0xE3, 0xE3, 0xE3, 0xE3, 0xFF}));
}

TEST(DS2480BProtocol, SearchAcceleratorEncoding) {
  RomId path;
  path.bytes[0] = 0x05;  // ROM bits 0 and 2
  path.bytes[7] = 0x80;  // ROM bit 63
  const auto out = d::EncodeSearchPath(path);
  EXPECT_EQ(out[0], 0x22) << "r0 in bit 1, r2 in bit 5";
  EXPECT_EQ(out[15], 0x80) << "r63 in bit 7 of the 16th byte";
  EXPECT_EQ(std::count(out.begin(), out.end(), 0), 14);

  // The reply: ROM bits taken in the odd bits, discrepancy flags in the even ones.
  std::array<uint8_t, 16> reply{};
  reply[0] = 0x13;  // bit 0: flag, 1 taken; bit 1: no flag, 0 taken; bit 2: flag, 0 taken
  reply[2] = 0x01;  // bit 8: flag, 0 taken
  const auto pass = d::DecodeSearchReply(reply);
  EXPECT_EQ(pass.rom.bytes[0], 0x01);
  EXPECT_EQ(pass.discrepancies, uint64_t{0x105});
  EXPECT_FALSE(pass.bus_error);
  // The next pass turns the highest 0 branch taken (bit 8) to 1 and keeps what came before.
  const auto next = d::NextSearchPath(pass);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->bytes[0], 0x01);
  EXPECT_EQ(next->bytes[1], 0x01);
  // After that pass, bit 8 was taken as 1: the next branch is bit 2.
  auto second = pass;
  second.rom.bytes[1] = 0x01;
  const auto third = d::NextSearchPath(second);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->bytes[0], 0x05);
  EXPECT_EQ(third->bytes[1], 0x00) << "bits after the branch start again at 0";
  second.rom.bytes[0] = 0x05;
  EXPECT_FALSE(d::NextSearchPath(second)) << "every branch taken: the search is complete";

  reply[15] = 0xC0;
  EXPECT_TRUE(d::DecodeSearchReply(reply).bus_error);
}

// --- The master against the emulated chip ----------------------------------------------------

// A simulated bus behind an emulated DS2480B, on simulated time: the master's waits move it.
struct EmulatedAdapter {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  std::shared_ptr<sim::DS2480BEmulator> chip = std::make_shared<sim::DS2480BEmulator>(bus);
  sim::EmulatedSerialLink* link = nullptr;
  access::DS2480BMaster* master = nullptr;
  std::unique_ptr<access::DSPortAdapter> adapter;

  EmulatedAdapter() {
    auto l = std::make_unique<sim::EmulatedSerialLink>(chip, "/dev/ttyTEST");
    link = l.get();
    access::DS2480BMaster::Options options;
    options.wait = [this](std::chrono::milliseconds d) { clock.Advance(d); };
    auto m = std::make_unique<access::DS2480BMaster>(std::move(l), options);
    master = m.get();
    m->Open();
    adapter = std::make_unique<access::DSPortAdapter>("DS9097U", "/dev/ttyTEST", std::move(m));
  }
  template <typename Model = sim::SimDevice>
  Model* Add(sim::ModelMaker make, const RomId& rom, const json& values = json::object()) {
    return dynamic_cast<Model*>(&bus->Add(make(rom, values)));
  }
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
  // The bytes written since `mark`.
  std::vector<uint8_t> WrittenSince(size_t mark) const {
    return {link->Written().begin() + static_cast<std::ptrdiff_t>(mark), link->Written().end()};
  }
};

const RomId kB20 = RomId::Make(0x28, 0x18B20);
const RomId kS20 = RomId::Make(0x10, 0x18520);
const RomId kSwitch = RomId::Make(0x12, 0x2406);
const RomId kPot = RomId::Make(0x2C, 0x2890);
const RomId kQuad = RomId::Make(0x20, 0x2450);

void AddMixedBus(EmulatedAdapter& a) {
  a.Add(sim::MakeDS18B20Model, kB20, {{"temperature", 21.5}});
  a.Add(sim::MakeDS18S20Model, kS20, {{"temperature", -10.5}, {"power", "parasite"}});
  a.Add(sim::MakeDS2406Model, kSwitch, {{"latches", {false, false}}, {"levels", {true, true}}});
  a.Add(sim::MakeDS2890Model, kPot, {{"wiper", 128}});
  a.Add(sim::MakeDS2450Model, kQuad, {{"inputs", {1.0, 2.0, 0.5, 3.5}}});
}

TEST(DS2480BMaster, OpenConfiguresTheChipForLongLinesAndSwitchesTo115200) {
  EmulatedAdapter a;
  const auto& w = a.link->Written();
  ASSERT_GE(w.size(), 12u);
  // Command mode and the pull-up ended for a chip without a break, then after the break the
  // timing byte and the configuration.
  EXPECT_EQ(w[0], 0xE3);
  EXPECT_EQ(w[1], 0xF1);
  EXPECT_EQ(w[2], 0xC1);
  const std::vector<uint8_t> config(w.begin() + 3, w.begin() + 10);
  EXPECT_EQ(config, (std::vector<uint8_t>{0x17, 0x45, 0x5B, 0x3F, 0x29, 0x0F, 0xC1}));
  EXPECT_EQ(a.chip->ParameterValue(sim::DS2480BEmulator::kPulldownSlewRate), 3);
  EXPECT_EQ(a.chip->ParameterValue(sim::DS2480BEmulator::kWrite1LowTime), 2);
  EXPECT_EQ(a.chip->ParameterValue(sim::DS2480BEmulator::kSampleOffset), 5);
  EXPECT_EQ(a.chip->BaudRate(), 115200);
  EXPECT_EQ(a.link->HostBaudRate(), 115200);
  EXPECT_EQ(a.master->Describe(), "DS2480B on /dev/ttyTEST");
  EXPECT_TRUE(a.master->CanFlex());
  EXPECT_TRUE(a.master->CanOverdrive());
}

TEST(DS2480BMaster, NoChipOnThePortFailsNamingIt) {
  // A port where nothing answers (a modem, an unplugged adapter's cable).
  struct Silent : access::SerialLink {
    void Write(const uint8_t*, size_t) override {}
    size_t Read(uint8_t*, size_t, std::chrono::milliseconds) override { return 0; }
    void SendBreak() override {}
    void SetBaudRate(int) override {}
    void DiscardInput() override {}
    std::string Describe() const override { return "/dev/ttyS9"; }
  };
  access::DS2480BMaster::Options options;
  options.wait = [](std::chrono::milliseconds) {};
  access::DS2480BMaster m(std::make_unique<Silent>(), options);
  try {
    m.Open();
    ADD_FAILURE() << "opened a port where nothing answers";
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
    EXPECT_NE(std::string(e.what()).find("/dev/ttyS9"), std::string::npos) << e.what();
  }
  EXPECT_THROW(m.Reset(), access::AccessError) << "never a reset result without a chip";
}

TEST(DS2480BMaster, SearchesAMixedBusLikeTheSimulator) {
  EmulatedAdapter a;
  AddMixedBus(a);
  const std::set<RomId> want = {kB20, kS20, kSwitch, kPot, kQuad};
  EXPECT_EQ(a.Search(), want);
  // The accelerated whole-pass search finds the same devices, and the alarm searches agree (the
  // DS2450 and DS2890 alarm at power-on, the thermometers do not).
  const auto all = a.master->SearchAll();
  EXPECT_EQ(std::set<RomId>(all.begin(), all.end()), want);
  EXPECT_EQ(all.size(), want.size());
  const auto alarming = a.master->SearchAll(true);
  a.adapter->setSearchOnlyAlarmingDevices();
  const std::set<RomId> by_triplets = a.Search();
  a.adapter->setSearchAllDevices();
  EXPECT_EQ(std::set<RomId>(alarming.begin(), alarming.end()), by_triplets);
  EXPECT_TRUE(by_triplets.count(kPot) && by_triplets.count(kQuad));
  EXPECT_FALSE(by_triplets.count(kB20) || by_triplets.count(kS20));
  // The family-targeted search and the presence check use the accelerator too.
  a.adapter->targetFamily(0x2C);
  EXPECT_EQ(a.Search(), std::set<RomId>{kPot});
  a.adapter->targetAllFamilies();
  EXPECT_TRUE(a.adapter->isPresent(kSwitch));
  EXPECT_FALSE(a.adapter->isPresent(RomId::Make(0x28, 0x999)));
}

// The library's search and presence check run each pass in one exchange with the chip (a reset,
// then the search command and the accelerator's 16 bytes), not two exchanges per ROM bit: on a
// serial line that is the difference between a quiet line and a busy one.
TEST(DS2480BMaster, SearchAndPresenceCheckTakeOneAcceleratedPassPerDevice) {
  EmulatedAdapter a;
  std::set<RomId> want;
  for (uint64_t n = 0; n < 20; ++n) {
    const RomId rom = RomId::Make(n % 2 ? 0x28 : 0x10, 0x100 + n * 7);
    a.Add(sim::MakeDS18B20Model, rom, {{"temperature", 20}});
    want.insert(rom);
  }
  // One more that has left the bus: neither found nor present.
  const RomId gone = RomId::Make(0x28, 0x5000);
  a.Add(sim::MakeDS18B20Model, gone, {{"temperature", 20}})->faults().present = sim::Constant(0);

  size_t mark = a.link->Written().size();
  EXPECT_EQ(a.Search(), want);
  const size_t search_bytes = a.link->Written().size() - mark;
  // Per pass: the reset, mode switches, the search command and 16 bytes of directions.
  EXPECT_LE(search_bytes, (want.size() + 1) * 24) << "bytes written: " << search_bytes;

  mark = a.link->Written().size();
  for (const RomId& rom : want) EXPECT_TRUE(a.adapter->isPresent(rom)) << rom.ToString();
  EXPECT_FALSE(a.adapter->isPresent(gone));
  EXPECT_FALSE(a.adapter->isPresent(RomId::Make(0x28, 0x100))) << "shares most bits with one";
  EXPECT_FALSE(a.adapter->isPresent(*want.begin(), true)) << "no thermometer is alarming";
  EXPECT_LE(a.link->Written().size() - mark, (want.size() + 3) * 24);
}

TEST(DS2480BMaster, EmptyAndShortedBus) {
  EmulatedAdapter a;
  EXPECT_EQ(a.master->Reset(), ResetResult::NoPresence);
  EXPECT_FALSE(a.adapter->findFirstDevice());
  EXPECT_TRUE(a.master->SearchAll().empty());
  a.Add(sim::MakeDS18B20Model, kB20, {{"temperature", 20}});
  a.bus->SetShort(sim::Constant(1));
  EXPECT_EQ(a.master->Reset(), ResetResult::Short);
  EXPECT_THROW(a.adapter->findFirstDevice(), access::AccessError);
}

TEST(DS2480BMaster, ReadsThermometersExternalAndParasitePowered) {
  EmulatedAdapter a;
  AddMixedBus(a);
  for (const auto& [rom, celsius] : {std::pair{kB20, 21.5}, std::pair{kS20, -10.5}}) {
    auto c = a.Open(rom);
    access::DeviceState s = c->readDevice();
    c->doTemperatureConvert(s);
    EXPECT_EQ(c->getTemperature(s), celsius) << rom.ToString();
  }
  // The parasite-powered DS18S20 converted under the strong pull-up.
  EXPECT_GE(a.master->Stats().power_delivery, std::chrono::milliseconds(750));
  EXPECT_GE(a.chip->PowerDelivered(), std::chrono::milliseconds(750));
  EXPECT_FALSE(a.chip->PulseActive()) << "the pull-up was ended";
}

TEST(DS2480BMaster, SwitchPotentiometerAndConverter) {
  EmulatedAdapter a;
  AddMixedBus(a);
  auto* sw = a.bus->FindAs<sim::DS2406Model>(kSwitch);
  auto* pot = a.bus->FindAs<sim::DS2890Model>(kPot);

  auto c = a.Open(kSwitch);
  access::DeviceState s = c->readDevice();
  c->setLatchState(0, true, false, s);
  c->writeDevice(s);
  EXPECT_TRUE(sw->Conducting(0));
  EXPECT_FALSE(sw->Conducting(1));
  s = c->readDevice();
  EXPECT_TRUE(c->getLatchState(0, s));
  EXPECT_FALSE(c->getLevel(0, s));

  auto p = a.Open(kPot);
  auto* wiper = dynamic_cast<access::DS2890Container*>(p.get());
  ASSERT_NE(wiper, nullptr);
  EXPECT_EQ(wiper->getWiperPosition(), 128);
  EXPECT_TRUE(wiper->setWiperPosition(0xE3)) << "the data byte that is also the mode switch";
  EXPECT_EQ(pot->Wiper(), 0xE3);
  EXPECT_EQ(wiper->getWiperPosition(), 0xE3);

  auto q = a.Open(kQuad);
  s = q->readDevice();
  q->setADRange(3, 5.12, s);
  q->setADResolution(3, 5.12 / 4096, s);
  q->writeDevice(s);
  s = q->readDevice();
  q->doADConvert(3, s);
  EXPECT_NEAR(q->getADVoltage(3, s), 3.5, 5.12 / 4096);
}

TEST(DS2480BMaster, SpeedTravelsInTheCommandBits) {
  EmulatedAdapter a;
  a.Add(sim::MakeDS2450Model, kQuad);
  a.master->SetSpeed(Speed::Flex);
  size_t mark = a.link->Written().size();
  EXPECT_EQ(a.master->Reset(), ResetResult::Presence);
  EXPECT_EQ(a.WrittenSince(mark), std::vector<uint8_t>{0xC5});
  // Data mode bytes run at the speed of the last command: after a speed change the master sets
  // it with the accelerator-off command before switching to data mode.
  a.master->SetSpeed(Speed::Regular);
  mark = a.link->Written().size();
  a.master->TouchByte(0xCC);
  EXPECT_EQ(a.WrittenSince(mark), (std::vector<uint8_t>{0xA1, 0xE1, 0xCC}));
  mark = a.link->Written().size();
  a.master->TouchByte(0x44);
  EXPECT_EQ(a.WrittenSince(mark), std::vector<uint8_t>{0x44}) << "still in data mode";

  // The DS2450 runs at overdrive too: the container selects it with Overdrive Match.
  auto q = a.Open(kQuad);
  q->setSpeed(2, false);
  access::DeviceState s = q->readDevice();
  EXPECT_EQ(s.size(), 24u);
  EXPECT_EQ(a.chip->speed(), Speed::Overdrive);
  EXPECT_GT(a.master->Stats().slots[1], 0u);
}

TEST(DS2480BMaster, CountsWhatItPutsOnTheWire) {
  EmulatedAdapter a;
  a.Add(sim::MakeDS18B20Model, kB20, {{"temperature", 20}});
  a.master->ClearStats();
  a.master->Reset();
  uint8_t block[10] = {0xCC, 0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  a.master->Block(block, sizeof block);
  a.master->TouchBit(true);
  EXPECT_EQ(a.master->Stats().resets[0], 1u);
  EXPECT_EQ(a.master->Stats().slots[0], 81u);
  a.master->ProgramPulse();
  EXPECT_EQ(a.master->Stats().program_pulses, 1u);
  EXPECT_EQ(a.chip->ProgramPulses(), 1u);
  EXPECT_FALSE(a.chip->PulseActive());
}

// --- Recovery ------------------------------------------------------------------------------

TEST(DS2480BMaster, ResetIsRetriedAfterALostOrGarbledReply) {
  EmulatedAdapter a;
  a.Add(sim::MakeDS18B20Model, kB20, {{"temperature", 20}});
  a.link->DropAnswerByte(0);
  EXPECT_EQ(a.master->Reset(), ResetResult::Presence);
  EXPECT_EQ(a.master->Resyncs(), 2u) << "the open and one resynchronisation";
  a.link->GarbleAnswerByte(0, 0x10);
  EXPECT_EQ(a.master->Reset(), ResetResult::Presence);
  EXPECT_EQ(a.master->Resyncs(), 3u);
  EXPECT_EQ(a.link->HostBaudRate(), 115200) << "back at full speed after resynchronising";
}

TEST(DS2480BMaster, InterruptedTransactionIsRetriedWholeNeverAWrongValue) {
  EmulatedAdapter a;
  a.Add(sim::MakeDS18B20Model, kB20, {{"temperature", 23.0}});
  auto c = a.Open(kB20);
  access::DeviceState s = c->readDevice();
  c->doTemperatureConvert(s);

  // A byte lost inside the scratchpad read: the master cannot know what the device sent, and
  // the resynchronisation reset the bus, so the block raises an error the transaction retries.
  ASSERT_TRUE(a.adapter->select(kB20));
  a.link->DropAnswerByte(3);
  uint8_t block[10] = {0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_THROW(a.master->Block(block, sizeof block), access::TransactionInterrupted);
  EXPECT_EQ(a.master->Reset(), ResetResult::Presence) << "usable again at once";

  // Through the container the retry is invisible: the reading is right.
  a.link->DropAnswerByte(15);
  s = c->readDevice();
  EXPECT_EQ(c->getTemperature(s), 23.0);
}

TEST(DS2480BMaster, AChipThatStaysSilentIsAFailureNamingThePortAndRecoverable) {
  EmulatedAdapter a;
  a.Add(sim::MakeDS18B20Model, kB20, {{"temperature", 20}});
  // Every reply lost for a while: the reset, the resynchronisation, the retry.
  for (size_t i = 0; i < 40; ++i) a.link->DropAnswerByte(i);
  try {
    a.master->Reset();
    ADD_FAILURE() << "a reset result without a reply";
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
    EXPECT_NE(std::string(e.what()).find("/dev/ttyTEST"), std::string::npos) << e.what();
  }
  // The search never reports an empty bus while the adapter is mute.
  for (size_t i = 0; i < 40; ++i) a.link->DropAnswerByte(i);
  EXPECT_THROW(a.adapter->findFirstDevice(), access::AccessError);
  // Once the chip answers again the next call brings it back.
  bool answered = false;
  for (int i = 0; i < 20 && !answered; ++i) {
    try {
      answered = a.master->Reset() == ResetResult::Presence;
    } catch (const access::AccessError&) {
    }
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(a.adapter->findFirstDevice());
  EXPECT_EQ(a.adapter->getAddress(), kB20);
}

// --- A real pseudo-terminal ------------------------------------------------------------------

TEST(SerialPort, OpenFailuresNameThePort) {
  test::TempDir dir;
  const std::string missing = dir.str() + "/ttyUSB7";
  try {
    access::SerialPort port(missing);
    ADD_FAILURE();
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  }
  const std::string file = dir.str() + "/plain";
  test::WriteFile(file, "x");
  EXPECT_THROW(access::SerialPort{file}, access::AccessError) << "not a tty";

  access::OneWireAccessProvider provider;
  access::RegisterSerialAdapters(provider);
  try {
    provider.openAdapter("{DS1411}", missing);
    ADD_FAILURE();
  } catch (const access::AccessError& e) {
    EXPECT_NE(std::string(e.what()).find("DS1411"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  }
}

TEST(DS2480BMaster, ThroughAPseudoTerminalAndUnplugged) {
  test::TempDir dir;
  SimulatedClock clock;
  auto bus = std::make_shared<sim::SimBus>(clock);
  bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", 19.5}}));
  bus->Add(sim::MakeDS2890Model(kPot, {{"wiper", 77}}));
  const std::string tty = dir.str() + "/ttyDS2480B";
  auto server = std::make_unique<sim::PtyServer>(bus, tty);
  server->Start();

  access::OneWireAccessProvider provider;
  access::RegisterSerialAdapters(provider);
  auto adapter = provider.openAdapter("DS9097U", tty);
  EXPECT_EQ(adapter->Master().Describe(), "DS2480B on " + tty);
  std::set<RomId> found;
  for (bool more = adapter->findFirstDevice(); more; more = adapter->findNextDevice())
    found.insert(adapter->getAddress());
  EXPECT_EQ(found, (std::set<RomId>{kB20, kPot}));
  auto pot = access::CreateContainer(kPot.family());
  pot->SetupContainer(adapter.get(), kPot.ToString());
  EXPECT_EQ(dynamic_cast<access::DS2890Container&>(*pot).getWiperPosition(), 77);

  // The port is held: a second master cannot open it.
  try {
    access::SerialPort second(tty);
    ADD_FAILURE() << "a second master opened the port";
  } catch (const access::AccessError& e) {
    EXPECT_NE(std::string(e.what()).find("in use"), std::string::npos) << e.what();
  }
  // The thermometer, with the master's waits moving the bus's simulated time.
  adapter->freePort();
  {
    access::DS2480BMaster::Options options;
    options.wait = [&](std::chrono::milliseconds d) { clock.Advance(d); };
    auto m =
        std::make_unique<access::DS2480BMaster>(std::make_unique<access::SerialPort>(tty), options);
    m->Open();
    adapter = std::make_unique<access::DSPortAdapter>("DS9097U", tty, std::move(m));
  }
  auto t = access::CreateContainer(kB20.family());
  t->SetupContainer(adapter.get(), kB20.ToString());
  access::DeviceState s = t->readDevice();
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), 19.5);

  // Unplugged: every call fails naming the port; none reports an empty bus or a value.
  server.reset();
  for (int i = 0; i < 2; ++i) {
    try {
      adapter->findFirstDevice();
      ADD_FAILURE() << "a search on an unplugged adapter";
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), ErrorCode::GeneralFailure);
      EXPECT_NE(std::string(e.what()).find(tty), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(t->readDevice(), access::AccessError);

  // Plugged in again at the same path: the next call opens the port again and goes on.
  server = std::make_unique<sim::PtyServer>(bus, tty);
  server->Start();
  ASSERT_TRUE(adapter->findFirstDevice());
  s = t->readDevice();
  EXPECT_EQ(t->getTemperature(s), 19.5);
}

}  // namespace
}  // namespace qb
