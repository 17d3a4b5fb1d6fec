#include "access/register_page.h"

#include <algorithm>
#include <chrono>

#include "access/crc.h"

namespace qb::access {

namespace {

constexpr uint8_t kWriteScratchpad = 0x0F;
constexpr uint8_t kReadScratchpad = 0xAA;
constexpr uint8_t kCopyScratchpad = 0x55;
constexpr uint8_t kReadMemory = 0xF0;
constexpr uint8_t kReadMemoryCrc = 0xA5;

constexpr uint8_t kAuthorisationAccepted = 0x80;  // AA, bit 7 of E/S
constexpr uint8_t kPartialFlag = 0x20;            // PF: the last byte written was incomplete
// The copy into NV RAM takes microseconds; one millisecond covers every part of this kind.
constexpr std::chrono::milliseconds kCopyTime{1};

}  // namespace

RegisterPageContainer::RegisterPageContainer(uint8_t family, uint16_t page_address,
                                             bool scratchpad_crc, bool read_crc,
                                             std::vector<Field> writable, std::vector<Field> moving)
    : OneWireContainer(family),
      page_address_(page_address),
      scratchpad_crc_(scratchpad_crc),
      read_crc_(read_crc),
      writable_(std::move(writable)),
      moving_(kPageSize, false) {
  for (const Field& f : moving) {
    for (size_t i = f.offset; i < size_t{f.offset} + f.length && i < kPageSize; ++i)
      moving_[i] = true;
  }
}

std::vector<uint8_t> RegisterPageContainer::ReadMemory(uint16_t address, size_t length) {
  BusMaster& m = Adapter().Master();
  Select();
  uint8_t head[3] = {kReadMemory, static_cast<uint8_t>(address & 0xFF),
                     static_cast<uint8_t>(address >> 8)};
  m.Block(head, sizeof head);
  std::vector<uint8_t> data(length, 0xFF);
  m.Block(data.data(), data.size());
  return data;
}

DeviceState RegisterPageContainer::readDevice() {
  // Read Memory carries no CRC: the page is read twice and the bytes that do not move by
  // themselves must agree, so a byte garbled on the way is not taken for a setting.
  DeviceState page;
  if (read_crc_) {
    // Read Memory with CRC: the page, then the inverted CRC16 of the command, the address and
    // the page.
    WithRetries([&] {
      BusMaster& m = Adapter().Master();
      Select();
      std::vector<uint8_t> buf(3 + kPageSize + 2, 0xFF);
      buf[0] = kReadMemoryCrc;
      buf[1] = static_cast<uint8_t>(page_address_ & 0xFF);
      buf[2] = static_cast<uint8_t>(page_address_ >> 8);
      m.Block(buf.data(), buf.size());
      const size_t n = 3 + kPageSize;
      if (!Crc16Matches(buf.data(), n, 0, buf[n], buf[n + 1]))
        CrcMismatch("reading the register page");
      page.assign(buf.begin() + 3, buf.begin() + static_cast<long>(n));
    });
    last_read_ = page;
    return page;
  }
  WithRetries([&] {
    page = ReadMemory(page_address_, kPageSize);
    const auto again = ReadMemory(page_address_, kPageSize);
    if (!ReadsAgree(page, again)) CrcMismatch("reading the register page (two reads differ)");
  });
  last_read_ = page;
  return page;
}

bool RegisterPageContainer::ReadsAgree(const DeviceState& first, const DeviceState& second) const {
  for (size_t i = 0; i < kPageSize; ++i) {
    if (!moving_[i] && first[i] != second[i]) return false;
  }
  return true;
}

void RegisterPageContainer::WriteThroughScratchpad(uint16_t address,
                                                   const std::vector<uint8_t>& data) {
  const size_t offset = address & 0x1F;
  if (data.empty() || offset + data.size() > kPageSize) {
    Fail("a scratchpad write must lie within one 32-byte page");
  }
  const auto ta1 = static_cast<uint8_t>(address & 0xFF);
  const auto ta2 = static_cast<uint8_t>(address >> 8);
  const auto ending = static_cast<uint8_t>((offset + data.size() - 1) & 0x1F);
  BusMaster& m = Adapter().Master();
  uint8_t es = 0;
  WithRetries([&] {
    Select();
    std::vector<uint8_t> out(3 + data.size());
    out[0] = kWriteScratchpad;
    out[1] = ta1;
    out[2] = ta2;
    std::copy(data.begin(), data.end(), out.begin() + 3);
    m.Block(out.data(), out.size());

    Select();
    std::vector<uint8_t> in(1 + 3 + (kPageSize - offset) + (scratchpad_crc_ ? 2 : 0), 0xFF);
    in[0] = kReadScratchpad;
    m.Block(in.data(), in.size());
    if (scratchpad_crc_) {
      const size_t n = in.size() - 2;
      if (!Crc16Matches(in.data(), n, 0, in[n], in[n + 1])) {
        CrcMismatch("reading back the scratchpad");
      }
    }
    es = in[3];
    if (in[1] != ta1 || in[2] != ta2 || (es & 0x1F) != ending || (es & kPartialFlag) ||
        !std::equal(data.begin(), data.end(), in.begin() + 4)) {
      CrcMismatch("verifying the written scratchpad");
    }
  });
  Select();
  uint8_t copy[4] = {kCopyScratchpad, ta1, ta2, static_cast<uint8_t>(es & 0x3F)};
  m.Block(copy, sizeof copy);
  m.Wait(kCopyTime);
  // The device sets AA once it accepted the authorisation and copied the data.
  uint8_t check[4] = {kReadScratchpad, 0xFF, 0xFF, 0xFF};
  WithRetries([&] {
    Select();
    check[1] = check[2] = check[3] = 0xFF;
    m.Block(check, sizeof check);
    if (check[1] != ta1 || check[2] != ta2) CrcMismatch("reading the copy's result");
  });
  if (!(check[3] & kAuthorisationAccepted)) {
    Fail("the device did not accept the copy of its scratchpad to address " +
         std::to_string(address));
  }
}

void RegisterPageContainer::writeDevice(const DeviceState& state) {
  CheckState(state, "writeDevice");
  if (!last_read_) readDevice();
  const DeviceState before = *last_read_;
  bool wrote = false;
  for (const Field& f : writable_) {
    const auto first = state.begin() + f.offset;
    if (std::equal(first, first + f.length, before.begin() + f.offset)) continue;
    WriteThroughScratchpad(static_cast<uint16_t>(page_address_ + f.offset),
                           std::vector<uint8_t>(first, first + f.length));
    wrote = true;
  }
  if (wrote) {
    // The next write compares against what the device now holds.
    DeviceState now = state;
    last_read_ = now;
  }
}

}  // namespace qb::access
