#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qb::access {

class OneWireContainer;

using Bytes = std::vector<uint8_t>;

// One memory area of a device: its scratchpad, its main memory, a register page, a status page.
// Addresses are relative to the bank's start. Errors are AccessError: GeneralFailure for a bus or
// CRC failure or an address outside the bank, NotSupported for an operation the bank does not
// have (writing a read-only bank, programming without a program pulse).
class MemoryBank {
 public:
  virtual ~MemoryBank() = default;

  virtual std::string getBankDescription() const = 0;
  virtual bool isGeneralPurposeMemory() const = 0;
  virtual bool isReadWrite() const = 0;
  virtual bool isWriteOnce() const = 0;
  virtual bool isReadOnly() const = 0;
  virtual bool isNonVolatile() const = 0;
  virtual bool needsProgramPulse() const = 0;
  virtual bool needsPowerDelivery() const = 0;
  virtual int getStartPhysicalAddress() const = 0;
  virtual int getSize() const = 0;

  // Reads `length` bytes from `start`.
  virtual Bytes read(int start, int length) = 0;
  // Writes `data` at `start`, verified as the device's protocol allows (scratchpad read-back,
  // CRC of the programmed byte). Nothing is written when `data` does not fit in the bank.
  virtual void write(int start, const Bytes& data) = 0;

  virtual bool isPagedMemoryBank() const { return false; }
  virtual bool isOTPMemoryBank() const { return false; }
};

// One page as read: its bytes and, for banks that have it, the page's extra information (a
// counter, a redirection byte, the device's CRC).
struct PageRead {
  Bytes data;
  Bytes extra;
};

// A bank made of pages of equal length. General-purpose pages can carry a packet: a length byte,
// up to getMaxPacketDataLength() bytes of data and a CRC16 seeded with the page number.
class PagedMemoryBank : public MemoryBank {
 public:
  bool isPagedMemoryBank() const override { return true; }

  virtual int getNumberPages() const = 0;
  virtual int getPageLength() const = 0;
  virtual int getMaxPacketDataLength() const = 0;
  virtual bool hasPageAutoCRC() const = 0;
  virtual bool haveExtraInfo() const = 0;
  virtual int getExtraInfoLength() const = 0;
  virtual std::string getExtraInfoDescription() const = 0;

  virtual PageRead readPage(int page) = 0;
  // The data of the packet on a page; GeneralFailure when its length or CRC is wrong.
  virtual Bytes readPagePacket(int page) = 0;
  // Writes `data` as the packet of a page; NotSupported when it is longer than the payload.
  virtual void writePagePacket(int page, const Bytes& data) = 0;
};

// Write-once (EPROM) memory, whose pages can be locked and redirected to others.
class OTPMemoryBank : public PagedMemoryBank {
 public:
  bool isOTPMemoryBank() const override { return true; }

  virtual bool canRedirectPage() const = 0;
  virtual bool canLockPage() const = 0;
  virtual bool canLockRedirectPage() const = 0;
  virtual bool isPageLocked(int page) = 0;
  // The page this one is redirected to, 0 when it is not redirected.
  virtual int getRedirectedPage(int page) = 0;
  virtual void lockPage(int page) = 0;
  virtual void redirectPage(int page, int new_page) = 0;
};

using MemoryBanks = std::vector<std::shared_ptr<MemoryBank>>;

// The memory banks of a device, in the order its datasheet lists them; empty for a device
// without memory. The banks talk to the device through `container`, which must outlive them.
MemoryBanks MakeMemoryBanks(OneWireContainer& container);

}  // namespace qb::access
