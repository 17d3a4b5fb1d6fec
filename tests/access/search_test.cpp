#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "access/adapter.h"
#include "access/crc.h"
#include "access/errors.h"
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
