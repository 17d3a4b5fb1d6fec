#include "access/eprom_bank.h"

#include <algorithm>

#include "access/crc.h"

namespace qb::access {

namespace {

constexpr int kStatusBlock = 8;  // status memory is read in blocks of 8 bytes, each with a CRC

std::string Hex(uint8_t b) {
  return BytesToHexText(&b, 1);
}

// True when `crc` (CRC8, or inverted CRC16 low byte first) matches `data` from `seed`.
bool CrcOk(bool crc16, const uint8_t* data, size_t n, const uint8_t* crc, uint16_t seed = 0) {
  if (crc16) return Crc16Matches(data, n, seed, crc[0], crc[1]);
  return Crc8(data, n, static_cast<uint8_t>(seed)) == crc[0];
}

}  // namespace

void EpromProgrammer::Program(uint8_t command, int address, const Bytes& data,
                              const Bytes& current) {
  BusMaster& bus = bus_.Bus();
  if (!bus.CanProgram()) {
    bus_.Refuse("programming EPROM (it needs a 12 V program pulse, which " + bus.Describe() +
                " cannot deliver)");
  }
  for (size_t i = 0; i < data.size(); ++i) {
    if ((current[i] & data[i]) != data[i]) {
      bus_.Refuse("writing " + Hex(data[i]) + " at address " + std::to_string(address + i) +
                  ", which holds " + Hex(current[i]) +
                  " (EPROM bits programmed to 0 cannot return to 1)");
    }
  }
  const size_t crc_length = p_.crc16 ? 2 : 1;
  size_t i = 0;
  int crc_failures = 0;
  while (i < data.size()) {
    bus_.Select();
    for (bool first = true; i < data.size(); ++i, first = false) {
      const int at = address + static_cast<int>(i);
      Bytes sent;
      if (first) sent = {command, Low(at), High(at)};
      sent.push_back(data[i]);
      for (uint8_t b : sent) bus.TouchByte(b);
      const Bytes crc = ReadSlots(bus, crc_length);
      // The first byte's CRC covers command, address and data; each following one is seeded
      // with the incremented address (its low byte for CRC8) and covers the data byte alone.
      const uint16_t seed = first ? 0 : static_cast<uint16_t>(p_.crc16 ? at : (at & 0xFF));
      if (!CrcOk(p_.crc16, sent.data(), sent.size(), crc.data(), seed)) {
        bus_.Reset();
        if (++crc_failures >= 3) bus_.CrcFail("programming address " + std::to_string(at));
        break;  // start again at this byte with a new command
      }
      bus.ProgramPulse();
      const uint8_t programmed = bus.TouchByte(0xFF);
      if (programmed != data[i]) {
        bus_.Reset();
        bus_.Fail("address " + std::to_string(at) + " reads " + Hex(programmed) +
                  " after programming " + Hex(data[i]));
      }
    }
  }
  bus_.Reset();
}

Bytes ReadEpromStatus(BankBus& bus_, const EpromProtocol& p, int address, int length) {
  Bytes out;
  if (length <= 0) return out;
  bus_.Retry([&] {
    out.clear();
    BusMaster& bus = bus_.Bus();
    bus_.Select();
    Bytes crc_data = {p.read_status, Low(address), High(address)};
    for (uint8_t b : crc_data) bus.TouchByte(b);
    if (!p.crc16) {
      const Bytes head_crc = ReadSlots(bus, 1);
      if (!CrcOk(false, crc_data.data(), crc_data.size(), head_crc.data()))
        bus_.CrcFail("the status read command");
      crc_data.clear();
    }
    int at = address;
    while (static_cast<int>(out.size()) < length) {
      const int block_end = (at / kStatusBlock + 1) * kStatusBlock;
      const Bytes block = ReadSlots(bus, static_cast<size_t>(block_end - at));
      const Bytes crc = ReadSlots(bus, p.crc16 ? 2 : 1);
      crc_data.insert(crc_data.end(), block.begin(), block.end());
      if (!CrcOk(p.crc16, crc_data.data(), crc_data.size(), crc.data()))
        bus_.CrcFail("the status memory at " + std::to_string(at));
      crc_data.clear();
      out.insert(out.end(), block.begin(), block.end());
      at = block_end;
    }
    bus_.Reset();
  });
  out.resize(static_cast<size_t>(length));
  return out;
}

EpromBank::EpromBank(OneWireContainer& container, BankInfo info, EpromProtocol protocol)
    : BankCommon(container, std::move(info)), p_(protocol) {}

PageRead EpromBank::readPage(int page) {
  bus_.CheckPage(page, getNumberPages());
  const int address = info_.start + page * info_.page_length;
  PageRead out;
  bus_.Retry([&] {
    BusMaster& bus = bus_.Bus();
    bus_.Select();
    Bytes head = {p_.read_pages, Low(address), High(address)};
    for (uint8_t b : head) bus.TouchByte(b);
    uint8_t redirection = 0xFF;
    if (p_.crc16) {
      // Extended Read Memory: the page's redirection byte and a CRC16 of command, address and
      // that byte, then the page and a CRC16 of its data.
      redirection = bus.TouchByte(0xFF);
      head.push_back(redirection);
      const Bytes crc = ReadSlots(bus, 2);
      if (!CrcOk(true, head.data(), head.size(), crc.data()))
        bus_.CrcFail("the redirection byte of page " + std::to_string(page));
    } else {
      const Bytes crc = ReadSlots(bus, 1);
      if (!CrcOk(false, head.data(), head.size(), crc.data()))
        bus_.CrcFail("the read command for page " + std::to_string(page));
    }
    const Bytes data = ReadSlots(bus, static_cast<size_t>(info_.page_length));
    const Bytes crc = ReadSlots(bus, p_.crc16 ? 2 : 1);
    bus_.Reset();
    if (!CrcOk(p_.crc16, data.data(), data.size(), crc.data()))
      bus_.CrcFail("page " + std::to_string(page));
    out.data = data;
    out.extra.clear();
    if (info_.extra_length > 0) out.extra = {redirection};
  });
  return out;
}

Bytes EpromBank::read(int start, int length) {
  bus_.CheckRange(start, length, "read");
  if (length == 0) return {};
  Bytes out;
  const int first = start / info_.page_length;
  const int last = (start + length - 1) / info_.page_length;
  for (int page = first; page <= last; ++page) {
    const Bytes data = readPage(page).data;
    out.insert(out.end(), data.begin(), data.end());
  }
  const auto skip = static_cast<std::ptrdiff_t>(start - first * info_.page_length);
  return Bytes(out.begin() + skip, out.begin() + skip + length);
}

void EpromBank::Write(int start, const Bytes& data) {
  const int first = start / info_.page_length;
  const int last = (start + static_cast<int>(data.size()) - 1) / info_.page_length;
  for (int page = first; page <= last; ++page) {
    if (isPageLocked(page))
      bus_.Refuse("writing page " + std::to_string(page) + ", which is write-protected");
  }
  EpromProgrammer(bus_, p_).Program(p_.write_memory, info_.start + start, data,
                                    read(start, static_cast<int>(data.size())));
}

uint8_t EpromBank::StatusByte(int address) {
  return ReadEpromStatus(bus_, p_, address, 1)[0];
}

void EpromBank::ProgramStatus(int address, uint8_t value) {
  EpromProgrammer(bus_, p_).Program(p_.write_status, address, {value}, {StatusByte(address)});
}

bool EpromBank::isPageLocked(int page) {
  bus_.CheckPage(page, getNumberPages());
  const uint8_t bits = StatusByte(p_.write_protect + page / 8);
  return (bits & (1u << (page % 8))) == 0;  // a programmed (0) bit protects the page
}

int EpromBank::getRedirectedPage(int page) {
  bus_.CheckPage(page, getNumberPages());
  const uint8_t b = StatusByte(p_.redirection + page);
  return b == 0xFF ? 0 : static_cast<uint8_t>(~b);
}

void EpromBank::lockPage(int page) {
  bus_.CheckPage(page, getNumberPages());
  const int address = p_.write_protect + page / 8;
  ProgramStatus(address, static_cast<uint8_t>(StatusByte(address) & ~(1u << (page % 8))));
}

void EpromBank::redirectPage(int page, int new_page) {
  bus_.CheckPage(page, getNumberPages());
  bus_.CheckPage(new_page, getNumberPages());
  if (p_.redirection_protect >= 0) {
    const uint8_t bits = StatusByte(p_.redirection_protect + page / 8);
    if ((bits & (1u << (page % 8))) == 0)
      bus_.Refuse("redirecting page " + std::to_string(page) + ", whose redirection is locked");
  }
  ProgramStatus(p_.redirection + page, static_cast<uint8_t>(~new_page));
}

EpromStatusBank::EpromStatusBank(OneWireContainer& container, BankInfo info, EpromProtocol protocol)
    : BankCommon(container, std::move(info)), p_(protocol) {}

Bytes EpromStatusBank::read(int start, int length) {
  bus_.CheckRange(start, length, "read");
  return ReadEpromStatus(bus_, p_, info_.start + start, length);
}

PageRead EpromStatusBank::readPage(int page) {
  bus_.CheckPage(page, getNumberPages());
  return {read(page * info_.page_length, info_.page_length), {}};
}

void EpromStatusBank::Write(int start, const Bytes& data) {
  EpromProgrammer(bus_, p_).Program(p_.write_status, info_.start + start, data,
                                    read(start, static_cast<int>(data.size())));
}

}  // namespace qb::access
