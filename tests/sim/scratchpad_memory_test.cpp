// The simulator's scratchpad memory, byte by byte on the bus: what Read Scratchpad reports, and
// which Copy Scratchpad authorisations reach memory, on every kind of device that has one.

#include "sim/scratchpad_memory.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "access/adapter.h"
#include "access/families.h"
#include "sim/bus_file.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::Bytes;
using nlohmann::json;

struct Device {
  SimulatedClock clock;
  access::RomId rom;
  std::shared_ptr<sim::SimBus> bus;
  std::unique_ptr<access::DSPortAdapter> adapter;

  explicit Device(uint8_t family) : rom(access::RomId::Make(family, 0x31)) {
    bus = sim::BuildBus(json{{"devices", {{{"rom", rom.ToString()}}}}}, clock, "test");
    adapter = std::make_unique<access::DSPortAdapter>(
        "SIM", "test", std::make_unique<sim::SimBusMaster>(bus, "test bus"));
  }
  // Addresses the device, sends `out` and returns what `answer` read slots bring back.
  Bytes Transact(Bytes out, size_t answer = 0) {
    EXPECT_TRUE(adapter->select(rom));
    out.resize(out.size() + answer, 0xFF);
    adapter->Master().Block(out.data(), out.size());
    return Bytes(out.end() - static_cast<std::ptrdiff_t>(answer), out.end());
  }
  // TA1, TA2 and E/S as Read Scratchpad gives them.
  Bytes Registers() { return Transact({0xAA}, 3); }
  uint8_t& Memory(int address) {
    return bus->FindAs<sim::ScratchpadMemoryModel>(rom)->Memory().at(static_cast<size_t>(address));
  }
};

struct Family {
  uint8_t code;
  uint8_t copy;     // the Copy Scratchpad command
  int memory_size;  // the first address past the memory
};

const Family kFamilies[] = {
    {0x06, 0x55, 0x200},   // DS1993: NV RAM
    {0x1A, 0x5A, 0x200},   // DS1963L: NV RAM with page counters
    {0x23, 0x55, 0x200},   // DS1973: EEPROM
    {0x04, 0x55, 0x220},   // DS1994: NV RAM and clock registers
    {0x21, 0x55, 0x1800},  // DS1921: SRAM, registers and data log
};

TEST(ScratchpadMemory, CopiesWithTheAuthorisationExactlyAsReadBack) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(access::FamilyText(f.code));
    Device d(f.code);
    d.Memory(0x10) = 0x00;
    d.Memory(0x11) = 0x00;

    // No whole byte written yet: PF is set, and a copy with that E/S is refused.
    d.Transact({0x0F, 0x10, 0x00});
    EXPECT_EQ(d.Registers(), (Bytes{0x10, 0x00, 0x30}));
    d.Transact({f.copy, 0x10, 0x00, 0x30});
    EXPECT_EQ(d.Memory(0x10), 0x00);

    // Two bytes: a copy with another ending offset is refused, the right one copies.
    d.Transact({0x0F, 0x10, 0x00, 0x11, 0x22});
    EXPECT_EQ(d.Registers(), (Bytes{0x10, 0x00, 0x11}));
    d.Transact({f.copy, 0x10, 0x00, 0x12});
    EXPECT_EQ(d.Memory(0x10), 0x00);
    d.Transact({f.copy, 0x10, 0x00, 0x11});
    EXPECT_EQ(d.Memory(0x10), 0x11);
    EXPECT_EQ(d.Memory(0x11), 0x22);

    // After the copy E/S carries AA; the authorisation is E/S as read, AA included.
    EXPECT_EQ(d.Registers(), (Bytes{0x10, 0x00, 0x91}));
    d.Memory(0x10) = 0x00;
    d.Transact({f.copy, 0x10, 0x00, 0x11});
    EXPECT_EQ(d.Memory(0x10), 0x00);
    d.Transact({f.copy, 0x10, 0x00, 0x91});
    EXPECT_EQ(d.Memory(0x10), 0x11);

    // A target address past the memory is not taken: the scratchpad keeps its target.
    d.Transact({0x0F, static_cast<uint8_t>(f.memory_size & 0xFF),
                static_cast<uint8_t>(f.memory_size >> 8), 0x55});
    EXPECT_EQ(d.Registers(), (Bytes{0x10, 0x00, 0x91}));
  }
}

}  // namespace
}  // namespace qb
