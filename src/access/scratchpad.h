#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "access/bus_master.h"
#include "access/memory_bank.h"

namespace qb::access {

// How a device writes its memory through its scratchpad: the command codes, the scratchpad's
// length, the CRC16s its transfers carry, how a copy runs and how it is confirmed. Every device
// with a TA1 TA2 E/S scratchpad (NV RAM, EEPROM, the clock iButtons' registers) is one of these.
struct ScratchpadProtocol {
  uint8_t write_scratchpad = 0x0F, read_scratchpad = 0xAA, copy_scratchpad = 0x55;
  uint8_t read_memory = 0xF0, read_memory_crc = 0xA5;
  int scratchpad_size = 32;
  // Read Scratchpad ends with an inverted CRC16 of the command and all bytes sent (DS1963L,
  // DS2423, DS1921).
  bool crc16 = false;
  // Write Scratchpad offers one when the data reaches the end of the scratchpad (DS1963L,
  // DS2423); it is checked where the device has it. The scratchpad read back verifies the data
  // either way.
  bool write_crc16 = false;
  // How long the copy takes: with `copy_power` the E/S byte is sent with strong pull-up held for
  // that long (EEPROM programming); without, the master simply waits. Zero: no wait (NV RAM).
  std::chrono::milliseconds copy_time{0};
  bool copy_power = true;
  // Pages are read with a CRC16 each (read_memory_crc): the page, then for a device with page
  // counters its 32-bit counter and 32 zero bits, then an inverted CRC16 of it all (DS1963L and
  // DS2423 with counters, the DS1921 without).
  bool read_pages_with_crc = false;
  bool page_counters = false;

  // How a copy is confirmed.
  enum class CopyCheck {
    // The copied bytes are read back from memory (and the completion pattern clocked first).
    kReadBack,
    // The scratchpad is read again: the device sets AA in E/S once it accepted the
    // authorisation. For registers, whose bytes the device changes by itself after the copy.
    kAuthorisationFlag,
  };
  CopyCheck copy_check = CopyCheck::kReadBack;
};

// The bus side of scratchpad transactions: addressing the device, retries and the errors that
// name it. A memory bank ends every command with a bus reset and clocks the command bytes of Read
// Memory and Copy Scratchpad one by one; a device container leaves the bus to its next select and
// sends those bytes as one block.
class ScratchpadBus {
 public:
  virtual ~ScratchpadBus() = default;
  // Resets the bus and addresses the device.
  virtual void Select() = 0;
  virtual BusMaster& Master() = 0;
  // Sends the few bytes that open Read Memory and carry the copy's authorisation.
  virtual void SendCommandBytes(const uint8_t* bytes, size_t length) {
    Bytes copy(bytes, bytes + length);
    Master().Block(copy.data(), copy.size());
  }
  // After each command.
  virtual void EndCommand() {}
  // Runs `transaction` up to three times while it fails a CRC check.
  virtual void Retry(const std::function<void()>& transaction) = 0;
  [[noreturn]] virtual void CrcFail(const std::string& what) const = 0;
  [[noreturn]] virtual void Fail(const std::string& what) const = 0;
};

// A page read with Read Memory with CRC: its bytes and, with page counters, the counter.
struct CrcPage {
  Bytes data;
  Bytes counter;
};

// The scratchpad protocol: Write Scratchpad, Read Scratchpad to verify the data, the target
// address and the E/S byte, Copy Scratchpad with that address and E/S as authorisation, Read
// Memory, and Read Memory with CRC page by page.
class Scratchpad {
 public:
  Scratchpad(ScratchpadBus& bus, const ScratchpadProtocol& protocol) : bus_(bus), p_(protocol) {}

  const ScratchpadProtocol& Protocol() const { return p_; }

  // Read Memory: `length` bytes from `address`; the read carries no CRC.
  Bytes ReadMemory(int address, int length);
  // Read Memory with CRC of the `length` bytes from `address` to its page's end, retried while
  // the CRC16 fails; `what` names the read in the error.
  CrcPage ReadPageWithCrc(int address, int length, const std::string& what);
  // Writes `data` to `address`, scratchpad window by window, each window verified in the
  // scratchpad before it is copied and the copy confirmed after.
  void Write(int address, const Bytes& data);

 private:
  void WriteWindow(int address, const Bytes& data);
  void Copy(int address, uint8_t es);
  void ConfirmCopy(int address, const Bytes& data);

  ScratchpadBus& bus_;
  ScratchpadProtocol p_;
};

// The low and high byte of an address (TA1 and TA2).
inline uint8_t Low(int address) {
  return static_cast<uint8_t>(address & 0xFF);
}
inline uint8_t High(int address) {
  return static_cast<uint8_t>((address >> 8) & 0xFF);
}

}  // namespace qb::access
