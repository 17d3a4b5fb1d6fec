#include "access/nvram_bank.h"

namespace qb::access {

namespace {

class ScratchpadBank : public BankCommon<PagedMemoryBank> {
 public:
  ScratchpadBank(OneWireContainer& container, BankInfo info, const ScratchpadProtocol& protocol)
      : BankCommon(container, std::move(info)), pad_(bus_, protocol) {}

  Bytes read(int start, int length) override {
    bus_.CheckRange(start, length, "read");
    if (length == 0) return {};
    return pad_.ReadMemory(info_.start + start, length);
  }

  PageRead readPage(int page) override {
    if (!pad_.Protocol().read_pages_with_crc) return BankCommon::readPage(page);
    bus_.CheckPage(page, getNumberPages());
    const int address = info_.start + page * info_.page_length;
    CrcPage read =
        pad_.ReadPageWithCrc(address, info_.page_length, "reading page " + std::to_string(page));
    PageRead out{std::move(read.data), {}};
    // The page's counter is the bank's extra information, where the bank has it.
    if (!read.counter.empty())
      out.extra.assign(read.counter.begin(), read.counter.begin() + info_.extra_length);
    return out;
  }

 protected:
  void Write(int start, const Bytes& data) override { pad_.Write(info_.start + start, data); }

 private:
  Scratchpad pad_;
};

}  // namespace

std::shared_ptr<PagedMemoryBank> MakeScratchpadBank(OneWireContainer& container, BankInfo info,
                                                    const ScratchpadProtocol& protocol) {
  return std::make_shared<ScratchpadBank>(container, std::move(info), protocol);
}

}  // namespace qb::access
