#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/scratchpad_memory.h"
#include "sim/sim_device.h"

namespace qb::sim {

// NV RAM or EEPROM written through a scratchpad, the whole memory general purpose (DS1992 to
// DS1996, DS1963L, DS1973, and the SHA devices' data pages read only).
class NvramModel : public ScratchpadMemoryModel {
 public:
  NvramModel(const access::RomId& rom, const ScratchpadLayout& layout, std::vector<uint8_t> memory)
      : ScratchpadMemoryModel(rom, layout, std::move(memory)) {}
};

// The command set of an add-only (EPROM) memory: CRC8 (DS1982) or inverted CRC16 (DS1985,
// DS1986, DS1983), its data memory and its status memory.
struct EpromLayout {
  bool crc16 = false;
  int memory_size = 128;
  int status_size = 8;
  int redirection = 1;  // status address of page 0's redirection byte
  int write_protect = 0;
};

// Add-only memory: bits start at 1 and a 12 V program pulse clears the ones a written byte has at
// 0. Write Memory / Write Status (0Fh / 55h, TA1, TA2, data): the device answers the CRC of what
// it received, programs the byte on the program pulse when its page is not write-protected,
// answers the programmed byte and moves to the next address for the next data byte. Reading: Read
// Memory (F0h), Read Data/Generate 8-bit CRC (C3h) or Extended Read Memory (A5h, with each page's
// redirection byte) page by page with a CRC after each, Read Status (AAh) in 8-byte blocks with a
// CRC after each.
class EpromModel : public SimDevice {
 public:
  EpromModel(const access::RomId& rom, EpromLayout layout, std::vector<uint8_t> memory,
             std::vector<uint8_t> status);

  std::vector<uint8_t>& Memory() { return memory_; }
  std::vector<uint8_t>& Status() { return status_; }
  uint64_t ProgramPulses() const { return pulses_; }

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override { step_ = Step::None; }
  void ProgramPulseApplied() override;

 private:
  enum class Step { None, Address, WriteData, AwaitPulse, Programmed, ReadPages, ReadStatus };
  void SendPage(bool first);
  void SendStatusBlock(bool first);
  std::vector<uint8_t> Crc(const std::vector<uint8_t>& data, uint16_t seed = 0) const;
  bool Protected(int address) const;

  EpromLayout layout_;
  std::vector<uint8_t> memory_;
  std::vector<uint8_t> status_;
  uint64_t pulses_ = 0;

  uint8_t command_ = 0;
  Step step_ = Step::None;
  std::vector<uint8_t> rx_;
  int address_ = 0;
  bool first_byte_ = true;
  uint8_t data_ = 0;
};

// The DS1991's public part: its 64-byte scratchpad (Write Scratchpad 96h, Read Scratchpad 69h,
// each with an address byte C0h + offset and its complement). The subkey commands are not
// answered.
class DS1991Model : public SimDevice {
 public:
  DS1991Model(const access::RomId& rom, std::vector<uint8_t> scratchpad);
  std::vector<uint8_t>& Scratchpad() { return scratchpad_; }

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnReset() override { step_ = 0; }

 private:
  std::vector<uint8_t> scratchpad_;
  uint8_t command_ = 0;
  int step_ = 0;  // 1: address, 2: complement, 3: data
  int address_ = 0;
};

// The DS1971's 32-byte EEPROM and 8-byte application register: Write Scratchpad (0Fh, address),
// Read Scratchpad (AAh, address), Copy Scratchpad (55h, validation key A5h), Read Memory (F0h,
// address), Read Application Register (C3h, address); reads run to the end of their area.
class DS1971Model : public SimDevice {
 public:
  DS1971Model(const access::RomId& rom, std::vector<uint8_t> memory,
              std::vector<uint8_t> application);
  std::vector<uint8_t>& Memory() { return memory_; }

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override { step_ = 0; }

 private:
  std::vector<uint8_t> memory_, application_, scratchpad_;
  uint8_t command_ = 0;
  int step_ = 0;
  int address_ = 0;
};

}  // namespace qb::sim
