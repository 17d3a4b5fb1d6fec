#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/sim_device.h"

namespace qb::sim {

// The memory section the clock iButtons (DS1994, DS1921) share: a 32-byte scratchpad and a
// memory addressed by a 16-bit target address (TA1 low byte, TA2 high byte).
//   Write Scratchpad (0F TA1 TA2 data...): data fills the scratchpad from the address's offset;
//     E/S gets the ending offset, AA is cleared.
//   Read Scratchpad (AA): TA1, TA2, E/S, the scratchpad from the offset to its end, then, on the
//     parts that have it, the inverted CRC16 of all that with the command.
//   Copy Scratchpad (55 TA1 TA2 E/S): with the three bytes matching (the authorisation), the
//     scratchpad from the offset to the ending offset is copied to memory and AA is set.
//   Read Memory (F0 TA1 TA2): the memory from the address on.
//   Read Memory with CRC (A5 TA1 TA2, on the parts that have it): the memory from the address
//     to the end of its page, then the inverted CRC16 (of the command, address and data for the
//     first page, of the data alone after it), page after page.
// A family model supplies the register values (Refresh) and takes the bytes written to them
// (Copied), and may add commands.
class ScratchpadMemoryModel : public SimDevice {
 protected:
  ScratchpadMemoryModel(const access::RomId& rom, size_t memory_size, bool scratchpad_crc,
                        bool read_memory_crc = false);

  // Brings the registers in memory_ up to date before they are read or written over.
  virtual void Refresh() {}
  // Bytes [first, last] of memory_ were written by a copy.
  virtual void Copied(uint16_t /*first*/, uint16_t /*last*/) {}
  // The byte at `address` was sent by Read Memory.
  virtual void WasRead(uint16_t /*address*/) {}
  // Whether a copy may write this address (read-only registers and memory refuse).
  virtual bool Writable(uint16_t address) const { return address < memory_.size(); }
  // A command this section does not know; the default ignores the rest until reset.
  virtual void OtherCommand(uint8_t) { Ignore(); }
  virtual void OtherData(uint8_t) {}

  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;

  std::vector<uint8_t> memory_;
  uint8_t command_ = 0;

 private:
  bool scratchpad_crc_;
  bool read_memory_crc_;
  bool reading_pages_ = false;  // Read Memory with CRC under way
  // Sends the memory from read_address_ to the end of its page and the page's CRC16, seeded
  // with `lead` (the command and address, for the first page).
  void SendPage(const std::vector<uint8_t>& lead);
  std::array<uint8_t, 32> scratchpad_{};
  uint16_t target_ = 0;
  uint8_t es_ = 0;
  // Bytes of the running command received so far (address and authorisation bytes).
  std::vector<uint8_t> received_;
  int write_offset_ = 0;
  uint32_t read_address_ = 0;
  bool reading_memory_ = false;
  int sent_ = -1;  // the address Read Memory sent last, -1 before the first
};

}  // namespace qb::sim
