#include "access/scratchpad.h"

#include <algorithm>

#include "access/crc.h"

namespace qb::access {

namespace {

constexpr uint8_t kAuthorisationAccepted = 0x80;  // AA, bit 7 of E/S
constexpr uint8_t kCompletionPattern = 0xFF;      // clocked after the copy's authorisation

}  // namespace

Bytes Scratchpad::ReadMemory(int address, int length) {
  bus_.Select();
  const uint8_t head[] = {p_.read_memory, Low(address), High(address)};
  bus_.SendCommandBytes(head, sizeof head);
  Bytes data(static_cast<size_t>(length), 0xFF);
  bus_.Master().Block(data.data(), data.size());
  bus_.EndCommand();
  return data;
}

CrcPage Scratchpad::ReadPageWithCrc(int address, int length, const std::string& what) {
  CrcPage page;
  const auto n = static_cast<size_t>(length);
  bus_.Retry([&] {
    bus_.Select();
    // Command, address, the page, its counter and 32 zero bits, inverted CRC16 of it all.
    Bytes buf = {p_.read_memory_crc, Low(address), High(address)};
    const size_t trailer = p_.page_counters ? 8 : 0;
    buf.resize(3 + n + trailer + 2, 0xFF);
    bus_.Master().Block(buf.data(), buf.size());
    bus_.EndCommand();
    const size_t crc_at = buf.size() - 2;
    if (!Crc16Matches(buf.data(), crc_at, 0, buf[crc_at], buf[crc_at + 1])) bus_.CrcFail(what);
    const auto data_end = buf.begin() + 3 + static_cast<std::ptrdiff_t>(n);
    page.data.assign(buf.begin() + 3, data_end);
    if (p_.page_counters) {
      if (std::any_of(data_end + 4, data_end + 8, [](uint8_t b) { return b != 0; }))
        bus_.CrcFail(what + " (the zero bits after its counter)");
      page.counter.assign(data_end, data_end + 4);
    }
  });
  return page;
}

void Scratchpad::Write(int address, const Bytes& data) {
  const int size = p_.scratchpad_size;
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

void Scratchpad::WriteWindow(int address, const Bytes& data) {
  BusMaster& bus = bus_.Master();
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
    wr.insert(wr.end(), data.begin(), data.end());
    const bool to_end =
        p_.write_crc16 && offset + static_cast<int>(data.size()) == p_.scratchpad_size;
    if (to_end) wr.insert(wr.end(), {0xFF, 0xFF});
    bus.Block(wr.data(), wr.size());
    bus_.EndCommand();
    if (to_end) {
      const size_t n = wr.size() - 2;
      if (!Crc16Matches(wr.data(), n, 0, wr[n], wr[n + 1])) bus_.CrcFail("the scratchpad write");
    }
    // Read Scratchpad: TA1, TA2, E/S, the scratchpad from the offset to its end (and a CRC16).
    bus_.Select();
    Bytes rd(1 + 3 + static_cast<size_t>(p_.scratchpad_size - offset) + (p_.crc16 ? 2 : 0), 0xFF);
    rd[0] = p_.read_scratchpad;
    bus.Block(rd.data(), rd.size());
    bus_.EndCommand();
    if (p_.crc16) {
      const size_t n = rd.size() - 2;
      if (!Crc16Matches(rd.data(), n, 0, rd[n], rd[n + 1]))
        bus_.CrcFail("reading back the scratchpad");
    }
    // The E/S byte must hold the ending offset alone: AA is cleared by the write, and PF would
    // say the last byte arrived incomplete. Without a CRC a garbled byte shows as a mismatch
    // here; the write is then tried again.
    if (rd[1] != Low(address) || rd[2] != High(address) || rd[3] != ending ||
        !std::equal(data.begin(), data.end(), rd.begin() + 4)) {
      bus_.CrcFail("verifying the scratchpad (" + std::to_string(data.size()) + " bytes at " +
                   std::to_string(address) + ")");
    }
  });
  Copy(address, ending);
  ConfirmCopy(address, data);
}

void Scratchpad::Copy(int address, uint8_t es) {
  // Copy Scratchpad with the address and E/S just verified as authorisation.
  bus_.Select();
  const uint8_t copy[] = {p_.copy_scratchpad, Low(address), High(address), es};
  if (p_.copy_time.count() > 0 && p_.copy_power) {
    bus_.SendCommandBytes(copy, 3);
    bus_.Master().TouchByteWithPower(es, p_.copy_time);
    return;
  }
  bus_.SendCommandBytes(copy, sizeof copy);
  if (p_.copy_time.count() > 0) bus_.Master().Wait(p_.copy_time);
}

void Scratchpad::ConfirmCopy(int address, const Bytes& data) {
  if (p_.copy_check == ScratchpadProtocol::CopyCheck::kAuthorisationFlag) {
    uint8_t check[4] = {p_.read_scratchpad, 0xFF, 0xFF, 0xFF};
    bus_.Retry([&] {
      bus_.Select();
      check[1] = check[2] = check[3] = 0xFF;
      bus_.Master().Block(check, sizeof check);
      bus_.EndCommand();
      if (check[1] != Low(address) || check[2] != High(address))
        bus_.CrcFail("reading the copy's result");
    });
    if (!(check[3] & kAuthorisationAccepted)) {
      bus_.Fail("the device did not accept the copy of its scratchpad to address " +
                std::to_string(address));
    }
    return;
  }
  const uint8_t pattern = kCompletionPattern;
  bus_.SendCommandBytes(&pattern, 1);
  bus_.EndCommand();
  // Read Memory has no CRC: a read garbled on the way is tried again before the copy counts as
  // failed.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (ReadMemory(address, static_cast<int>(data.size())) == data) return;
  }
  bus_.Fail("the memory at " + std::to_string(address) +
            " does not hold the data copied from the scratchpad");
}

}  // namespace qb::access
