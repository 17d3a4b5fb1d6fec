#include "access/other_banks.h"

#include <algorithm>
#include <chrono>

#include "access/crc.h"
#include "access/nvram_bank.h"

namespace qb::access {

namespace {

BankInfo Info(const std::string& description, int size, int page_length, int start = 0) {
  BankInfo b;
  b.description = description;
  b.size = size;
  b.page_length = page_length;
  b.start = start;
  return b;
}

// The DS1991's 64-byte scratchpad. Its commands take an address byte (bits 7-6 select the
// scratchpad with 11, bits 5-0 the offset) followed by that byte's complement.
class DS1991ScratchpadBank : public BankCommon<PagedMemoryBank> {
 public:
  using BankCommon::BankCommon;
  static constexpr uint8_t kWriteScratchpad = 0x96;
  static constexpr uint8_t kReadScratchpad = 0x69;

  Bytes read(int start, int length) override {
    bus_.CheckRange(start, length, "read");
    const auto address = static_cast<uint8_t>(0xC0 | start);
    return bus_.Command({kReadScratchpad, address, static_cast<uint8_t>(~address)},
                        Bytes(static_cast<size_t>(length), 0xFF));
  }

 protected:
  void Write(int start, const Bytes& data) override {
    const auto address = static_cast<uint8_t>(0xC0 | start);
    for (int attempt = 0; attempt < 3; ++attempt) {
      bus_.Command({kWriteScratchpad, address, static_cast<uint8_t>(~address)}, data);
      if (read(start, static_cast<int>(data.size())) == data) return;
    }
    bus_.Fail("the scratchpad does not hold the data written to it");
  }
};

// The DS1971's 32 bytes of EEPROM (one address byte; Copy Scratchpad takes the validation key
// A5h and programs for 10 ms) and its 8-byte application register (read with C3h).
class DS1971Bank : public BankCommon<PagedMemoryBank> {
 public:
  DS1971Bank(OneWireContainer& c, BankInfo info, uint8_t read_command)
      : BankCommon(c, std::move(info)), read_command_(read_command) {}
  static constexpr uint8_t kWriteScratchpad = 0x0F;
  static constexpr uint8_t kReadScratchpad = 0xAA;
  static constexpr uint8_t kCopyScratchpad = 0x55;
  static constexpr uint8_t kValidationKey = 0xA5;

  Bytes read(int start, int length) override {
    bus_.CheckRange(start, length, "read");
    return ReadWith(read_command_, start, length);
  }

 protected:
  void Write(int start, const Bytes& data) override {
    bus_.Retry([&] {
      bus_.Command({kWriteScratchpad, static_cast<uint8_t>(start)}, data);
      if (ReadWith(kReadScratchpad, start, static_cast<int>(data.size())) != data)
        bus_.CrcFail("verifying the scratchpad");
    });
    bus_.PoweredCommand(kCopyScratchpad, kValidationKey, std::chrono::milliseconds(10));
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (read(start, static_cast<int>(data.size())) == data) return;
    }
    bus_.Fail("the EEPROM does not hold the data copied from the scratchpad");
  }

 private:
  Bytes ReadWith(uint8_t command, int start, int length) {
    return bus_.Command({command, static_cast<uint8_t>(start)},
                        Bytes(static_cast<size_t>(length), 0xFF));
  }
  uint8_t read_command_;
};

// The DS2438's eight pages of 8 bytes, each recalled into the scratchpad and read with a CRC8,
// written through the scratchpad and copied to its page. Pages 0 to 2 hold the device's
// registers, whose read-only bytes the device keeps whatever is written.
class DS2438PageBank : public BankCommon<PagedMemoryBank> {
 public:
  using BankCommon::BankCommon;
  static constexpr uint8_t kWriteScratchpad = 0x4E;
  static constexpr uint8_t kReadScratchpad = 0xBE;
  static constexpr uint8_t kCopyScratchpad = 0x48;
  static constexpr uint8_t kRecallMemory = 0xB8;

  Bytes read(int start, int length) override {
    bus_.CheckRange(start, length, "read");
    if (length == 0) return {};
    Bytes out;
    for (int page = start / 8; page <= (start + length - 1) / 8; ++page) {
      const Bytes p = ReadPage(page);
      out.insert(out.end(), p.begin(), p.end());
    }
    const auto skip = static_cast<std::ptrdiff_t>(start % 8);
    return Bytes(out.begin() + skip, out.begin() + skip + length);
  }
  PageRead readPage(int page) override {
    bus_.CheckPage(page, getNumberPages());
    return {ReadPage(page), {}};
  }

 protected:
  void Write(int start, const Bytes& data) override {
    for (int page = start / 8; page <= (start + static_cast<int>(data.size()) - 1) / 8; ++page) {
      Bytes wanted = ReadPage(page);
      const int from = std::max(start, page * 8),
                to = std::min<int>(start + data.size(), page * 8 + 8);
      for (int a = from; a < to; ++a)
        wanted[static_cast<size_t>(a - page * 8)] = data[static_cast<size_t>(a - start)];
      WritePage(page, wanted, from - page * 8, to - page * 8);
    }
  }

 private:
  Bytes ScratchpadRead(int page) {
    Bytes buf = bus_.Command({kReadScratchpad, static_cast<uint8_t>(page)}, Bytes(9, 0xFF));
    if (!Crc8Matches(buf.data(), buf.size())) bus_.CrcFail("page " + std::to_string(page));
    buf.pop_back();
    return buf;
  }
  Bytes ReadPage(int page) {
    Bytes out;
    bus_.Retry([&] {
      bus_.Select();
      bus_.Bus().TouchByte(kRecallMemory);
      bus_.Bus().TouchByte(static_cast<uint8_t>(page));
      out = ScratchpadRead(page);
    });
    return out;
  }
  void WritePage(int page, const Bytes& wanted, int from, int to) {
    // Pages 0 to 2 hold registers: only page 0's configuration bits and threshold, and the
    // offset-free bytes of pages 1 and 2, can be checked after the write.
    const bool user_page = page >= 3;
    bus_.Retry([&] {
      bus_.Command({kWriteScratchpad, static_cast<uint8_t>(page)}, wanted);
      const Bytes pad = ScratchpadRead(page);
      if (user_page && !std::equal(wanted.begin() + from, wanted.begin() + to, pad.begin() + from))
        bus_.CrcFail("verifying the scratchpad of page " + std::to_string(page));
    });
    bus_.PoweredCommand(kCopyScratchpad, static_cast<uint8_t>(page), std::chrono::milliseconds(10));
    if (!user_page) return;
    const Bytes back = ReadPage(page);
    if (!std::equal(wanted.begin() + from, wanted.begin() + to, back.begin() + from))
      bus_.Fail("page " + std::to_string(page) + " does not hold the data copied to it");
  }
};

// The DS2760's EEPROM (two 16-byte blocks at 20h and 30h, each behind a shadow RAM) and its 16
// bytes of SRAM at 80h. Read Data (69h, address), Write Data (6Ch, address, data); for the EEPROM
// Recall Data (B8h, block address) brings the EEPROM into its shadow before a read and Copy Data
// (48h, block address) programs the shadow into the EEPROM after a write.
class DS2760Bank : public BankCommon<PagedMemoryBank> {
 public:
  DS2760Bank(OneWireContainer& c, BankInfo info, bool eeprom)
      : BankCommon(c, std::move(info)), eeprom_(eeprom) {}
  static constexpr uint8_t kReadData = 0x69;
  static constexpr uint8_t kWriteData = 0x6C;
  static constexpr uint8_t kCopyData = 0x48;
  static constexpr uint8_t kRecallData = 0xB8;

  Bytes read(int start, int length) override {
    bus_.CheckRange(start, length, "read");
    if (length == 0) return {};
    const int address = info_.start + start;
    if (eeprom_) {
      for (int block = address & ~0x0F; block < address + length; block += 16)
        Command(kRecallData, block);
    }
    return ReadData(address, length);
  }

 protected:
  void Write(int start, const Bytes& data) override {
    const int address = info_.start + start;
    const int end = address + static_cast<int>(data.size());
    if (eeprom_) {
      // The whole block is copied: bring the EEPROM into the shadow first so that the bytes not
      // written keep their value.
      for (int block = address & ~0x0F; block < end; block += 16) Command(kRecallData, block);
    }
    bus_.Retry([&] {
      bus_.Command({kWriteData, static_cast<uint8_t>(address)}, data);
      if (ReadData(address, static_cast<int>(data.size())) != data)
        bus_.CrcFail("verifying the written shadow RAM");
    });
    if (!eeprom_) return;
    for (int block = address & ~0x0F; block < end; block += 16) {
      bus_.PoweredCommand(kCopyData, static_cast<uint8_t>(block), std::chrono::milliseconds(10));
    }
    if (read(start, static_cast<int>(data.size())) != data)
      bus_.Fail("the EEPROM does not hold the data copied to it");
  }

 private:
  void Command(uint8_t command, int address) {
    bus_.Command({command, static_cast<uint8_t>(address)});
  }
  Bytes ReadData(int address, int length) {
    return bus_.Command({kReadData, static_cast<uint8_t>(address)},
                        Bytes(static_cast<size_t>(length), 0xFF));
  }
  bool eeprom_;
};

}  // namespace

MemoryBanks DS1991Banks(OneWireContainer& c) {
  BankInfo pad = Info("Scratchpad", 64, 64);
  pad.general_purpose = false;
  MemoryBanks banks = {std::make_shared<DS1991ScratchpadBank>(c, pad)};
  for (int i = 1; i <= 3; ++i) {
    BankInfo key = Info("Subkey " + std::to_string(i) + " (password protected)", 64, 64, i * 64);
    key.read_write = false;
    key.write_refusal =
        "reading or writing a password-protected subkey (it needs the subkey's password, which "
        "this library does not handle; only the scratchpad is public)";
    banks.push_back(std::make_shared<ProtectedBank>(c, key));
  }
  return banks;
}

MemoryBanks DS1971Banks(OneWireContainer& c) {
  BankInfo main = Info("Main memory", 32, 32);
  main.power_delivery = true;
  BankInfo app = Info("Application register", 8, 8);
  app.general_purpose = false;
  app.read_write = false;
  app.read_only = true;
  app.write_refusal =
      "writing the application register (it can be written only once and is then locked for "
      "good; this library leaves it alone)";
  return {std::make_shared<DS1971Bank>(c, main, uint8_t{0xF0}),
          std::make_shared<DS1971Bank>(c, app, uint8_t{0xC3})};
}

MemoryBanks CryptoBanks(OneWireContainer& c) {
  throw AccessError(ErrorCode::NotSupported, c.getName(),
                    c.getName() + " " + c.getAddressAsString() +
                        ": the memory of a crypto iButton is reached only through the applets "
                        "it runs, not as memory banks; only its ROM id is public");
}

namespace {

// The public data pages of a SHA device, read with Read Memory (F0h, two address bytes, no CRC);
// writes are refused with `why`.
MemoryBanks ShaDataBanks(OneWireContainer& c, int size, const std::string& why) {
  BankInfo data = Info("Data memory", size, 32);
  data.read_write = false;
  data.read_only = true;
  data.write_refusal = why;
  return {MakeScratchpadBank(c, data, ScratchpadProtocol{})};
}

}  // namespace

MemoryBanks DS1963SBanks(OneWireContainer& c) {
  return ShaDataBanks(
      c, 512,
      "writing (the DS1963S's copy into memory goes through its SHA-1 protocol, which this "
      "library does not handle; its data pages can be read)");
}

MemoryBanks DS1961SBanks(OneWireContainer& c) {
  return ShaDataBanks(
      c, 128,
      "writing (the DS1961S copies its scratchpad into memory only with a SHA-1 MAC of its "
      "secret, which this library does not compute; its data pages can be read)");
}

MemoryBanks DS1921Banks(OneWireContainer& c) {
  ScratchpadProtocol p;
  p.crc16 = true;
  p.read_pages_with_crc = true;
  BankInfo sram = Info("General purpose SRAM", 512, 32);
  sram.page_auto_crc = true;
  return {MakeScratchpadBank(c, sram, p)};
}

MemoryBanks DS2438Banks(OneWireContainer& c) {
  BankInfo pages =
      Info("Pages 0 to 7 (registers, threshold, elapsed time, ICA, offset, user EEPROM)", 64, 8);
  pages.general_purpose = false;
  return {std::make_shared<DS2438PageBank>(c, pages)};
}

MemoryBanks DS2760Banks(OneWireContainer& c) {
  BankInfo eeprom = Info("EEPROM (blocks 0 and 1, behind shadow RAM)", 32, 16, 0x20);
  eeprom.power_delivery = true;
  BankInfo sram = Info("SRAM", 16, 16, 0x80);
  sram.non_volatile = false;
  return {std::make_shared<DS2760Bank>(c, eeprom, true),
          std::make_shared<DS2760Bank>(c, sram, false)};
}

}  // namespace qb::access
