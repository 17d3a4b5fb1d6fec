#pragma once

#include <cstdint>

#include "access/bank_base.h"

namespace qb::access {

// The command set of an add-only (EPROM) memory. The DS1982 family checks its transfers with
// CRC8; the DS1985, DS1986 and DS1983 with an inverted CRC16.
struct EpromProtocol {
  bool crc16 = false;
  uint8_t read_memory = 0xF0;
  // Reads page by page with a CRC after each page: Read Data/Generate 8-bit CRC (C3h), or
  // Extended Read Memory (A5h), which also gives each page's redirection byte.
  uint8_t read_pages = 0xC3;
  uint8_t write_memory = 0x0F;
  uint8_t read_status = 0xAA;
  uint8_t write_status = 0x55;
  // Status memory addresses: the page write-protect bits, the bits that protect each page's
  // redirection byte (-1: none), and the redirection bytes (one per page, one's complement of
  // the page redirected to, FFh when the page is not redirected).
  int write_protect = 0;
  int redirection_protect = -1;
  int redirection = 1;
};

// Programs bytes of EPROM or EPROM status memory: the write command with the address and a byte,
// the device's CRC of what it received checked, a 12 V program pulse, and the programmed byte read
// back; the device then moves to the next address and takes the next byte the same way. Refused
// (NotSupported) where the bus master cannot deliver a program pulse or where a byte would need a
// bit that is already programmed to 0 set again.
class EpromProgrammer {
 public:
  EpromProgrammer(BankBus& bus, const EpromProtocol& protocol) : bus_(bus), p_(protocol) {}
  void Program(uint8_t command, int address, const Bytes& data, const Bytes& current);

 private:
  BankBus& bus_;
  const EpromProtocol& p_;
};

// Reads status memory in its 8-byte blocks, each followed by a CRC.
Bytes ReadEpromStatus(BankBus& bus, const EpromProtocol& p, int address, int length);

// The EPROM data memory: pages of 32 bytes read with a CRC per page, programmed byte by byte,
// lockable and redirectable through the status memory.
class EpromBank : public BankCommon<OTPMemoryBank> {
 public:
  EpromBank(OneWireContainer& container, BankInfo info, EpromProtocol protocol);

  Bytes read(int start, int length) override;
  PageRead readPage(int page) override;

  bool canRedirectPage() const override { return true; }
  bool canLockPage() const override { return true; }
  bool canLockRedirectPage() const override { return p_.redirection_protect >= 0; }
  bool isPageLocked(int page) override;
  int getRedirectedPage(int page) override;
  void lockPage(int page) override;
  void redirectPage(int page, int new_page) override;

 protected:
  void Write(int start, const Bytes& data) override;

 private:
  uint8_t StatusByte(int address);
  void ProgramStatus(int address, uint8_t value);

  EpromProtocol p_;
};

// The EPROM status memory as a bank of its own (write-protect bits, redirection bytes).
class EpromStatusBank : public BankCommon<PagedMemoryBank> {
 public:
  EpromStatusBank(OneWireContainer& container, BankInfo info, EpromProtocol protocol);

  Bytes read(int start, int length) override;
  PageRead readPage(int page) override;

 protected:
  void Write(int start, const Bytes& data) override;

 private:
  EpromProtocol p_;
};

}  // namespace qb::access
