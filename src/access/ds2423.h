#pragma once

#include <array>
#include <vector>

#include "access/container.h"

namespace qb::access {

// The 4096-bit RAM with four 32-bit counters on pages 12 to 15.
class DS2423Container : public OneWireContainer {
 public:
  DS2423Container() : OneWireContainer(0x1D) {}

  // The counter of page 12 to 15, read with Read Memory + Counter and checked with its CRC16.
  int64_t readCounter(int page) override;

  // The 32 bytes of a page (0 to 15), read with Read Memory + Counter (CRC16-checked).
  std::vector<uint8_t> ReadPage(int page);
  // Writes up to 32 bytes at the start of a page through the scratchpad: Write Scratchpad,
  // Read Scratchpad to check data, address and E/S (CRC16), Copy Scratchpad with that
  // authorization.
  void WritePage(int page, const std::vector<uint8_t>& data);

 private:
  // Read Memory + Counter of one page from `offset`: the data to the page end and the counter.
  std::vector<uint8_t> ReadWithCounter(int page, int offset, uint32_t& counter);
};

}  // namespace qb::access
