#pragma once

#include <string>

#include "access/crc.h"
#include "access/errors.h"
#include "access/memory_bank.h"

namespace qb::test {

// A paged memory bank held in RAM, for exercising code that works on the bank interface without
// a device: pages of `page_length` bytes, packets of a length byte, the data and the inverted
// CRC16 seeded with the page number (low byte first). `bytes()` is the raw memory, open to tests
// that corrupt it.
class RamPagedMemoryBank : public access::PagedMemoryBank {
 public:
  RamPagedMemoryBank(int pages, int page_length, bool read_write = true)
      : pages_(pages),
        page_length_(page_length),
        read_write_(read_write),
        memory_(pages * page_length, 0) {}

  access::Bytes& bytes() { return memory_; }
  int writes() const { return writes_; }

  std::string getBankDescription() const override { return "RAM test memory"; }
  bool isGeneralPurposeMemory() const override { return true; }
  bool isReadWrite() const override { return read_write_; }
  bool isWriteOnce() const override { return !read_write_; }
  bool isReadOnly() const override { return false; }
  bool isNonVolatile() const override { return true; }
  bool needsProgramPulse() const override { return false; }
  bool needsPowerDelivery() const override { return false; }
  int getStartPhysicalAddress() const override { return 0; }
  int getSize() const override { return pages_ * page_length_; }

  access::Bytes read(int start, int length) override {
    if (start < 0 || length < 0 || start + length > getSize()) Fail("read outside the bank");
    return access::Bytes(memory_.begin() + start, memory_.begin() + start + length);
  }
  void write(int start, const access::Bytes& data) override {
    if (start < 0 || start + static_cast<int>(data.size()) > getSize())
      Fail("write outside the bank");
    std::copy(data.begin(), data.end(), memory_.begin() + start);
    ++writes_;
  }

  int getNumberPages() const override { return pages_; }
  int getPageLength() const override { return page_length_; }
  int getMaxPacketDataLength() const override { return page_length_ - 3; }
  bool hasPageAutoCRC() const override { return false; }
  bool haveExtraInfo() const override { return false; }
  int getExtraInfoLength() const override { return 0; }
  std::string getExtraInfoDescription() const override { return ""; }

  access::PageRead readPage(int page) override {
    return {read(CheckPage(page) * page_length_, page_length_), {}};
  }
  access::Bytes readPagePacket(int page) override {
    const access::Bytes raw = readPage(page).data;
    const int length = raw[0];
    if (length > getMaxPacketDataLength()) Fail("packet length " + std::to_string(length));
    if (!access::Crc16Matches(raw.data(), length + 1, static_cast<uint16_t>(page), raw[length + 1],
                              raw[length + 2]))
      Fail("packet CRC of page " + std::to_string(page));
    return access::Bytes(raw.begin() + 1, raw.begin() + 1 + length);
  }
  void writePagePacket(int page, const access::Bytes& data) override {
    CheckPage(page);
    if (static_cast<int>(data.size()) > getMaxPacketDataLength())
      access::ThrowNotSupported(getBankDescription(), "A packet of " + std::to_string(data.size()));
    if (!read_write_) access::ThrowNotSupported(getBankDescription(), "Writing");
    access::Bytes raw(data.size() + 1);
    raw[0] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), raw.begin() + 1);
    const uint16_t crc =
        static_cast<uint16_t>(~access::Crc16(raw.data(), raw.size(), static_cast<uint16_t>(page)));
    raw.push_back(crc & 0xFF);
    raw.push_back(crc >> 8);
    write(page * page_length_, raw);
  }

 private:
  [[noreturn]] static void Fail(const std::string& what) {
    access::ThrowBusError("RAM test memory", what);
  }
  int CheckPage(int page) const {
    if (page < 0 || page >= pages_) Fail("page " + std::to_string(page) + " outside the bank");
    return page;
  }
  int pages_, page_length_;
  bool read_write_;
  access::Bytes memory_;
  int writes_ = 0;
};

}  // namespace qb::test
