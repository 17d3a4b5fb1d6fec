#pragma once

#include "access/bank_base.h"
#include "access/scratchpad.h"

namespace qb::access {

// Memory written through the scratchpad (NV RAM and EEPROM): each write goes scratchpad window
// by window through the scratchpad protocol and is read back from memory after its copy. Reads
// use Read Memory, or Read Memory + Counter with a CRC16 per page where the device has it.
class ScratchpadBank : public BankCommon<PagedMemoryBank> {
 public:
  ScratchpadBank(OneWireContainer& container, BankInfo info, ScratchpadProtocol protocol);

  Bytes read(int start, int length) override;
  PageRead readPage(int page) override;

 protected:
  void Write(int start, const Bytes& data) override;

 private:
  Scratchpad pad_;
};

}  // namespace qb::access
