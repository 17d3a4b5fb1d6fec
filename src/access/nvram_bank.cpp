#include "access/nvram_bank.h"

namespace qb::access {

ScratchpadBank::ScratchpadBank(OneWireContainer& container, BankInfo info,
                               ScratchpadProtocol protocol)
    : BankCommon(container, std::move(info)), pad_(bus_, protocol) {}

Bytes ScratchpadBank::read(int start, int length) {
  bus_.CheckRange(start, length, "read");
  if (length == 0) return {};
  return pad_.ReadMemory(info_.start + start, length);
}

PageRead ScratchpadBank::readPage(int page) {
  bus_.CheckPage(page, getNumberPages());
  const int address = info_.start + page * info_.page_length;
  PageRead out;
  if (!pad_.Protocol().read_pages_with_crc) {
    out.data = pad_.ReadMemory(address, info_.page_length);
    return out;
  }
  CrcPage read =
      pad_.ReadPageWithCrc(address, info_.page_length, "reading page " + std::to_string(page));
  out.data = std::move(read.data);
  if (!read.counter.empty())
    out.extra.assign(read.counter.begin(), read.counter.begin() + info_.extra_length);
  return out;
}

void ScratchpadBank::Write(int start, const Bytes& data) {
  pad_.Write(info_.start + start, data);
}

}  // namespace qb::access
