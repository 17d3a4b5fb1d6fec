#pragma once

#include "access/bank_base.h"

namespace qb::access {

// A bank the device keeps behind a password: it is listed so that the device's layout shows, and
// every read or write is refused with the reason.
class ProtectedBank : public MemoryBank {
 public:
  ProtectedBank(OneWireContainer& container, BankInfo info)
      : info_(std::move(info)), bus_(container, info_) {}
  std::string getBankDescription() const override { return info_.description; }
  bool isGeneralPurposeMemory() const override { return false; }
  bool isReadWrite() const override { return false; }
  bool isWriteOnce() const override { return false; }
  bool isReadOnly() const override { return false; }
  bool isNonVolatile() const override { return true; }
  bool needsProgramPulse() const override { return false; }
  bool needsPowerDelivery() const override { return false; }
  int getStartPhysicalAddress() const override { return info_.start; }
  int getSize() const override { return info_.size; }
  Bytes read(int, int) override { bus_.Refuse(info_.write_refusal); }
  void write(int, const Bytes&) override { bus_.Refuse(info_.write_refusal); }

 private:
  BankInfo info_;
  BankBus bus_;
};

// The banks of the families whose memory is not plain NV RAM or EPROM (each in other_banks.cpp).
MemoryBanks DS1991Banks(OneWireContainer& c);   // 02: scratchpad; subkeys refused
MemoryBanks DS1971Banks(OneWireContainer& c);   // 14: 256-bit EEPROM
MemoryBanks CryptoBanks(OneWireContainer& c);   // 16: refused
MemoryBanks DS1963SBanks(OneWireContainer& c);  // 18: public pages, read only
MemoryBanks DS1921Banks(OneWireContainer& c);   // 21: general-purpose SRAM pages
MemoryBanks DS2438Banks(OneWireContainer& c);   // 26: pages 0 to 7 through the scratchpad
MemoryBanks DS1961SBanks(OneWireContainer& c);  // 33: public pages, read only
MemoryBanks DS2760Banks(OneWireContainer& c);   // 30: EEPROM and SRAM

}  // namespace qb::access
