#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>

#include "access/bus_master.h"
#include "access/container.h"
#include "access/memory_bank.h"
#include "access/scratchpad.h"

namespace qb::access {

// The fixed facts of one bank, as its datasheet gives them.
struct BankInfo {
  std::string description;
  int start = 0;  // physical address of the bank's first byte
  int size = 0;
  int page_length = 32;
  bool general_purpose = true;
  bool read_write = true;
  bool write_once = false;
  bool read_only = false;
  bool non_volatile = true;
  bool program_pulse = false;
  bool power_delivery = false;
  bool page_auto_crc = false;
  int extra_length = 0;
  std::string extra_description;
  // Why writes are refused, for a read-only bank ("" for a writable one).
  std::string write_refusal;
};

// What every bank needs: the device it talks through, bus access, errors naming the device and
// the bank, retries on a failed CRC, range checks. For a bank with a scratchpad it is the
// scratchpad's bus: each command ends with a bus reset, command bytes go one by one.
class BankBus : public ScratchpadBus {
 public:
  BankBus(OneWireContainer& container, const BankInfo& info) : c_(container), info_(info) {}

  // Resets the bus and addresses the device.
  void Select() override { c_.SelectForBank(); }
  BusMaster& Bus() { return c_.BankAdapter().Master(); }
  void Reset() { c_.BankAdapter().Reset(); }
  // Runs `transaction` up to three times while it raises CrcError.
  void Retry(const std::function<void()>& transaction) override;
  [[noreturn]] void CrcFail(const std::string& what) const override;
  [[noreturn]] void Fail(const std::string& what) const override;

  BusMaster& Master() override { return Bus(); }
  void SendCommandBytes(const uint8_t* bytes, size_t length) override {
    for (size_t i = 0; i < length; ++i) Bus().TouchByte(bytes[i]);
  }
  void EndCommand() override { Reset(); }

  // One command on its own: the device addressed, `head` clocked byte by byte, `block` touched
  // (its 0xFF bytes read what the device sends), then a bus reset. Returns the block as touched.
  Bytes Command(std::initializer_list<uint8_t> head, Bytes block = {});
  // A command whose last byte is followed by strong pull-up for `duration` (an EEPROM copy),
  // then a bus reset.
  void PoweredCommand(uint8_t command, uint8_t last, std::chrono::milliseconds duration);
  [[noreturn]] void Refuse(const std::string& what) const;
  // GeneralFailure unless [start, start + length) lies inside the bank.
  void CheckRange(int start, int length, const char* call) const;
  void CheckPage(int page, int pages) const;
  std::string Name() const;

 private:
  OneWireContainer& c_;
  const BankInfo& info_;
};

// Reads `length` bytes through `bytes` and writes them back: a block of 0xFF read slots.
Bytes ReadSlots(BusMaster& bus, size_t length);

// The packet of one page: length byte, data, CRC16 (inverted, low byte first) of the length and
// data seeded with the page number. Checks and makes packets for every general-purpose bank.
Bytes PacketData(const Bytes& page_bytes, int page, int max_data);
Bytes MakePacket(const Bytes& data, int page);

// The getters and the packet calls every paged bank shares, over the bank's BankInfo.
template <class Base>
class BankCommon : public Base {
 public:
  BankCommon(OneWireContainer& container, BankInfo info)
      : info_(std::move(info)), bus_(container, info_) {}

  std::string getBankDescription() const override { return info_.description; }
  bool isGeneralPurposeMemory() const override { return info_.general_purpose; }
  bool isReadWrite() const override { return info_.read_write; }
  bool isWriteOnce() const override { return info_.write_once; }
  bool isReadOnly() const override { return info_.read_only; }
  bool isNonVolatile() const override { return info_.non_volatile; }
  bool needsProgramPulse() const override { return info_.program_pulse; }
  bool needsPowerDelivery() const override { return info_.power_delivery; }
  int getStartPhysicalAddress() const override { return info_.start; }
  int getSize() const override { return info_.size; }

  int getNumberPages() const override { return info_.size / info_.page_length; }
  int getPageLength() const override { return info_.page_length; }
  int getMaxPacketDataLength() const override { return info_.page_length - 3; }
  bool hasPageAutoCRC() const override { return info_.page_auto_crc; }
  bool haveExtraInfo() const override { return info_.extra_length > 0; }
  int getExtraInfoLength() const override { return info_.extra_length; }
  std::string getExtraInfoDescription() const override { return info_.extra_description; }

  // A page is its bytes as read() gives them; a bank whose pages carry a CRC or extra bytes
  // reads them its own way.
  PageRead readPage(int page) override {
    bus_.CheckPage(page, getNumberPages());
    return {this->read(page * info_.page_length, info_.page_length), {}};
  }
  void write(int start, const Bytes& data) override {
    if (!info_.write_refusal.empty()) bus_.Refuse(info_.write_refusal);
    bus_.CheckRange(start, static_cast<int>(data.size()), "write");
    if (!data.empty()) Write(start, data);
  }
  Bytes readPagePacket(int page) override {
    bus_.CheckPage(page, getNumberPages());
    if (!info_.general_purpose) bus_.Refuse("packets on memory that is not general purpose");
    try {
      return PacketData(this->readPage(page).data, page, getMaxPacketDataLength());
    } catch (const std::invalid_argument& e) {
      bus_.Fail("page " + std::to_string(page) + " holds no valid packet: " + e.what());
    }
  }
  void writePagePacket(int page, const Bytes& data) override {
    bus_.CheckPage(page, getNumberPages());
    if (!info_.general_purpose) bus_.Refuse("packets on memory that is not general purpose");
    if (static_cast<int>(data.size()) > getMaxPacketDataLength()) {
      bus_.Refuse("a packet of " + std::to_string(data.size()) + " bytes (a page takes " +
                  std::to_string(getMaxPacketDataLength()) + ")");
    }
    write(page * info_.page_length, MakePacket(data, page));
  }

 protected:
  // Writes data that lies inside the bank.
  virtual void Write(int start, const Bytes& data) = 0;

  BankInfo info_;
  BankBus bus_;
};

}  // namespace qb::access
