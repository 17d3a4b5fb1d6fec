// The memory banks against the simulator's memory models: the datasheets' layouts, and writes
// that read back byte for byte through the real command bytes.

#include "access/memory_bank.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/families.h"
#include "sim/bus_file.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::Bytes;
using access::RomId;
using nlohmann::json;

struct MemoryBus {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus;
  std::unique_ptr<access::DSPortAdapter> adapter;
  std::unique_ptr<access::OneWireContainer> c;
  access::MemoryBanks banks;

  MemoryBus(uint8_t family, json device = json::object(), bool program_voltage = true) {
    const RomId rom = RomId::Make(family, 0x4242);
    device["rom"] = rom.ToString();
    bus = sim::BuildBus(json{{"devices", {device}}, {"program_voltage", program_voltage}}, clock,
                        "test");
    adapter = std::make_unique<access::DSPortAdapter>(
        "SIM", "test", std::make_unique<sim::SimBusMaster>(bus, "test bus"));
    c = access::CreateContainer(family);
    c->SetupContainer(adapter.get(), rom.ToString());
    banks = c->getMemoryBanks();
  }
  access::PagedMemoryBank& Paged(size_t i) {
    return dynamic_cast<access::PagedMemoryBank&>(*banks.at(i));
  }
  access::OTPMemoryBank& Otp(size_t i) {
    return dynamic_cast<access::OTPMemoryBank&>(*banks.at(i));
  }
};

// What the datasheets give: the banks in order, their size, page length and kind.
struct Layout {
  uint8_t family;
  std::vector<std::tuple<int, int, bool, bool>> banks;  // size, page length, OTP, general purpose
};

TEST(MemoryBanks, FollowTheDatasheetLayouts) {
  const std::vector<Layout> layouts = {
      {0x06, {{512, 32, false, true}}},                            // DS1993: 4 kbit NV RAM
      {0x08, {{128, 32, false, true}}},                            // DS1992: 1 kbit
      {0x0A, {{2048, 32, false, true}}},                           // DS1995: 16 kbit
      {0x0C, {{8192, 32, false, true}}},                           // DS1996: 64 kbit
      {0x04, {{512, 32, false, true}}},                            // DS1994: 4 kbit
      {0x09, {{128, 32, true, true}, {8, 8, false, false}}},       // DS1982: 1 kbit EPROM
      {0x0B, {{2048, 32, true, true}, {0x140, 8, false, false}}},  // DS1985: 16 kbit
      {0x0F, {{8192, 32, true, true}, {0x200, 8, false, false}}},  // DS1986: 64 kbit
      {0x13, {{512, 32, true, true}, {0x110, 8, false, false}}},   // DS1983: 4 kbit
      {0x1A, {{384, 32, false, true}, {128, 32, false, true}}},    // DS1963L: counters 12-15
      {0x1D, {{384, 32, false, true}, {128, 32, false, true}}},    // DS2423
      {0x23, {{512, 32, false, true}}},                            // DS1973: 4 kbit EEPROM
      {0x14, {{32, 32, false, true}, {8, 8, false, false}}},       // DS1971: 256 bit + register
      {0x18, {{512, 32, false, true}}},                            // DS1963S data pages
      {0x33, {{128, 32, false, true}}},                            // DS1961S data pages
      {0x26, {{64, 8, false, false}}},                             // DS2438 pages 0-7
      {0x30, {{32, 16, false, true}, {16, 16, false, true}}},      // DS2760 EEPROM, SRAM
  };
  for (const auto& l : layouts) {
    SCOPED_TRACE(access::FamilyText(l.family));
    auto c = access::CreateContainer(l.family);
    const auto banks = c->getMemoryBanks();
    ASSERT_EQ(banks.size(), l.banks.size());
    for (size_t i = 0; i < banks.size(); ++i) {
      const auto [size, page, otp, general] = l.banks[i];
      auto& b = dynamic_cast<access::PagedMemoryBank&>(*banks[i]);
      EXPECT_EQ(b.getSize(), size);
      EXPECT_EQ(b.getPageLength(), page);
      EXPECT_EQ(b.getNumberPages(), size / page);
      EXPECT_EQ(b.isOTPMemoryBank(), otp);
      EXPECT_EQ(b.isGeneralPurposeMemory(), general);
      EXPECT_EQ(b.getMaxPacketDataLength(), page - 3);
      EXPECT_EQ(b.needsProgramPulse(),
                l.family == 0x09 || l.family == 0x0B || l.family == 0x0F || l.family == 0x13);
    }
  }
  // The crypto iButton refuses; a family without memory has no banks.
  EXPECT_THROW(access::CreateContainer(0x16)->getMemoryBanks(), access::AccessError);
  EXPECT_TRUE(access::CreateContainer(0x28)->getMemoryBanks().empty());
}

TEST(MemoryBanks, NvramWritesReadBackThroughTheScratchpad) {
  // The DS1994 and DS1921 models come with the clock families; their memory is checked here
  // as soon as the simulator has them.
  for (uint8_t family : {0x06, 0x08, 0x0A, 0x0C, 0x1A, 0x1D, 0x23, 0x04, 0x21}) {
    if (sim::FamilyKeys(family).empty()) continue;
    SCOPED_TRACE(access::FamilyText(family));
    MemoryBus m(family);
    auto& bank = m.Paged(0);
    // Across a scratchpad boundary, from an odd offset.
    Bytes data;
    for (int i = 0; i < 45; ++i) data.push_back(static_cast<uint8_t>(i * 7 + 1));
    bank.write(20, data);
    EXPECT_EQ(bank.read(20, 45), data);
    // A full page as a packet: length byte, 29 bytes, CRC16 seeded with the page number.
    const Bytes payload(29, 0x5A);
    bank.writePagePacket(1, payload);
    EXPECT_EQ(bank.readPagePacket(1), payload);
    EXPECT_EQ(bank.readPage(1).data[0], 29);
    EXPECT_THROW(bank.writePagePacket(1, Bytes(30, 1)), access::AccessError);
    // A page that holds no packet is reported, not returned.
    bank.write(64, Bytes(32, 0xFF));
    EXPECT_THROW(bank.readPagePacket(2), access::AccessError);
    // Outside the bank.
    EXPECT_THROW(bank.write(bank.getSize() - 1, Bytes(2, 0)), access::AccessError);
  }
}

TEST(MemoryBanks, InitialContentsFromTheBusFile) {
  MemoryBus m(0x06, json{{"memory", "48 65 6C 6C 6F"}});
  EXPECT_EQ(m.Paged(0).readPage(0).data.size(), 32u);
  EXPECT_EQ(m.Paged(0).read(0, 6), (Bytes{'H', 'e', 'l', 'l', 'o', 0}));
  EXPECT_THROW(MemoryBus(0x06, json{{"memory", "4"}}), std::runtime_error);
  EXPECT_THROW(MemoryBus(0x08, json{{"memory", std::string(2 * 129, 'A')}}), std::runtime_error);
}

TEST(MemoryBanks, EpromProgramsWithThePulseLocksAndRedirects) {
  for (uint8_t family : {0x09, 0x0B, 0x0F, 0x13}) {
    SCOPED_TRACE(access::FamilyText(family));
    MemoryBus m(family);
    auto& main = m.Otp(0);
    EXPECT_EQ(main.readPage(0).data, Bytes(32, 0xFF));  // unprogrammed EPROM reads ones
    const Bytes payload = {'E', 'P', 'R', 'O', 'M'};
    main.writePagePacket(1, payload);
    EXPECT_EQ(main.readPagePacket(1), payload);
    // Bits programmed to 0 cannot return to 1: refused before anything is programmed.
    EXPECT_THROW(main.write(32, Bytes{0xFF}), access::AccessError);
    main.write(40, Bytes{0x00});  // clearing more bits is allowed
    EXPECT_EQ(main.read(40, 1), Bytes{0x00});
    // Locking a page protects it; redirection is kept in the status memory.
    EXPECT_FALSE(main.isPageLocked(2));
    main.lockPage(2);
    EXPECT_TRUE(main.isPageLocked(2));
    EXPECT_FALSE(main.isPageLocked(3));
    EXPECT_THROW(main.write(64, Bytes{0x00}), access::AccessError);
    EXPECT_EQ(main.getRedirectedPage(1), 0);
    main.redirectPage(1, 3);
    EXPECT_EQ(main.getRedirectedPage(1), 3);
    if (main.haveExtraInfo()) {
      EXPECT_EQ(main.readPage(1).extra, Bytes{static_cast<uint8_t>(~3)});
    }
    EXPECT_EQ(m.adapter->Master().Stats().program_pulses, payload.size() + 3 + 1 + 1 + 1);
  }
}

TEST(MemoryBanks, EpromIsRefusedWithoutAProgramPulse) {
  MemoryBus m(0x0B, json::object(), /*program_voltage=*/false);
  try {
    m.Otp(0).write(0, Bytes{0x12});
    FAIL() << "programming without a program voltage succeeded";
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), access::ErrorCode::NotSupported);
    EXPECT_NE(std::string(e.what()).find("program pulse"), std::string::npos) << e.what();
  }
  EXPECT_EQ(m.Otp(0).read(0, 1), Bytes{0xFF});  // nothing was programmed
}

TEST(MemoryBanks, CountersCrcErrorsAndReadOnlyFamilies) {
  // DS1963L: each copy into pages 12 to 15 counts; the counter comes with the page.
  MemoryBus l(0x1A);
  auto& counted = l.Paged(1);
  EXPECT_EQ(counted.getStartPhysicalAddress(), 12 * 32);
  counted.write(0, Bytes(4, 1));
  counted.write(0, Bytes(4, 2));
  EXPECT_EQ(counted.readPage(0).extra, (Bytes{2, 0, 0, 0}));
  EXPECT_EQ(counted.readPage(1).extra, (Bytes{0, 0, 0, 0}));
  // A device that garbles what it sends now and then is read through its CRCs.
  MemoryBus noisy(0x1A, json{{"faults", {{"crc_error_rate", 0.2}}}});
  noisy.Paged(0).write(0, Bytes(32, 0x33));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(noisy.Paged(0).readPage(0).data, Bytes(32, 0x33));
  // The SHA devices' pages read; their writes are refused as unsupported.
  for (uint8_t family : {0x18, 0x33}) {
    MemoryBus m(family, json{{"memory", "0102"}});
    EXPECT_EQ(m.Paged(0).read(0, 2), (Bytes{1, 2}));
    try {
      m.Paged(0).write(0, Bytes{1});
      FAIL();
    } catch (const access::AccessError& e) {
      EXPECT_EQ(e.code(), access::ErrorCode::NotSupported) << e.what();
    }
  }
}

TEST(MemoryBanks, PublicPartsOfTheDS1991AndTheDS1971) {
  MemoryBus k(0x02);
  ASSERT_EQ(k.banks.size(), 4u);
  auto& pad = k.Paged(0);
  pad.write(10, Bytes{'k', 'e', 'y'});
  EXPECT_EQ(pad.read(10, 3), (Bytes{'k', 'e', 'y'}));
  EXPECT_EQ(pad.readPage(0).data.size(), 64u);
  try {
    k.banks[1]->read(0, 1);
    FAIL();
  } catch (const access::AccessError& e) {
    EXPECT_EQ(e.code(), access::ErrorCode::NotSupported);
    EXPECT_NE(std::string(e.what()).find("password"), std::string::npos);
  }
  MemoryBus e(0x14, json{{"application", "A1A2"}});
  e.Paged(0).write(3, Bytes{9, 8, 7});
  EXPECT_EQ(e.Paged(0).read(2, 5), (Bytes{0xFF, 9, 8, 7, 0xFF}));
  EXPECT_EQ(e.Paged(1).read(0, 2), (Bytes{0xA1, 0xA2}));
}

TEST(MemoryBanks, DS2438PagesThroughRecallAndCopy) {
  MemoryBus m(0x26, json{{"temperature", 21.0}});
  auto& pages = m.Paged(0);
  const Bytes user = {1, 2, 3, 4, 5, 6, 7, 8};
  pages.write(7 * 8, user);
  EXPECT_EQ(pages.readPage(7).data, user);
  EXPECT_EQ(pages.readPage(0).data.size(), 8u);
}

TEST(MemoryBanks, DS2760EepromAndSram) {
  if (sim::FamilyKeys(0x30).empty()) GTEST_SKIP() << "the simulator has no DS2760 model yet";
  MemoryBus m(0x30, json{{"temperature", 20.0}});
  auto& eeprom = m.Paged(0);
  EXPECT_EQ(eeprom.getStartPhysicalAddress(), 0x20);
  eeprom.write(14, Bytes{1, 2, 3, 4});  // across the two blocks
  EXPECT_EQ(eeprom.read(14, 4), (Bytes{1, 2, 3, 4}));
  eeprom.writePagePacket(1, Bytes{'b', 'a', 't'});
  EXPECT_EQ(eeprom.readPagePacket(1), (Bytes{'b', 'a', 't'}));
  auto& sram = m.Paged(1);
  EXPECT_FALSE(sram.isNonVolatile());
  sram.write(0, Bytes(16, 0x77));
  EXPECT_EQ(sram.readPage(0).data, Bytes(16, 0x77));
}

}  // namespace
}  // namespace qb
