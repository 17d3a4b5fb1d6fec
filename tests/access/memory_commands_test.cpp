// The command bytes the memory banks put on the wire, against the datasheets' command codes and
// transaction layouts.

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "access/adapter.h"
#include "access/families.h"
#include "access/memory_bank.h"
#include "sim/bus_file.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::Bytes;
using nlohmann::json;

// A simulated master that writes down every byte sent ("R" for a reset, "P" for a program
// pulse), as hexadecimal text; read slots show as FF.
class RecordingMaster : public sim::SimBusMaster {
 public:
  using SimBusMaster::SimBusMaster;
  std::string log;

  access::ResetResult Reset() override {
    log += " R ";
    return SimBusMaster::Reset();
  }
  uint8_t TouchByte(uint8_t byte) override {
    Note(byte);
    return SimBusMaster::TouchByte(byte);
  }
  void Block(uint8_t* data, size_t length) override {
    for (size_t i = 0; i < length; ++i) {
      Note(data[i]);
      data[i] = SimBusMaster::TouchByte(data[i]);
    }
  }
  void ProgramPulse() override {
    log += "P";
    SimBusMaster::ProgramPulse();
  }

 private:
  void Note(uint8_t b) { log += access::BytesToHexText(&b, 1); }
};

struct Case {
  uint8_t family;
  std::function<void(access::MemoryBanks&)> operation;
  // Transactions that must appear, in this order, each right after the device was addressed
  // (Match ROM 55h and the ROM id).
  std::vector<std::string> transactions;
};

access::PagedMemoryBank& Paged(access::MemoryBanks& b, size_t i) {
  return dynamic_cast<access::PagedMemoryBank&>(*b.at(i));
}

TEST(MemoryCommands, FollowTheDatasheets) {
  const std::vector<Case> cases = {
      // DS1993: Write Scratchpad 0Fh TA1 TA2 data; Read Scratchpad AAh (TA1, TA2, E/S 03h and
      // the scratchpad back); Copy Scratchpad 55h with TA1 TA2 E/S; Read Memory F0h to verify.
      {0x06,
       [](access::MemoryBanks& b) {
         b[0]->write(0x21, {1, 2, 3});
       },
       {"0F2100010203 R", "AAFFFFFF",
        "552100"
        "03FF R",
        "F02100FFFFFF R"}},
      // DS1963L: Copy Scratchpad is 5Ah; pages are read with Read Memory + Counter A5h.
      {0x1A,
       [](access::MemoryBanks& b) {
         b[0]->write(0, {7});
         Paged(b, 1).readPage(0);
       },
       {"0F000007 R", "AAFFFFFF", "5A000000FF R", "A58001FF"}},
      // DS1982: Read Data/Generate 8-bit CRC C3h; Write Memory 0Fh TA1 TA2 data, the CRC8 read,
      // a program pulse and the programmed byte read; the status read with AAh first.
      {0x09,
       [](access::MemoryBanks& b) {
         Paged(b, 0).readPage(1);
         b[0]->write(2, {0x5A, 0xA5});
       },
       {"C32000FF", "AA0000FF", "0F02005AFFPFFA5FFPFF R"}},
      // DS1985: Extended Read Memory A5h; locking a page programs its write-protect bit with
      // Write Status 55h.
      {0x0B,
       [](access::MemoryBanks& b) {
         Paged(b, 0).readPage(0);
         dynamic_cast<access::OTPMemoryBank&>(*b[0]).lockPage(9);
       },
       {"A50000FF", "AA0100FF", "550100FDFFFFPFF R"}},
      // DS1991: Write Scratchpad 96h and Read Scratchpad 69h, address C0h + offset and its
      // complement.
      {0x02, [](access::MemoryBanks& b) { b[0]->write(4, {0x42}); }, {"96C43B42 R", "69C43BFF"}},
      // DS2438: Recall Memory B8h and Read Scratchpad BEh of the page; Write Scratchpad 4Eh and
      // Copy Scratchpad 48h.
      {0x26,
       [](access::MemoryBanks& b) { b[0]->write(5 * 8, {9}); },
       {"B805 R", "BE05FF", "4E0509", "BE05FF", "4805 R", "B805 R"}},
      // DS1971: one address byte; Copy Scratchpad 55h with the validation key A5h.
      {0x14,
       [](access::MemoryBanks& b) { b[0]->write(3, {6}); },
       {"0F0306 R", "AA03FF R", "55A5 R", "F003FF R"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(access::FamilyText(c.family));
    SimulatedClock clock;
    const auto rom = access::RomId::Make(c.family, 0x99);
    auto bus = sim::BuildBus(json{{"devices", {{{"rom", rom.ToString()}}}}}, clock, "test");
    auto master = std::make_unique<RecordingMaster>(bus, "recording bus");
    RecordingMaster* log = master.get();
    access::DSPortAdapter adapter("SIM", "test", std::move(master));
    auto container = access::CreateContainer(c.family);
    container->SetupContainer(&adapter, rom.ToString());
    auto banks = container->getMemoryBanks();
    log->log.clear();
    c.operation(banks);
    const std::string select = "55" + access::BytesToHexText(rom.bytes.data(), 8);
    size_t at = 0;
    for (const auto& t : c.transactions) {
      const size_t found = log->log.find(select + t, at);
      ASSERT_NE(found, std::string::npos) << "missing \"" << t << "\" in " << log->log;
      at = found + 1;
    }
  }
}

}  // namespace
}  // namespace qb
