#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "access/adapter.h"
#include "access/crc.h"
#include "access/errors.h"
#include "sim/bus_file.h"
#include "sim/generic_model.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::DSPortAdapter;
using access::RomId;

TEST(Crc, DatasheetExamples) {
  // The ROM id example of application note 27: 02 1C B8 01 00 00 00 has CRC A2.
  const uint8_t rom[] = {0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(access::Crc8(rom, 7), 0xA2);
  RomId id;
  std::copy(rom, rom + 7, id.bytes.begin());
  id.bytes[7] = 0xA2;
  EXPECT_TRUE(id.CrcValid());
  EXPECT_EQ(id.ToString(), "A200000001B81C02");
  EXPECT_EQ(RomId::Parse("a200000001b81c02"), id);
  EXPECT_FALSE(RomId::Parse("A200000001B81C0").has_value());
  EXPECT_FALSE(RomId::Parse("A200000001B81CXX").has_value());
  // CRC16 (X^16 + X^15 + X^2 + 1) of "123456789" is BB3D (the ARC check value).
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(access::Crc16(text, 9), 0xBB3D);
  // A device sends the inverted CRC16, low byte first.
  EXPECT_TRUE(access::Crc16Matches(text, 9, 0, 0xC2, 0x44));
}

struct SimulatedBus {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus = std::make_shared<sim::SimBus>(clock);
  DSPortAdapter adapter{"SIM", "test", std::make_unique<sim::SimBusMaster>(bus, "test bus")};
};

std::set<std::string> SearchAll(DSPortAdapter& adapter) {
  std::set<std::string> found;
  for (bool more = adapter.findFirstDevice(); more; more = adapter.findNextDevice()) {
    EXPECT_TRUE(found.insert(adapter.getAddressAsString()).second)
        << "found twice: " << adapter.getAddressAsString();
  }
  return found;
}

TEST(Search, FindsEveryDeviceExactlyOnceWithFamilyAndAlarmFilters) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const uint8_t families[] = {0x10, 0x28, 0x12, 0x1D, 0x20, 0x26};
  for (int round = 0; round < 12; ++round) {
    SimulatedBus s;
    const int count = std::uniform_int_distribution<int>(1, 200)(rng);
    std::set<std::string> all, of28, alarming;
    while (static_cast<int>(all.size()) < count) {
      const uint8_t family = families[rng() % 6];
      const RomId rom =
          RomId::Make(family, std::uniform_int_distribution<uint64_t>(0, (1ull << 48) - 1)(rng));
      if (!all.insert(rom.ToString()).second) continue;
      auto model = std::make_unique<sim::GenericModel>(rom);
      if (rng() % 4 == 0) {
        model->SetAlarming(true);
        alarming.insert(rom.ToString());
      }
      if (family == 0x28) of28.insert(rom.ToString());
      s.bus->Add(std::move(model));
    }
    EXPECT_EQ(SearchAll(s.adapter), all);
    s.adapter.targetFamily(0x28);
    EXPECT_EQ(SearchAll(s.adapter), of28);
    s.adapter.targetAllFamilies();
    s.adapter.setSearchOnlyAlarmingDevices();
    EXPECT_EQ(SearchAll(s.adapter), alarming);
    s.adapter.setSearchAllDevices();
    const RomId some = *RomId::Parse(*all.begin());
    EXPECT_TRUE(s.adapter.isPresent(some));
    EXPECT_EQ(s.adapter.isPresent(some, true), alarming.count(some.ToString()) == 1);
  }
}

TEST(Search, BeforeAnySearchAndOnAnEmptyBus) {
  SimulatedBus s;
  EXPECT_EQ(s.adapter.getAddressAsString(), "0000000000000000");
  EXPECT_FALSE(s.adapter.findNextDevice());  // starts a search of its own, which finds nothing
  EXPECT_EQ(s.adapter.Reset(), 0);
  const RomId rom = RomId::Make(0x28, 0x123456);
  s.bus->Add(std::make_unique<sim::GenericModel>(rom));
  EXPECT_TRUE(s.adapter.findNextDevice());
  EXPECT_EQ(s.adapter.getAddress(), rom);
  EXPECT_FALSE(s.adapter.findNextDevice());
  EXPECT_TRUE(s.adapter.findNextDevice());  // a new search again
  s.bus->SetShort(sim::Constant(1));
  EXPECT_EQ(s.adapter.Reset(), 3);
  EXPECT_THROW(s.adapter.findFirstDevice(), access::AccessError);
}

// A device with a loose contact, there on some search passes and gone on others, can lead the
// search back to a device it already found, over and over: the search must end with an error.
TEST(Search, ADeviceComingAndGoingEndsTheSearchWithAnError) {
  SimulatedBus s;
  // A and A2 differ from each other at serial bit 2, both from B at serial bit 1 (B has the 1):
  // with B there the search goes A, A2; without it the pass after A2 ends at A again.
  const RomId a = RomId::Make(0x28, 0x10), b = RomId::Make(0x28, 0x12),
              a2 = RomId::Make(0x28, 0x14);
  for (const RomId& rom : {a, b, a2}) s.bus->Add(std::make_unique<sim::GenericModel>(rom));
  auto& flaky = *s.bus->FindAs<sim::SimDevice>(b);
  std::vector<RomId> found;
  bool raised = false;
  for (int pass = 1; pass <= 50 && !raised; ++pass) {
    flaky.faults().present = sim::Constant(pass >= 3 && pass % 2 == 1 ? 0 : 1);
    try {
      if (!(pass == 1 ? s.adapter.findFirstDevice() : s.adapter.findNextDevice())) break;
      found.push_back(s.adapter.getAddress());
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), access::ErrorCode::GeneralFailure);
      EXPECT_NE(std::string(e.what()).find(a.ToString() + " a second time"), std::string::npos)
          << e.what();
      raised = true;
    }
  }
  EXPECT_TRUE(raised) << "the search went on for " << found.size() << " passes";
  EXPECT_EQ(found, (std::vector<RomId>{a, a2}));
  // The failed search is over: with the device back for good the next one finds all three.
  flaky.faults().present = sim::Constant(1);
  EXPECT_EQ(SearchAll(s.adapter),
            (std::set<std::string>{a.ToString(), a2.ToString(), b.ToString()}));
}

// A master whose search answers come from a script instead of devices: pass n reports the ROM id
// `rom(n)` and a discrepancy at bit `discrepancy`, whichever branch the search takes there.
class ScriptedSearchMaster : public access::BusMaster {
 public:
  ScriptedSearchMaster(std::function<RomId(int)> rom, int discrepancy,
                       access::ResetResult reset = access::ResetResult::Presence)
      : rom_(std::move(rom)), discrepancy_(discrepancy), reset_(reset) {}
  access::ResetResult Reset() override {
    current_ = rom_(++pass_);
    bit_ = 0;
    return reset_;
  }
  bool TouchBit(bool bit) override { return bit; }
  uint8_t TouchByte(uint8_t byte) override { return byte; }
  access::TripletResult SearchTriplet(bool) override {
    const bool value = current_.bytes[static_cast<size_t>(bit_ / 8)] >> (bit_ % 8) & 1;
    const bool both = ++bit_ == discrepancy_;
    return {both ? false : value, both ? false : !value, value};
  }
  uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds) override { return byte; }
  std::string Describe() const override { return "scripted search"; }

 private:
  std::function<RomId(int)> rom_;
  int discrepancy_;
  access::ResetResult reset_;
  int pass_ = 0, bit_ = 0;
  RomId current_;
};

// Whatever the bus answers, one search ends: on the first device found twice, and after at most
// kMaxSearchDevices distinct ones.
TEST(Search, AnInconsistentBusCannotKeepASearchGoing) {
  struct Case {
    const char* what;
    std::function<RomId(int)> rom;
    size_t found_before_error;
  };
  // Bit 50 lies in serial number bits every ROM id here has at 0.
  const Case cases[] = {
      {"the same device every pass", [](int) { return RomId::Make(0x28, 7); }, 1},
      {"a new device every pass", [](int pass) { return RomId::Make(0x28, uint64_t(pass)); },
       DSPortAdapter::kMaxSearchDevices},
  };
  for (const Case& c : cases) {
    DSPortAdapter adapter("test", "script", std::make_unique<ScriptedSearchMaster>(c.rom, 50));
    size_t found = 0;
    bool raised = false;
    for (bool more = adapter.findFirstDevice();
         more && found <= 2 * DSPortAdapter::kMaxSearchDevices;) {
      ++found;
      try {
        more = adapter.findNextDevice();
      } catch (const access::AccessError& e) {
        EXPECT_EQ(e.code(), access::ErrorCode::GeneralFailure) << c.what;
        raised = true;
        break;
      }
    }
    EXPECT_TRUE(raised) << c.what;
    EXPECT_EQ(found, c.found_before_error) << c.what;
  }
}

// A device that answers the reset with an alarm signal (a part whose alarm condition holds) is
// on the bus like any other: it is selected, found and present, not taken for an empty bus.
TEST(Search, AResetAnsweredWithAnAlarmIsAPresence) {
  const RomId rom = RomId::Make(0x28, 9);
  DSPortAdapter adapter("test", "script",
                        std::make_unique<ScriptedSearchMaster>([&](int) { return rom; }, 99,
                                                               access::ResetResult::Alarm));
  EXPECT_TRUE(adapter.select(rom));
  EXPECT_TRUE(adapter.isPresent(rom));
  ASSERT_TRUE(adapter.findFirstDevice());
  EXPECT_EQ(adapter.getAddress(), rom);
}

// The ROM id as the bits go over the bus, first bit lowest.
uint64_t BusBits(const RomId& rom) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(rom.bytes[i]) << (8 * i);
  return bits;
}

void WriteBits(sim::SimBus& bus, uint64_t bits, int count) {
  for (int i = 0; i < count; ++i) bus.Slot((bits >> i) & 1, false);
}

// A device taken off the bus between two time slots of Match ROM or of a search pass stops
// answering at the next slot, also on a bus whose other devices are always there.
TEST(Search, ADeviceLeavingInTheMiddleOfAMatchOrASearchPassDropsOutAtOnce) {
  SimulatedBus s;
  const RomId a = RomId::Make(0x28, 0x1000), b = RomId::Make(0x28, 0x1000 | (1ull << 32));
  sim::SimDevice& left = s.bus->Add(std::make_unique<sim::GenericModel>(a));
  s.bus->Add(std::make_unique<sim::GenericModel>(b));
  for (uint64_t i = 0; i < 6; ++i)
    s.bus->Add(std::make_unique<sim::GenericModel>(RomId::Make(0x10, 0x2000 + i)));

  // Match ROM of A, which leaves after half of its id: it is not selected.
  ASSERT_EQ(s.bus->Reset(false), access::ResetResult::Presence);
  WriteBits(*s.bus, 0x55, 8);
  WriteBits(*s.bus, BusBits(a), 32);
  left.faults().present = sim::Constant(0);
  WriteBits(*s.bus, BusBits(a) >> 32, 32);
  EXPECT_FALSE(left.Listening());

  // A search pass towards B; A leaves before bit 40, where the two differ, so no discrepancy
  // shows there.
  left.faults().present = sim::Constant(1);
  ASSERT_EQ(s.bus->Reset(false), access::ResetResult::Presence);
  WriteBits(*s.bus, 0xF0, 8);
  uint64_t path = 0;
  for (int bit = 0; bit < 64; ++bit) {
    if (bit == 20) left.faults().present = sim::Constant(0);
    const bool id = s.bus->Slot(true, false);
    const bool complement = s.bus->Slot(true, false);
    ASSERT_FALSE(id && complement) << "nobody answered bit " << bit;
    if (bit == 40) {
      EXPECT_NE(id, complement) << "A answered after it left";
    }
    const bool direction = id != complement ? id : ((BusBits(b) >> bit) & 1) != 0;
    s.bus->Slot(direction, false);
    if (direction) path |= 1ull << bit;
  }
  EXPECT_EQ(path, BusBits(b));
}

// The simulator's one-call search step must answer exactly as its three time slots do: on buses
// of random ids, with a device leaving in the middle of a pass, a short and steps at the other
// speed, every step and what the devices make of it agree.
TEST(Search, ASearchStepInOneCallAnswersAsItsThreeSlots) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    SimulatedBus by_step, by_slots;
    std::vector<sim::SimDevice*> step_devices, slot_devices;
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < count; ++i) {
      // Ids that share long prefixes now and then, so that branches come late.
      const uint64_t serial = (rng() % 4 == 0) ? 0x5000 + (rng() % 4) : rng();
      const RomId rom = RomId::Make(rng() % 2 ? 0x28 : 0x10, serial + (uint64_t{rng()} << 20));
      if (by_step.bus->Find(rom)) continue;
      step_devices.push_back(&by_step.bus->Add(std::make_unique<sim::GenericModel>(rom)));
      slot_devices.push_back(&by_slots.bus->Add(std::make_unique<sim::GenericModel>(rom)));
    }
    if (round % 10 == 9) {
      by_step.bus->SetShort(sim::Constant(1));
      by_slots.bus->SetShort(sim::Constant(1));
    }
    const int leaves_at = round % 3 == 0 ? static_cast<int>(rng() % 64) : -1;
    const int other_speed_at = round % 7 == 3 ? static_cast<int>(rng() % 64) : -1;
    ASSERT_EQ(by_step.bus->Reset(false), by_slots.bus->Reset(false));
    WriteBits(*by_step.bus, 0xF0, 8);
    WriteBits(*by_slots.bus, 0xF0, 8);
    for (int bit = 0; bit < 64; ++bit) {
      if (bit == leaves_at) {
        step_devices[0]->faults().present = sim::Constant(0);
        slot_devices[0]->faults().present = sim::Constant(0);
      }
      const bool overdrive = bit == other_speed_at;
      const bool preferred = rng() % 2;
      const access::TripletResult got = by_step.bus->Triplet(preferred, overdrive);
      access::TripletResult want;
      want.id_bit = by_slots.bus->Slot(true, overdrive);
      want.cmp_bit = by_slots.bus->Slot(true, overdrive);
      want.direction = want.id_bit == want.cmp_bit ? preferred : want.id_bit;
      by_slots.bus->Slot(want.direction, overdrive);
      ASSERT_EQ(got.id_bit, want.id_bit) << "bit " << bit;
      ASSERT_EQ(got.cmp_bit, want.cmp_bit) << "bit " << bit;
      ASSERT_EQ(got.direction, want.direction) << "bit " << bit;
    }
    for (size_t i = 0; i < step_devices.size(); ++i)
      EXPECT_EQ(step_devices[i]->Listening(), slot_devices[i]->Listening()) << "device " << i;
  }
}

// The simulator's byte path (the id of a Match ROM, a byte one selected device sends or receives)
// must answer exactly as eight time slots do: random transactions on twin buses of mixed families,
// one driven a byte at a time and the other slot by slot, see the same bytes on the line.
TEST(Search, AByteInOneCallAnswersAsItsEightSlots) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto doc = nlohmann::json::parse(R"({"devices": [
    {"rom": "940000000001E228", "temperature": 21.5},
    {"rom": "640000000002F210", "temperature": -3.25, "faults": {"crc_error_rate": 0.2}},
    {"rom": "8C00000000031B26", "temperature": 22, "vdd": 5.0, "vad": 2.6, "vsense_mv": 0.5},
    {"rom": "E900000000045120", "inputs": [1.2, 2.0, 0.4, 1.0]},
    {"rom": "AB00000000054A1D", "counters": [0, 7, 1200, 33]},
    {"rom": "4800000000066912", "latches": [false, true], "levels": [true, false]},
    {"rom": "5300000000072C05", "latches": [false], "levels": [true]},
    {"rom": "B90000000007132C", "wiper": 128},
    {"rom": "2300000000030B22", "temperature": 64, "alarm_high": 70}
  ]})");
  SimulatedClock by_byte_clock, by_slot_clock;
  const auto by_byte = sim::BuildBus(doc, by_byte_clock, "bytes");
  const auto by_slot = sim::BuildBus(doc, by_slot_clock, "slots");
  auto slots = [&](uint8_t byte) {
    uint8_t line = 0;
    for (int i = 0; i < 8; ++i) {
      if (by_slot->Slot((byte >> i) & 1, false)) line |= static_cast<uint8_t>(1u << i);
    }
    return line;
  };
  const uint8_t commands[] = {0xBE, 0x44, 0x4E, 0x48, 0xB8, 0xB4, 0xF0, 0xAA, 0x0F, 0x55,
                              0xF5, 0xA5, 0x3C, 0x5A, 0x66, 0x69, 0xC3, 0x99, 0x11, 0xCC};
  const auto& devices = by_byte->devices();
  for (int t = 0; t < 600; ++t) {
    SCOPED_TRACE("transaction " + std::to_string(t));
    if (rng() % 8 == 0) {
      const std::chrono::milliseconds step(rng() % 800);
      by_byte_clock.Advance(step);
      by_slot_clock.Advance(step);
    }
    ASSERT_EQ(by_byte->Reset(false), by_slot->Reset(false));
    std::vector<uint8_t> out;
    if (rng() % 6 == 0) {
      out.push_back(0xCC);  // every device listens: the bytes go slot by slot
    } else {
      out.push_back(0x55);
      const RomId& rom = devices[rng() % devices.size()]->rom();
      out.insert(out.end(), rom.bytes.begin(), rom.bytes.end());
      if (rng() % 10 == 0) out.back() ^= 0x10;  // nobody matches
    }
    out.push_back(commands[rng() % std::size(commands)]);
    for (int extra = static_cast<int>(rng() % 14); extra > 0; --extra)
      out.push_back(rng() % 3 ? 0xFF : static_cast<uint8_t>(rng()));
    for (size_t i = 0; i < out.size(); ++i)
      ASSERT_EQ(by_byte->Byte(out[i], false), slots(out[i])) << "byte " << i;
  }
}

TEST(Search, OverdriveDevicesAreAddressedAtOverdriveSpeed) {
  SimulatedBus s;
  const RomId rom = RomId::Make(0x1D, 42);
  s.bus->Add(std::make_unique<sim::GenericModel>(rom));
  s.adapter.setSpeed(2);
  EXPECT_TRUE(s.adapter.select(rom));
  EXPECT_EQ(s.adapter.Master().Stats().resets[0], 1u);  // the match itself starts at standard speed
  EXPECT_GT(s.adapter.Master().Stats().slots[1], 0u);
  s.adapter.freePort();
  EXPECT_THROW(s.adapter.Reset(), access::AccessError);
}

}  // namespace
}  // namespace qb
