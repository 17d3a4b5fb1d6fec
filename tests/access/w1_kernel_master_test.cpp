#include "access/masters/w1_kernel_master.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/families.h"
#include "access/masters/adapter_types.h"
#include "sim/emulations/emulated_w1_channel.h"
#include "sim/models.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::RomId;
namespace w1 = access::w1;

const RomId kB20 = RomId::Make(0x28, 0x18B20);

// Little-endian u16/u32 fields, as the kernel lays them out on the machines we build for.
void Le(std::vector<uint8_t>& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

w1::ConnectorRecord MasterRequest(uint32_t seq, std::vector<w1::CommandRecord> commands,
                                  uint16_t flags = 0, uint32_t master = 1) {
  w1::ConnectorRecord r;
  r.seq = seq;
  r.flags = flags;
  w1::MessageRecord m;
  m.type = w1::MessageType::MasterCommand;
  m.SetMasterId(master);
  m.commands = std::move(commands);
  r.messages.push_back(m);
  return r;
}

// The records in each packet an emulated kernel answers `request` with.
std::vector<std::vector<w1::ConnectorRecord>> Ask(sim::W1KernelEmulator& kernel,
                                                  const w1::ConnectorRecord& request) {
  std::vector<std::vector<w1::ConnectorRecord>> out;
  for (const auto& packet : kernel.Handle(w1::EncodePacket(request))) {
    auto records = w1::DecodePacket(packet);
    EXPECT_TRUE(records.has_value());
    if (records) out.push_back(*records);
  }
  return out;
}

// --- The message layout, byte by byte -----------------------------------------------------------

TEST(W1Netlink, ARequestIsLaidOutAsTheKernelReadsIt) {
  // A reset and a two-byte touch on master 7, bundled replies asked for, sequence 0x0102.
  const auto packet = w1::EncodePacket(MasterRequest(
      0x0102, {{w1::Command::Reset, {}}, {w1::Command::Touch, {0x55, 0xFF}}}, w1::kBundle, 7));
  std::vector<uint8_t> want;
  Le(want, 16 + 20 + 12 + 4 + 4 + 2, 4);              // nlmsghdr: whole length
  Le(want, 3, 2);                                     // NLMSG_DONE
  Le(want, 0, 2);                                     // flags
  Le(want, 0x0102, 4);                                // seq
  Le(want, 0, 4);                                     // port id
  Le(want, 3, 4);                                     // cn_msg: CN_W1_IDX
  Le(want, 1, 4);                                     // CN_W1_VAL
  Le(want, 0x0102, 4);                                // seq
  Le(want, 0, 4);                                     // ack
  Le(want, 12 + 4 + 4 + 2, 2);                        // len: everything after the connector header
  Le(want, 1, 2);                                     // flags: W1_CN_BUNDLE
  want.insert(want.end(), {4, 0});                    // w1_netlink_msg: W1_MASTER_CMD, status
  Le(want, 4 + 4 + 2, 2);                             // len: the commands
  Le(want, 7, 4);                                     // master id
  Le(want, 0, 4);                                     // reserved
  want.insert(want.end(), {5, 0, 0, 0});              // W1_CMD_RESET, no data
  want.insert(want.end(), {4, 0, 2, 0, 0x55, 0xFF});  // W1_CMD_TOUCH, two bytes
  want.resize(60, 0);                                 // padded to four bytes
  EXPECT_EQ(packet, want);

  w1::ConnectorRecord list;
  list.seq = 9;
  w1::MessageRecord m;
  m.type = w1::MessageType::ListMasters;
  list.messages.push_back(m);
  const auto lp = w1::EncodePacket(list);
  ASSERT_EQ(lp.size(), 16u + 20 + 12);
  EXPECT_EQ(lp[16 + 16], 12) << "cn_msg len: the bare w1 message";
  EXPECT_EQ(lp[36], 6) << "W1_LIST_MASTERS";
  EXPECT_EQ(lp[38], 0) << "no data";
}

TEST(W1Netlink, PacketsWhoseLengthsDisagreeAreRefusedWhole) {
  auto packet = w1::EncodePacket(MasterRequest(1, {{w1::Command::Touch, {1, 2, 3}}}));
  ASSERT_TRUE(w1::DecodePacket(packet));
  std::string why;
  auto cut = packet;
  cut[0] = static_cast<uint8_t>(cut[0] + 40);  // the netlink length runs past the packet
  EXPECT_FALSE(w1::DecodePacket(cut, &why));
  EXPECT_FALSE(why.empty());
  cut = packet;
  cut[16 + 20 + 12 + 2] = 9;  // the command claims more data than its message holds
  EXPECT_FALSE(w1::DecodePacket(cut));
  cut = packet;
  cut[16 + 16] = 200;  // the connector length runs past the netlink message
  EXPECT_FALSE(w1::DecodePacket(cut));
}

// --- The emulated kernel's answers: acknowledgements, data, the search reply -------------------

class W1KernelTest : public ::testing::Test {
 protected:
  W1KernelTest() : bus(std::make_shared<sim::SimBus>(clock)) {}
  void AddThermometers(int n) {
    for (int i = 0; i < n; ++i)
      bus->Add(sim::MakeDS18B20Model(RomId::Make(0x28, 0x100 + static_cast<uint64_t>(i)),
                                     {{"temperature", 20 + i}}));
  }
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus;
};

TEST_F(W1KernelTest, EachCommandIsAcknowledgedAfterItsDataWithTheRequestsNumbers) {
  AddThermometers(1);
  sim::W1KernelEmulator kernel(bus);
  // Unbundled: one packet per reply. Read ROM, then the eight bytes of the ROM id.
  auto request = MasterRequest(41, {{w1::Command::Reset, {}},
                                    {w1::Command::Write, {0x33}},
                                    {w1::Command::Read, std::vector<uint8_t>(8, 0)}});
  request.ack = 5;
  const auto replies = Ask(kernel, request);
  ASSERT_EQ(replies.size(), 4u) << "three acknowledgements and the read's data";
  const w1::Command order[] = {w1::Command::Reset, w1::Command::Write, w1::Command::Read,
                               w1::Command::Read};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(replies[i].size(), 1u);
    const auto& r = replies[i][0];
    EXPECT_EQ(r.seq, 41u);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].MasterId(), 1u);
    ASSERT_EQ(r.messages[0].commands.size(), 1u);
    EXPECT_EQ(r.messages[0].commands[0].cmd, order[i]);
    EXPECT_EQ(r.messages[0].status, 0) << i;
  }
  // The data reply: ack = seq + 1, the bytes read; its acknowledgement: the request's ack and no
  // data, so every length counts only headers.
  EXPECT_EQ(replies[2][0].ack, 42u);
  const RomId only = RomId::Make(0x28, 0x100);
  EXPECT_EQ(replies[2][0].messages[0].commands[0].data,
            std::vector<uint8_t>(only.bytes.begin(), only.bytes.end()));
  EXPECT_EQ(replies[3][0].ack, 5u);
  EXPECT_TRUE(replies[3][0].messages[0].commands[0].data.empty());
  const auto ack_bytes =
      kernel.Handle(w1::EncodePacket(MasterRequest(2, {{w1::Command::Reset, {}}})));
  ASSERT_EQ(ack_bytes.size(), 1u);
  EXPECT_EQ(ack_bytes[0].size(), 16u + 20 + 12 + 4);
  EXPECT_EQ(ack_bytes[0][16 + 16], 16) << "cn_msg len = w1_netlink_msg + w1_netlink_cmd";
  EXPECT_EQ(ack_bytes[0][36 + 2], 4) << "w1_netlink_msg len = w1_netlink_cmd";

  // Bundled: the same replies in one packet, one connector message after the other.
  const auto bundled =
      Ask(kernel, MasterRequest(43, {{w1::Command::Reset, {}}, {w1::Command::Touch, {0xCC, 0xFF}}},
                                w1::kBundle));
  ASSERT_EQ(bundled.size(), 1u);
  EXPECT_EQ(bundled[0].size(), 3u);

  // No presence pulse: the reset's status says so; an unknown command is refused with EINVAL
  // and the commands after it still run.
  bus = std::make_shared<sim::SimBus>(clock);
  sim::W1KernelEmulator empty(bus);
  const auto none = Ask(empty, MasterRequest(7, {{w1::Command::Reset, {}},
                                                 {static_cast<w1::Command>(42), {}},
                                                 {w1::Command::Write, {0xCC}}}));
  ASSERT_EQ(none.size(), 3u);
  EXPECT_NE(none[0][0].messages[0].status, 0);
  EXPECT_EQ(none[1][0].messages[0].status, EINVAL);
  EXPECT_EQ(none[2][0].messages[0].status, 0);
}

TEST_F(W1KernelTest, ASearchAnswersItsIdsOverSeveralMessagesThenItsAcknowledgement) {
  AddThermometers(5);
  sim::W1KernelEmulator kernel(bus);
  kernel.SetIdsPerReply(2);
  const auto replies = Ask(kernel, MasterRequest(11, {{w1::Command::Search, {}}}));
  ASSERT_EQ(replies.size(), 4u);
  std::vector<size_t> lengths;
  std::set<RomId> ids;
  for (size_t i = 0; i < 3; ++i) {
    const auto& c = replies[i][0].messages[0].commands[0];
    EXPECT_EQ(c.cmd, w1::Command::Search);
    lengths.push_back(c.data.size());
    for (size_t at = 0; at < c.data.size(); at += 8) {
      RomId rom;
      std::memcpy(rom.bytes.data(), &c.data[at], 8);
      ids.insert(rom);
    }
  }
  EXPECT_EQ(lengths, (std::vector<size_t>{16, 16, 8}));
  EXPECT_EQ(ids.size(), 5u);
  EXPECT_TRUE(replies[3][0].messages[0].commands[0].data.empty()) << "the acknowledgement ends it";
  // An alarm search on a bus where nothing alarms: only the acknowledgement.
  EXPECT_EQ(Ask(kernel, MasterRequest(12, {{w1::Command::AlarmSearch, {}}})).size(), 1u);
}

// --- The bus master on the emulated kernel ------------------------------------------------------

struct Rig {
  std::shared_ptr<sim::W1KernelEmulator> kernel;
  sim::EmulatedW1Channel* channel = nullptr;
  std::unique_ptr<access::DSPortAdapter> adapter;
  access::W1KernelMaster* master = nullptr;
};

Rig MakeRig(std::shared_ptr<sim::SimBus> bus, SimulatedClock& clock, std::string port = "W1") {
  Rig rig;
  rig.kernel = std::make_shared<sim::W1KernelEmulator>(bus);
  access::W1KernelMaster::Options options;
  options.wait = [&clock](std::chrono::milliseconds d) { clock.Advance(d); };
  options.log = [](const std::string&) {};
  auto master = std::make_unique<access::W1KernelMaster>(
      [&rig, kernel = rig.kernel]() -> std::unique_ptr<access::W1Channel> {
        auto channel = std::make_unique<sim::EmulatedW1Channel>(kernel);
        rig.channel = channel.get();
        return channel;
      },
      port, options);
  master->Open();
  rig.master = master.get();
  rig.adapter = std::make_unique<access::DSPortAdapter>("W1", port, std::move(master));
  return rig;
}

TEST_F(W1KernelTest, PortsNameAMasterByNumberOrSysfsNameOrTheFirst) {
  std::string error;
  EXPECT_EQ(access::ParseW1Port("W1", &error), std::nullopt);
  EXPECT_EQ(access::ParseW1Port("", &error), std::nullopt);
  EXPECT_EQ(access::ParseW1Port("3", &error), 3u);
  EXPECT_EQ(access::ParseW1Port("w1_bus_master12", &error), 12u);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(access::ParseW1Port("/dev/ttyS0", &error), std::nullopt);
  EXPECT_NE(error.find("w1_bus_master1"), std::string::npos) << error;
  // The settings' port and the default adapter file reach the master as written.
  EXPECT_EQ(access::LookUpAdapterPort("W1", "w1_bus_master3").port_text, "w1_bus_master3");
  EXPECT_EQ(access::LookUpAdapterPort("W1", "").port_text, "W1");
  EXPECT_EQ(access::AdapterTypeForPortType("W1"), "W1");

  try {
    MakeRig(bus, clock, "w1_bus_master2");
    FAIL() << "a master the kernel does not run was opened";
  } catch (const access::AccessError& e) {
    EXPECT_NE(std::string(e.what()).find("its masters now: w1_bus_master1"), std::string::npos)
        << e.what();
  }
}

TEST_F(W1KernelTest, AWholeSearchCostsOneRequestAndFindsWhatTheSimulatorHolds) {
  AddThermometers(6);
  bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", 85}, {"alarm_high", 30}}));
  Rig rig = MakeRig(bus, clock);
  const uint64_t before = rig.master->PacketsSent();
  std::set<RomId> found;
  for (bool more = rig.adapter->findFirstDevice(); more; more = rig.adapter->findNextDevice())
    found.insert(*RomId::Parse(rig.adapter->getAddressAsString()));
  EXPECT_EQ(found.size(), 7u);
  EXPECT_EQ(rig.master->PacketsSent() - before, 1u) << "the passes are answered from one search";

  // Presence of one device is a fresh search each time: a device gone is seen at once.
  EXPECT_TRUE(rig.adapter->isPresent(kB20));
  EXPECT_FALSE(rig.adapter->isPresent(RomId::Make(0x28, 0xDEAD)));

  // A reading through the containers matches the simulated device.
  auto t = access::CreateContainer(0x28);
  t->SetupContainer(rig.adapter.get(), kB20.ToString());
  access::DeviceState s = t->readDevice();
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), 85);
  // Alarm search through the kernel's own command.
  rig.adapter->setSearchOnlyAlarmingDevices();
  ASSERT_TRUE(rig.adapter->findFirstDevice());
  EXPECT_EQ(rig.adapter->getAddressAsString(), kB20.ToString());
  EXPECT_FALSE(rig.adapter->findNextDevice());

  // A single write-0 slot cannot be sent in bytes: refused, not faked.
  try {
    rig.master->TouchBit(false);
    FAIL();
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), access::ErrorCode::NotSupported);
  }
}

TEST_F(W1KernelTest, AMasterRemovedFailsEachCallAndIsUsedAgainOnceItComesBack) {
  bus->Add(sim::MakeDS18B20Model(kB20, {{"temperature", 21.5}}));
  Rig rig = MakeRig(bus, clock, "1");
  access::BusMaster& m = *rig.master;
  EXPECT_EQ(m.Reset(), access::ResetResult::Presence);

  rig.channel->Deliver(rig.kernel->RemoveMaster());  // the event, then the failures
  for (int i = 0; i < 2; ++i) {
    try {
      m.Reset();
      FAIL() << "a reset on a removed master succeeded";
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), access::ErrorCode::GeneralFailure);
      EXPECT_NE(std::string(e.what()).find("w1_bus_master1"), std::string::npos) << e.what();
    }
  }
  // Finding adapters meanwhile lists no master, and says nothing went wrong.
  const auto channel = [kernel = rig.kernel] {
    return std::make_unique<sim::EmulatedW1Channel>(kernel);
  };
  std::string note;
  EXPECT_TRUE(access::FindKernelMasters(std::chrono::milliseconds(10), &note, channel).empty());
  EXPECT_EQ(note, "");
  rig.channel->Deliver(rig.kernel->AddMaster());
  EXPECT_EQ(access::FindKernelMasters(std::chrono::milliseconds(10), &note, channel),
            std::vector<std::string>{"w1_bus_master1"});
  EXPECT_EQ(m.Reset(), access::ResetResult::Presence);
  auto t = access::CreateContainer(0x28);
  t->SetupContainer(rig.adapter.get(), kB20.ToString());
  access::DeviceState s = t->readDevice();
  t->doTemperatureConvert(s);
  EXPECT_EQ(t->getTemperature(s), 21.5);
}

}  // namespace
}  // namespace qb
