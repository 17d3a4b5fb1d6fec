#include "access/register_page.h"

#include <algorithm>
#include <chrono>

namespace qb::access {

namespace {

// The clock iButtons' scratchpad: copies into NV RAM take microseconds (one millisecond covers
// every part of this kind), and are confirmed by the AA flag, since the registers the copy wrote
// may move by themselves at once.
ScratchpadProtocol RegisterProtocol(bool scratchpad_crc, bool read_crc) {
  ScratchpadProtocol p;
  p.crc16 = scratchpad_crc;
  p.read_pages_with_crc = read_crc;
  p.copy_time = std::chrono::milliseconds(1);
  p.copy_power = false;
  p.copy_check = ScratchpadProtocol::CopyCheck::kAuthorisationFlag;
  return p;
}

}  // namespace

RegisterPageContainer::RegisterPageContainer(uint8_t family, uint16_t page_address,
                                             bool scratchpad_crc, bool read_crc,
                                             std::vector<Field> writable, std::vector<Field> moving)
    : OneWireContainer(family),
      page_address_(page_address),
      pad_(pad_bus_, RegisterProtocol(scratchpad_crc, read_crc)),
      writable_(std::move(writable)),
      moving_(kPageSize, false) {
  for (const Field& f : moving) {
    for (size_t i = f.offset; i < size_t{f.offset} + f.length && i < kPageSize; ++i)
      moving_[i] = true;
  }
}

DeviceState RegisterPageContainer::readDevice() {
  // Read Memory carries no CRC: the page is read twice and the bytes that do not move by
  // themselves must agree, so a byte garbled on the way is not taken for a setting.
  DeviceState page;
  if (pad_.Protocol().read_pages_with_crc) {
    // Read Memory with CRC: the page, then the inverted CRC16 of the command, the address and
    // the page.
    page = pad_.ReadPageWithCrc(page_address_, kPageSize, "reading the register page").data;
    last_read_ = page;
    return page;
  }
  WithRetries([&] {
    page = pad_.ReadMemory(page_address_, kPageSize);
    const auto again = pad_.ReadMemory(page_address_, kPageSize);
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

void RegisterPageContainer::writeDevice(const DeviceState& state) {
  CheckState(state, "writeDevice");
  if (!last_read_) readDevice();
  const DeviceState before = *last_read_;
  bool wrote = false;
  for (const Field& f : writable_) {
    const auto first = state.begin() + f.offset;
    if (std::equal(first, first + f.length, before.begin() + f.offset)) continue;
    pad_.Write(page_address_ + f.offset, std::vector<uint8_t>(first, first + f.length));
    wrote = true;
  }
  if (wrote) {
    // The next write compares against what the device now holds.
    DeviceState now = state;
    last_read_ = now;
  }
}

}  // namespace qb::access
