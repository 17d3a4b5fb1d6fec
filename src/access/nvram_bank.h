#pragma once

#include <chrono>
#include <cstdint>

#include "access/bank_base.h"

namespace qb::access {

// How a device writes its memory through its scratchpad: the command codes, the scratchpad's
// length, whether its scratchpad transfers carry a CRC16, and how long a copy into EEPROM takes.
struct ScratchpadProtocol {
  uint8_t write_scratchpad = 0x0F;
  uint8_t read_scratchpad = 0xAA;
  uint8_t copy_scratchpad = 0x55;
  uint8_t read_memory = 0xF0;
  uint8_t read_memory_crc = 0xA5;
  int scratchpad_size = 32;
  // Read Scratchpad ends with an inverted CRC16 of the command and all bytes sent (DS1963L,
  // DS2423, DS1921).
  bool crc16 = false;
  // Write Scratchpad offers one when the data reaches the end of the scratchpad (DS1963L,
  // DS2423); it is checked where the device has it. The scratchpad read back verifies the data
  // either way.
  bool write_crc16 = false;
  // The time the copy programs EEPROM for, under strong pull-up; zero for NV RAM.
  std::chrono::milliseconds copy_time{0};
  // Pages are read with a CRC16 each (read_memory_crc): the page, then for a device with page
  // counters its 32-bit counter and 32 zero bits, then an inverted CRC16 of it all (DS1963L and
  // DS2423 with counters, the DS1921 without).
  bool read_pages_with_crc = false;
  bool page_counters = false;
};

// Memory written through the scratchpad (NV RAM and EEPROM): Write Scratchpad, Read Scratchpad
// to verify the data, the target address and the E/S byte, Copy Scratchpad with that address and
// E/S as authorisation, then the memory is read back and compared. Reads use Read Memory, or Read
// Memory + Counter with a CRC16 per page where the device has it.
class ScratchpadBank : public BankCommon<PagedMemoryBank> {
 public:
  ScratchpadBank(OneWireContainer& container, BankInfo info, ScratchpadProtocol protocol);

  Bytes read(int start, int length) override;
  PageRead readPage(int page) override;

 protected:
  void Write(int start, const Bytes& data) override;

 private:
  // Writes bytes that lie inside one scratchpad-sized window.
  void WriteWindow(int address, const Bytes& data);
  Bytes ReadMemory(int address, int length);

  ScratchpadProtocol p_;
};

}  // namespace qb::access
