#include "web/memory_banks_html.h"

#include <cstdio>

#include "access/memory_bank.h"
#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "onewire/bound_container.h"
#include "registry/value_text.h"
#include "web/html.h"

namespace qb {

namespace {

using access::Bytes;

// Numbers as the block has always shown them: a blank where a minus sign would stand.
std::string Num(long long n) {
  return (n >= 0 ? " " : "") + std::to_string(n);
}

std::string PageNumber(int page) {
  char text[16];
  std::snprintf(text, sizeof text, "%03d", page);
  return text;
}

// Bytes as hexadecimal, two blanks, then the same bytes as characters.
std::string HexAndText(const Bytes& bytes, size_t start, size_t count) {
  const std::string hex = BytesToHex(bytes, start, count);
  return hex + "  " + EscapeHtml(HexToText(hex));
}

std::string DumpPage(access::PagedMemoryBank& bank, int page, bool extra) {
  std::string html;
  access::PageRead read;
  try {
    read = bank.readPage(page);
  } catch (const std::exception& e) {
    return "Page " + PageNumber(page) + "  (not read: " + EscapeHtml(e.what()) + ")<br>";
  }
  const Bytes& data = read.data;
  if (data.size() <= 16) {
    html += "Page " + PageNumber(page) + "  " + HexAndText(data, 0, data.size()) + "<br>";
  } else {
    html += "Page " + PageNumber(page) + ":<br>";
    const size_t quarter = data.size() / 4;
    for (size_t q = 0; q < 4; ++q) {
      const size_t count = q == 3 ? data.size() - 3 * quarter : quarter;
      html += HexAndText(data, q * quarter, count) + "<br>";
    }
  }
  if (extra) {
    html += "          Extra: " + HexAndText(read.extra, 0, read.extra.size()) + "<br>";
  }
  return html;
}

std::string DescribeBank(access::MemoryBank& bank) {
  std::string html = "<b>" + EscapeHtml(bank.getBankDescription()) + "</b><br><br>";
  auto* paged = dynamic_cast<access::PagedMemoryBank*>(&bank);
  auto* otp = dynamic_cast<access::OTPMemoryBank*>(&bank);
  if (paged && bank.isPagedMemoryBank() && otp && bank.isOTPMemoryBank()) {
    html += "OTPMemoryBank";
  } else if (paged && bank.isPagedMemoryBank()) {
    html += "PagedMemoryBank";
  } else {
    html += "MemoryBank";
  }
  html += "<br>";
  html += "Size: " + Num(bank.getSize()) + " starting at physical address " +
          Num(bank.getStartPhysicalAddress()) + "<br>";
  html += "Features ";
  if (bank.isReadWrite()) html += " - Read/Write";
  if (bank.isWriteOnce()) html += " - Write Once";
  if (bank.isReadOnly()) html += " - Read Only";
  html += bank.isGeneralPurposeMemory() ? " - General Purpose" : " - Not General Purpose";
  html += bank.isNonVolatile() ? " - Non Volatile" : " - Volatile";
  if (bank.needsProgramPulse()) html += " - Needs Program Pulse";
  if (bank.needsPowerDelivery()) html += " - Needs Power Delivery";
  html += "<br>";
  if (!paged || !bank.isPagedMemoryBank()) return html + "<br>";

  html += "Pages: " + Num(paged->getNumberPages()) + " Pages of length " +
          Num(paged->getPageLength()) + " bytes";
  if (bank.isGeneralPurposeMemory()) {
    html += " giving " + Num(paged->getMaxPacketDataLength()) + " bytes packet data payload";
  }
  html += "<br>";
  std::string features;
  if (paged->hasPageAutoCRC()) features += " - Page Device CRC";
  if (otp && bank.isOTPMemoryBank()) {
    if (otp->canRedirectPage()) features += " - Pages Redirectable";
    if (otp->canLockPage()) features += " - Pages Lockable";
    if (otp->canLockRedirectPage()) features += " - Redirection Lockable";
  }
  if (!features.empty()) html += "Page Features " + features + "<br>";
  const bool extra = paged->haveExtraInfo();
  if (extra) {
    html += "Extra information for each page:  " + EscapeHtml(paged->getExtraInfoDescription()) +
            ", length " + Num(paged->getExtraInfoLength()) + "<br>";
  }
  html += "<br>";
  for (int page = 0; page < paged->getNumberPages(); ++page) html += DumpPage(*paged, page, extra);
  return html;
}

// The DS2438's eight pages are one bank in the library; the page shows them as the two areas
// its datasheet names.
std::string DescribeDS2438(access::PagedMemoryBank& bank) {
  std::string html = "<b>Scratch Pad</b><br><br>";
  html +=
      "MemoryBank<br>Size: 24 bytes<br>Features - Read/Write - Not General Purpose - Non "
      "Volatile<br>Pages: 3 Pages of length 8 bytes<br><br>";
  for (int page = 0; page <= 2; ++page) html += DumpPage(bank, page, false);
  html += "<br><b>Main Memory</b><br><br>";
  html +=
      "MemoryBank<br>Size: 40 bytes<br>Features - Read/Write - General Purpose - Non "
      "Volatile<br>Pages: 5 Pages of length 8 bytes<br><br>";
  for (int page = 3; page <= 7; ++page) html += DumpPage(bank, page, false);
  return html + "<br>";
}

// The dump itself; false when the device could not be set up (the block is then empty).
bool DumpBanks(const std::string& rom, std::string& html) {
  // The container, its adapter and the banks are this block's own for the whole dump; the bus is
  // released when it ends, however it ends.
  BoundContainer bound(rom, 3);
  if (!bound.ok()) return false;
  try {
    const auto banks = access::MakeMemoryBanks(bound.c());
    auto* first = banks.empty() ? nullptr : dynamic_cast<access::PagedMemoryBank*>(banks[0].get());
    if (FamilyName(rom) == "DS2438" && first) {
      html = DescribeDS2438(*first);
      return true;
    }
    for (const auto& bank : banks) {
      if (bank) html += DescribeBank(*bank);
    }
  } catch (const std::exception& e) {
    // What was read is still shown; the failure closes the block.
    html += "<p>" + EscapeHtml(e.what()) + "</p>";
  }
  return true;
}

}  // namespace

std::string ShowMemoryBanks(const std::string& key) {
  if (key.size() < 16) return {};
  const std::string rom = key.substr(0, 16);
  std::string html;
  if (!DumpBanks(rom, html)) return {};
  // The bus is free again: an open Setup dialog showing this device's memory reads it afresh too.
  const auto dialog = Plugin().parts.dialog;
  if (dialog && dialog->IsOpen()) Skip([&] { dialog->RefreshMemory(rom); });
  return html;
}

}  // namespace qb
