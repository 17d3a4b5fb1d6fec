#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/sim_device.h"

namespace qb::sim {

// What sets one device's scratchpad memory apart: sizes, command variants, CRC16s and how reads
// and copies answer.
struct ScratchpadLayout {
  int memory_size = 512, scratchpad_size = 32;
  uint8_t copy_scratchpad = 0x55;
  // Read Scratchpad ends with an inverted CRC16 of the command and all it sent.
  bool scratchpad_crc = false;
  // Write Scratchpad answers an inverted CRC16 of all it received once the data reaches the
  // scratchpad's end (DS1963L).
  bool write_crc = false;
  // Read Memory with CRC (A5h): page by page from the address, each page's end followed by an
  // inverted CRC16 (of the command, address and data for the first page, of the data alone
  // after it).
  bool read_memory_crc = false;
  // Read Memory + Counter: each page of Read Memory with CRC also carries its counter and 32
  // zero bits. Pages 12 to 15 count the copies into them; the others report FFFFFFFFh.
  bool page_counters = false;
  // What the device sends once a copy is done, until reset (the DS1992/DS1993 send zeros, the
  // DS1963L and DS1973 alternating ones and zeros); none: the line stays high.
  std::optional<uint8_t> copy_done;
  // Read Memory sends byte by byte so that the model hears each byte read (registers that
  // reading clears); otherwise the memory to its end goes as one block.
  bool read_byte_by_byte = false;
  // Only Read Memory is answered (the SHA devices' writes are not modelled).
  bool read_only = false;
  bool overdrive = false;
};

// Memory behind a scratchpad addressed by a 16-bit target address (TA1 low byte, TA2 high byte):
//   Write Scratchpad (0F TA1 TA2 data...): data fills the scratchpad from the address's offset;
//     E/S gets the ending offset, PF (20h) while no whole byte arrived, AA cleared.
//   Read Scratchpad (AA): TA1, TA2, E/S, the scratchpad from the offset to its end, then, on the
//     parts that have it, the inverted CRC16 of all that with the command.
//   Copy Scratchpad (55 or 5A, TA1 TA2 E/S): with the three bytes matching (the authorisation),
//     the scratchpad from the offset to the ending offset is copied to memory and AA is set.
//   Read Memory (F0 TA1 TA2): the memory from the address to its end.
//   Read Memory with CRC or + Counter (A5 TA1 TA2, on the parts that have it).
// A family model with registers in its memory supplies their values (Refresh), takes the bytes
// written to them (Copied) and may add commands.
class ScratchpadMemoryModel : public SimDevice {
 public:
  std::vector<uint8_t>& Memory() { return memory_; }
  // The counter Read Memory + Counter reports for a page.
  uint32_t Counter(int page) const;

 protected:
  ScratchpadMemoryModel(const access::RomId& rom, const ScratchpadLayout& layout,
                        std::vector<uint8_t> memory);

  // Brings the registers in memory_ up to date before they are read or written over.
  virtual void Refresh() {}
  // Bytes [first, last] of memory_ were written by a copy.
  virtual void Copied(uint16_t /*first*/, uint16_t /*last*/) {}
  // The byte at `address` was sent by Read Memory (with read_byte_by_byte).
  virtual void WasRead(uint16_t /*address*/) {}
  // Whether a copy may write this address (read-only registers and memory refuse).
  virtual bool Writable(uint16_t address) const { return address < memory_.size(); }
  // A command this section does not know; the default ignores the rest until reset.
  virtual void OtherCommand(uint8_t) { Ignore(); }

  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override { step_ = Step::None; }
  bool SupportsOverdrive() const override { return layout_.overdrive; }

  std::vector<uint8_t> memory_;

 private:
  enum class Step { None, Address, WriteData, CopyAuth, CopyDone, ReadMemory, ReadPages };
  void Address(uint16_t address);
  void Copy();
  // Sends the memory from read_address_ to the end of its page (with its counter) and the CRC16.
  void SendPage(bool first);

  ScratchpadLayout layout_;
  std::vector<uint8_t> scratchpad_;
  uint16_t target_ = 0;
  uint8_t es_ = 0;
  std::vector<uint32_t> copies_;  // copies into each page, for the page counters

  uint8_t command_ = 0;
  Step step_ = Step::None;
  std::vector<uint8_t> rx_;  // the running command and the bytes received after it
  int offset_ = 0;
  int read_address_ = 0;
  int sent_ = -1;  // the address Read Memory sent last, -1 before the first
};

}  // namespace qb::sim
