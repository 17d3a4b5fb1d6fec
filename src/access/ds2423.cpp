#include "access/ds2423.h"

#include <bit>

#include "access/crc.h"
#include "access/families.h"

namespace qb::access {

namespace {
constexpr uint8_t kWriteScratchpad = 0x0F;
constexpr uint8_t kReadScratchpad = 0xAA;
constexpr uint8_t kCopyScratchpad = 0x5A;
constexpr uint8_t kReadMemoryCounter = 0xA5;
}  // namespace

std::vector<uint8_t> DS2423Container::ReadWithCounter(int page, int offset, uint32_t& counter) {
  std::vector<uint8_t> data;
  WithRetries([&] {
    Select();
    const int address = page * 32 + offset;
    const size_t n = static_cast<size_t>(32 - offset);
    // Command, address, the data to the page end, the counter, 32 zero bits, inverted CRC16.
    std::vector<uint8_t> buf = {kReadMemoryCounter, static_cast<uint8_t>(address & 0xFF),
                                static_cast<uint8_t>(address >> 8)};
    buf.resize(3 + n + 4 + 4 + 2, 0xFF);
    Adapter().Master().Block(buf.data(), buf.size());
    Adapter().Reset();
    const size_t crc_at = buf.size() - 2;
    if (!Crc16Matches(buf.data(), crc_at, 0, buf[crc_at], buf[crc_at + 1]))
      CrcMismatch("the page with its counter");
    const size_t c = 3 + n;
    for (size_t i = c + 4; i < c + 8; ++i) {
      if (buf[i] != 0) CrcMismatch("the zero bits after the counter");
    }
    counter = static_cast<uint32_t>(buf[c] | buf[c + 1] << 8 | buf[c + 2] << 16 |
                                    static_cast<uint32_t>(buf[c + 3]) << 24);
    data.assign(buf.begin() + 3, buf.begin() + static_cast<std::ptrdiff_t>(c));
  });
  return data;
}

int64_t DS2423Container::readCounter(int page) {
  if (page < 12 || page > 15) {
    throw AccessError(ErrorCode::GeneralFailure, getName(),
                      "page " + std::to_string(page) + " of the " + getName() +
                          " has no counter (pages 12 to 15 have)");
  }
  uint32_t counter = 0;
  ReadWithCounter(page, 31, counter);  // the last byte of the page is the shortest read
  return counter;
}

std::vector<uint8_t> DS2423Container::ReadPage(int page) {
  if (page < 0 || page > 15) Fail("has no page " + std::to_string(page) + " (pages 0 to 15)");
  uint32_t counter = 0;
  return ReadWithCounter(page, 0, counter);
}

void DS2423Container::WritePage(int page, const std::vector<uint8_t>& data) {
  if (page < 0 || page > 15) Fail("has no page " + std::to_string(page) + " (pages 0 to 15)");
  if (data.empty() || data.size() > 32)
    Fail("a page takes 1 to 32 bytes, not " + std::to_string(data.size()));
  const uint16_t address = static_cast<uint16_t>(page * 32);
  const uint8_t ta1 = static_cast<uint8_t>(address & 0xFF),
                ta2 = static_cast<uint8_t>(address >> 8);
  const uint8_t ending = static_cast<uint8_t>(data.size() - 1);
  // The scratchpad is written and checked again on every attempt; the copy is made only once
  // what the scratchpad holds has been read back intact.
  WithRetries([&] {
    Select();
    BusMaster& m = Adapter().Master();
    std::vector<uint8_t> buf;
    buf.reserve(3 + data.size() + 2);
    buf.push_back(kWriteScratchpad);
    buf.push_back(ta1);
    buf.push_back(ta2);
    buf.insert(buf.end(), data.begin(), data.end());
    const bool to_end = data.size() == 32;
    if (to_end) buf.insert(buf.end(), {0xFF, 0xFF});  // the CRC16 sent after the last byte
    m.Block(buf.data(), buf.size());
    Adapter().Reset();
    if (to_end) {
      const size_t n = buf.size() - 2;
      if (!Crc16Matches(buf.data(), n, 0, buf[n], buf[n + 1])) CrcMismatch("the scratchpad write");
    }

    Select();
    std::vector<uint8_t> rd(1 + 3 + 32 + 2, 0xFF);
    rd[0] = kReadScratchpad;
    m.Block(rd.data(), rd.size());
    Adapter().Reset();
    if (!Crc16Matches(rd.data(), rd.size() - 2, 0, rd[rd.size() - 2], rd[rd.size() - 1])) {
      CrcMismatch("the scratchpad read");
    }
    const uint8_t es = rd[3];
    if (rd[1] != ta1 || rd[2] != ta2 || es != ending)
      Fail("the scratchpad does not hold the address just written");
    for (size_t i = 0; i < data.size(); ++i) {
      if (rd[4 + i] != data[i]) Fail("the scratchpad does not hold the data just written");
    }

    Select();
    uint8_t cp[5] = {kCopyScratchpad, ta1, ta2, es, 0xFF};
    m.Block(cp, sizeof cp);
    Adapter().Reset();
    // The copy answers with alternating ones and zeros. It is not repeated once sent (pages 12
    // and 13 count every copy), so a confirmation with a single flipped bit is accepted.
    if (std::popcount(static_cast<unsigned>(cp[4] ^ 0xAA)) > 1)
      Fail("the copy of the scratchpad was not confirmed");
  });
}

std::unique_ptr<OneWireContainer> MakeDS2423Container() {
  return std::make_unique<DS2423Container>();
}

}  // namespace qb::access
