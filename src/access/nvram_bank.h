#pragma once

#include <memory>

#include "access/bank_base.h"
#include "access/scratchpad.h"

namespace qb::access {

// A bank of memory written through the scratchpad (NV RAM and EEPROM): each write goes scratchpad
// window by window through the scratchpad protocol and is read back from memory after its copy.
// Reads use Read Memory, or Read Memory + Counter with a CRC16 per page where the device has it.
std::shared_ptr<PagedMemoryBank> MakeScratchpadBank(OneWireContainer& container, BankInfo info,
                                                    const ScratchpadProtocol& protocol);

}  // namespace qb::access
