#include "access/container.h"
#include "access/eprom_bank.h"
#include "access/memory_bank.h"
#include "access/nvram_bank.h"
#include "access/other_banks.h"

namespace qb::access {

namespace {

BankInfo Nvram(const std::string& description, int pages, int start = 0) {
  BankInfo b;
  b.description = description;
  b.start = start;
  b.size = pages * 32;
  return b;
}

// Battery-backed NV RAM written through a 32-byte scratchpad (DS1992 to DS1996): Copy
// Scratchpad 55h, no CRC on the scratchpad transfers.
MemoryBanks NvramFamily(OneWireContainer& c, int pages) {
  return {MakeScratchpadBank(c, Nvram("Main memory", pages), ScratchpadProtocol{})};
}

// NV RAM with page counters (DS1963L, DS2423): Copy Scratchpad 5Ah, CRC16 on the scratchpad and
// on each page read with its counter; pages 12 to 15 carry the counters.
MemoryBanks CounterFamily(OneWireContainer& c, const std::string& counter_description) {
  ScratchpadProtocol p;
  p.copy_scratchpad = 0x5A;
  p.crc16 = true;
  p.write_crc16 = true;
  p.read_pages_with_crc = true;
  p.page_counters = true;
  BankInfo main = Nvram("Main memory", 12);
  main.page_auto_crc = true;
  BankInfo counted = Nvram("Memory with counters", 4, 12 * 32);
  counted.page_auto_crc = true;
  counted.extra_length = 4;
  counted.extra_description = counter_description;
  return {MakeScratchpadBank(c, main, p), MakeScratchpadBank(c, counted, p)};
}

// EEPROM written through a 32-byte scratchpad, 10 ms per copy under strong pull-up (DS1973).
MemoryBanks EepromFamily(OneWireContainer& c, int pages) {
  ScratchpadProtocol p;
  p.copy_time = std::chrono::milliseconds(10);
  BankInfo b = Nvram("Main memory", pages);
  b.power_delivery = true;
  return {MakeScratchpadBank(c, b, p)};
}

// Add-only memory: data pages and the status memory with their write-protect bits and
// redirection bytes.
MemoryBanks EpromFamily(OneWireContainer& c, int pages, const EpromProtocol& p, int status_size) {
  BankInfo main = Nvram("Main memory", pages);
  main.read_write = false;
  main.write_once = true;
  main.program_pulse = true;
  main.page_auto_crc = true;
  if (p.crc16) {
    main.extra_length = 1;
    main.extra_description = "Page redirection byte";
  }
  BankInfo status;
  status.description = "Write protect pages and page redirection";
  status.size = status_size;
  status.page_length = 8;
  status.general_purpose = false;
  status.read_write = false;
  status.write_once = true;
  status.program_pulse = true;
  status.page_auto_crc = true;
  return {std::make_shared<EpromBank>(c, main, p), std::make_shared<EpromStatusBank>(c, status, p)};
}

EpromProtocol Crc8Eprom() {
  return EpromProtocol{};  // DS1982: status byte 0 the write-protect bits, bytes 1 to 4 redirection
}

EpromProtocol Crc16Eprom() {
  EpromProtocol p;
  p.crc16 = true;
  p.read_pages = 0xA5;
  p.write_protect = 0x000;
  p.redirection_protect = 0x020;
  p.redirection = 0x100;
  return p;
}

}  // namespace

// The registration table of the families with memory; a family not listed has none.
MemoryBanks MakeMemoryBanks(OneWireContainer& c) {
  switch (c.getAddress().family()) {
    case 0x02:
      return DS1991Banks(c);
    case 0x04:  // DS1994: 4096 bits of NV RAM (its clock registers follow at 200h)
    case 0x06:  // DS1993
      return NvramFamily(c, 16);
    case 0x08:  // DS1992
      return NvramFamily(c, 4);
    case 0x0A:  // DS1995
      return NvramFamily(c, 64);
    case 0x0C:  // DS1996
      return NvramFamily(c, 256);
    case 0x09:  // DS1982: 1024 bits, 8 status bytes
      return EpromFamily(c, 4, Crc8Eprom(), 8);
    case 0x0B:  // DS1985: 16 kbit, status to 13Fh
      return EpromFamily(c, 64, Crc16Eprom(), 0x100 + 64);
    case 0x0F:  // DS1986: 64 kbit, status to 1FFh
      return EpromFamily(c, 256, Crc16Eprom(), 0x100 + 256);
    case 0x13:  // DS1983: 4 kbit, status to 10Fh
      return EpromFamily(c, 16, Crc16Eprom(), 0x100 + 16);
    case 0x14:
      return DS1971Banks(c);
    case 0x16:
      return CryptoBanks(c);
    case 0x18:
      return DS1963SBanks(c);
    case 0x1A:
      return CounterFamily(c, "Write cycle counter");
    case 0x1D:
      return CounterFamily(
          c, "Counter (pages 12 and 13 count write cycles, 14 and 15 inputs A and B)");
    case 0x21:
      return DS1921Banks(c);
    case 0x23:  // DS1973: 4096-bit EEPROM
      return EepromFamily(c, 16);
    case 0x26:
      return DS2438Banks(c);
    case 0x30:
      return DS2760Banks(c);
    case 0x33:
      return DS1961SBanks(c);
    default:
      return {};
  }
}

}  // namespace qb::access
