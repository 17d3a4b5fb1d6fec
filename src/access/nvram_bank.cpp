#include "access/nvram_bank.h"

#include <algorithm>

#include "access/crc.h"

namespace qb::access {

namespace {

uint8_t Low(int address) {
  return static_cast<uint8_t>(address & 0xFF);
}
uint8_t High(int address) {
  return static_cast<uint8_t>((address >> 8) & 0xFF);
}

}  // namespace

ScratchpadBank::ScratchpadBank(OneWireContainer& container, BankInfo info,
                               ScratchpadProtocol protocol)
    : BankCommon(container, std::move(info)), p_(protocol) {}

Bytes ScratchpadBank::ReadMemory(int address, int length) {
  Bytes data;
  bus_.Select();
  BusMaster& bus = bus_.Bus();
  const uint8_t head[] = {p_.read_memory, Low(address), High(address)};
  for (uint8_t b : head) bus.TouchByte(b);
  data = ReadSlots(bus, static_cast<size_t>(length));
  bus_.Reset();
  return data;
}

Bytes ScratchpadBank::read(int start, int length) {
  bus_.CheckRange(start, length, "read");
  if (length == 0) return {};
  return ReadMemory(info_.start + start, length);
}

PageRead ScratchpadBank::readPage(int page) {
  bus_.CheckPage(page, getNumberPages());
  const int address = info_.start + page * info_.page_length;
  PageRead out;
  if (!p_.read_pages_with_crc) {
    out.data = ReadMemory(address, info_.page_length);
    return out;
  }
  bus_.Retry([&] {
    bus_.Select();
    // Command, address, the page, its counter and 32 zero bits, inverted CRC16 of it all.
    Bytes buf = {p_.read_memory_crc, Low(address), High(address)};
    const size_t trailer = p_.page_counters ? 8 : 0;
    buf.resize(3 + static_cast<size_t>(info_.page_length) + trailer + 2, 0xFF);
    bus_.Bus().Block(buf.data(), buf.size());
    bus_.Reset();
    const size_t crc_at = buf.size() - 2;
    if (!Crc16Matches(buf.data(), crc_at, 0, buf[crc_at], buf[crc_at + 1]))
      bus_.CrcFail("reading page " + std::to_string(page));
    const auto data_end = buf.begin() + 3 + info_.page_length;
    out.data.assign(buf.begin() + 3, data_end);
    if (p_.page_counters) {
      for (size_t i = 0; i < 4; ++i) {
        if (buf[3 + static_cast<size_t>(info_.page_length) + 4 + i] != 0)
          bus_.CrcFail("the zero bits after the counter of page " + std::to_string(page));
      }
      out.extra.assign(data_end, data_end + info_.extra_length);
    }
  });
  return out;
}

void ScratchpadBank::Write(int start, const Bytes& data) {
  const int size = p_.scratchpad_size;
  int address = info_.start + start;
  size_t done = 0;
  while (done < data.size()) {
    // A write never crosses the end of the scratchpad's window of memory.
    const int room = size - (address % size);
    const size_t n = std::min(static_cast<size_t>(room), data.size() - done);
    WriteWindow(address, Bytes(data.begin() + static_cast<std::ptrdiff_t>(done),
                               data.begin() + static_cast<std::ptrdiff_t>(done + n)));
    done += n;
    address += static_cast<int>(n);
  }
}

void ScratchpadBank::WriteWindow(int address, const Bytes& data) {
  BusMaster& bus = bus_.Bus();
  const int mask = p_.scratchpad_size - 1;
  const int offset = address & mask;
  const auto ending = static_cast<uint8_t>((offset + static_cast<int>(data.size()) - 1) & mask);
  bus_.Retry([&] {
    // Write Scratchpad.
    bus_.Select();
    Bytes wr;
    wr.reserve(data.size() + 5);
    wr.push_back(p_.write_scratchpad);
    wr.push_back(Low(address));
    wr.push_back(High(address));
    for (uint8_t b : data) wr.push_back(b);
    const bool to_end =
        p_.write_crc16 && offset + static_cast<int>(data.size()) == p_.scratchpad_size;
    if (to_end) {
      wr.push_back(0xFF);
      wr.push_back(0xFF);
    }
    bus.Block(wr.data(), wr.size());
    bus_.Reset();
    if (to_end) {
      const size_t n = wr.size() - 2;
      if (!Crc16Matches(wr.data(), n, 0, wr[n], wr[n + 1])) bus_.CrcFail("the scratchpad write");
    }
    // Read Scratchpad: TA1, TA2, E/S, the scratchpad from the offset to its end (and a CRC16).
    bus_.Select();
    Bytes rd(1 + 3 + static_cast<size_t>(p_.scratchpad_size - offset) + (p_.crc16 ? 2 : 0), 0xFF);
    rd[0] = p_.read_scratchpad;
    bus.Block(rd.data(), rd.size());
    bus_.Reset();
    if (p_.crc16) {
      const size_t n = rd.size() - 2;
      if (!Crc16Matches(rd.data(), n, 0, rd[n], rd[n + 1])) bus_.CrcFail("the scratchpad read");
    }
    // Without a CRC a garbled byte shows as a mismatch here; the write is then tried again.
    if (rd[1] != Low(address) || rd[2] != High(address) || rd[3] != ending ||
        !std::equal(data.begin(), data.end(), rd.begin() + 4)) {
      bus_.CrcFail("verifying the scratchpad (data " + std::to_string(data.size()) + " bytes at " +
                   std::to_string(address) + ")");
    }
  });
  // Copy Scratchpad with the address and E/S just verified as authorisation.
  bus_.Select();
  bus.TouchByte(p_.copy_scratchpad);
  bus.TouchByte(Low(address));
  bus.TouchByte(High(address));
  if (p_.copy_time.count() > 0) {
    bus.TouchByteWithPower(ending, p_.copy_time);
  } else {
    bus.TouchByte(ending);
  }
  bus.TouchByte(0xFF);  // the completion pattern; the memory read back below is what counts
  bus_.Reset();
  // Read Memory has no CRC: a read garbled on the way is tried again before the copy counts as
  // failed.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (ReadMemory(address, static_cast<int>(data.size())) == data) return;
  }
  bus_.Fail("the memory at " + std::to_string(address) +
            " does not hold the data copied from the scratchpad");
}

}  // namespace qb::access
