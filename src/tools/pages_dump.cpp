#include "tools/pages_dump.h"

#include <iomanip>
#include <sstream>

#include "access/errors.h"

namespace qb {

namespace {

std::string Hex(const access::Bytes& bytes) {
  return access::BytesToHexText(bytes.data(), bytes.size());
}

std::string Features(const access::MemoryBank& b) {
  std::string f;
  const auto add = [&](bool on, const char* text) {
    if (on) f += std::string(f.empty() ? "" : ", ") + text;
  };
  add(b.isReadWrite(), "read/write");
  add(b.isWriteOnce(), "write once");
  add(b.isReadOnly(), "read only");
  add(b.isGeneralPurposeMemory(), "general purpose");
  add(b.isNonVolatile(), "non-volatile");
  add(b.needsProgramPulse(), "needs program pulse");
  add(b.needsPowerDelivery(), "needs power delivery");
  return f;
}

}  // namespace

void DumpPages(access::OneWireContainer& c, std::ostream& out) {
  const access::MemoryBanks banks = c.getMemoryBanks();
  if (banks.empty()) out << c.getName() << " " << c.getAddressAsString() << " has no memory\n";
  for (const auto& bank : banks) {
    out << "bank \"" << bank->getBankDescription() << "\": "
        << (bank->isOTPMemoryBank()     ? "OTP"
            : bank->isPagedMemoryBank() ? "paged"
                                        : "plain")
        << ", " << bank->getSize() << " bytes at " << bank->getStartPhysicalAddress() << ", "
        << Features(*bank);
    auto* paged = dynamic_cast<access::PagedMemoryBank*>(bank.get());
    if (!paged) {
      out << "\n";
      try {
        out << "  " << Hex(bank->read(0, bank->getSize())) << "\n";
      } catch (const access::AccessError& e) {
        out << "  unreadable: " << e.what() << "\n";
      }
      continue;
    }
    out << ", " << paged->getNumberPages() << " pages of " << paged->getPageLength() << " bytes";
    if (paged->hasPageAutoCRC()) out << ", page CRC";
    if (paged->haveExtraInfo())
      out << ", extra: " << paged->getExtraInfoDescription() << " (" << paged->getExtraInfoLength()
          << " bytes)";
    out << "\n";
    for (int page = 0; page < paged->getNumberPages(); ++page) {
      out << "  page " << std::setw(3) << std::setfill('0') << page << std::setfill(' ') << " ";
      try {
        const access::PageRead r = paged->readPage(page);
        out << Hex(r.data);
        if (!r.extra.empty()) out << " extra " << Hex(r.extra);
        out << "\n";
      } catch (const access::AccessError& e) {
        out << "unreadable: " << e.what() << "\n";
      }
    }
  }
}

}  // namespace qb
