#include "sim/inverted_crc.h"

#include "access/crc.h"

namespace qb::sim {

void AppendInvertedCrc16(std::vector<uint8_t>& out, const std::vector<uint8_t>& lead) {
  std::vector<uint8_t> over = lead;
  over.insert(over.end(), out.begin(), out.end());
  const auto crc = static_cast<uint16_t>(~access::Crc16(over.data(), over.size()));
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
  out.push_back(static_cast<uint8_t>(crc >> 8));
}

}  // namespace qb::sim
