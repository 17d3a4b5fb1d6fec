#include "access/bank_base.h"

#include <stdexcept>

#include "access/crc.h"

namespace qb::access {

std::string BankBus::Name() const {
  return c_.getName() + " " + c_.getAddressAsString() + " (" + info_.description + ")";
}

void BankBus::Retry(const std::function<void()>& transaction) {
  for (int attempt = 1;; ++attempt) {
    try {
      transaction();
      return;
    } catch (const CrcError&) {
      if (attempt >= 3) throw;
    }
  }
}

void BankBus::CrcFail(const std::string& what) const {
  throw CrcError(c_.getName(), Name() + ": " + what + " failed its CRC check");
}

void BankBus::Fail(const std::string& what) const {
  ThrowBusError(c_.getName(), Name() + ": " + what);
}

void BankBus::Refuse(const std::string& what) const {
  throw AccessError(ErrorCode::NotSupported, c_.getName(),
                    Name() + ": " + what + " is not supported");
}

void BankBus::CheckRange(int start, int length, const char* call) const {
  if (start < 0 || length < 0 || start + length > info_.size) {
    Fail(std::string(call) + " of " + std::to_string(length) + " bytes at " +
         std::to_string(start) + " lies outside the bank's " + std::to_string(info_.size) +
         " bytes");
  }
}

void BankBus::CheckPage(int page, int pages) const {
  if (page < 0 || page >= pages)
    Fail("there is no page " + std::to_string(page) + " (pages 0 to " + std::to_string(pages - 1) +
         ")");
}

Bytes BankBus::Command(std::initializer_list<uint8_t> head, Bytes block) {
  Select();
  for (uint8_t b : head) Bus().TouchByte(b);
  if (!block.empty()) Bus().Block(block.data(), block.size());
  Reset();
  return block;
}

void BankBus::PoweredCommand(uint8_t command, uint8_t last, std::chrono::milliseconds duration) {
  Select();
  Bus().TouchByte(command);
  Bus().TouchByteWithPower(last, duration);
  Reset();
}

Bytes ReadSlots(BusMaster& bus, size_t length) {
  Bytes out(length, 0xFF);
  bus.Block(out.data(), out.size());
  return out;
}

Bytes PacketData(const Bytes& page_bytes, int page, int max_data) {
  if (page_bytes.empty()) throw std::invalid_argument("the page is empty");
  const int length = page_bytes[0];
  if (length > max_data || static_cast<size_t>(length) + 3 > page_bytes.size()) {
    throw std::invalid_argument("its length byte says " + std::to_string(length) +
                                " bytes, a page takes at most " + std::to_string(max_data));
  }
  const size_t n = static_cast<size_t>(length) + 1;
  if (!Crc16Matches(page_bytes.data(), n, static_cast<uint16_t>(page), page_bytes[n],
                    page_bytes[n + 1])) {
    throw std::invalid_argument("its CRC16 does not match");
  }
  return Bytes(page_bytes.begin() + 1, page_bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes MakePacket(const Bytes& data, int page) {
  Bytes packet;
  packet.reserve(data.size() + 3);
  packet.push_back(static_cast<uint8_t>(data.size()));
  packet.insert(packet.end(), data.begin(), data.end());
  const auto crc =
      static_cast<uint16_t>(~Crc16(packet.data(), packet.size(), static_cast<uint16_t>(page)));
  packet.push_back(static_cast<uint8_t>(crc & 0xFF));
  packet.push_back(static_cast<uint8_t>(crc >> 8));
  return packet;
}

}  // namespace qb::access
