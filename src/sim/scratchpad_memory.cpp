#include "sim/scratchpad_memory.h"

#include <algorithm>

#include "access/crc.h"
#include "sim/inverted_crc.h"

namespace qb::sim {

namespace {

constexpr uint8_t kWriteScratchpad = 0x0F;
constexpr uint8_t kReadScratchpad = 0xAA;
constexpr uint8_t kReadMemory = 0xF0;
constexpr uint8_t kReadMemoryCrc = 0xA5;
constexpr uint8_t kAa = 0x80;  // E/S: the scratchpad was copied
constexpr uint8_t kPf = 0x20;  // E/S: a byte is only partly written
constexpr int kPage = 32;

using Bytes = std::vector<uint8_t>;

}  // namespace

ScratchpadMemoryModel::ScratchpadMemoryModel(const access::RomId& rom,
                                             const ScratchpadLayout& layout, Bytes memory)
    : SimDevice(rom),
      memory_(std::move(memory)),
      layout_(layout),
      scratchpad_(static_cast<size_t>(layout.scratchpad_size), 0xFF),
      copies_(static_cast<size_t>((layout.memory_size + kPage - 1) / kPage), 0) {
  memory_.resize(static_cast<size_t>(layout_.memory_size), 0x00);
}

uint32_t ScratchpadMemoryModel::Counter(int page) const {
  if (page < 12 || page > 15 || static_cast<size_t>(page) >= copies_.size()) return 0xFFFFFFFFu;
  return copies_[static_cast<size_t>(page)];
}

void ScratchpadMemoryModel::OnFunctionCommand(uint8_t command) {
  command_ = command;
  rx_.assign(1, command);
  step_ = Step::None;
  const bool write = !layout_.read_only;
  if ((write && (command == kWriteScratchpad || command == layout_.copy_scratchpad)) ||
      command == kReadMemory || (layout_.read_memory_crc && command == kReadMemoryCrc)) {
    step_ = Step::Address;
    return;
  }
  if (write && command == kReadScratchpad) {
    const int mask = layout_.scratchpad_size - 1;
    Bytes out;
    out.reserve(3 + scratchpad_.size() + 2);  // TA1, TA2, E/S, the data, the CRC16
    out = {static_cast<uint8_t>(target_ & 0xFF), static_cast<uint8_t>(target_ >> 8), es_};
    out.insert(out.end(), scratchpad_.begin() + (target_ & mask), scratchpad_.end());
    if (layout_.scratchpad_crc) AppendInvertedCrc16(out, rx_);
    Send(out);
    return;
  }
  OtherCommand(command);
}

void ScratchpadMemoryModel::OnDataByte(uint8_t byte) {
  switch (step_) {
    case Step::Address:
      rx_.push_back(byte);
      if (rx_.size() == 3) Address(static_cast<uint16_t>(rx_[1] | rx_[2] << 8));
      return;
    case Step::WriteData:
      if (offset_ >= layout_.scratchpad_size) return;
      rx_.push_back(byte);
      scratchpad_[static_cast<size_t>(offset_)] = byte;
      es_ = static_cast<uint8_t>(offset_);
      if (++offset_ == layout_.scratchpad_size && layout_.write_crc) {
        Bytes out;
        AppendInvertedCrc16(out, rx_);
        Send(out);
      }
      return;
    case Step::CopyAuth:
      rx_.push_back(byte);
      if (rx_.size() == 4) Copy();
      return;
    default:
      return;
  }
}

void ScratchpadMemoryModel::Address(uint16_t address) {
  const bool inside = address < layout_.memory_size;
  if (command_ == kWriteScratchpad) {
    if (!inside) return Ignore();
    target_ = address;
    offset_ = address & (layout_.scratchpad_size - 1);
    es_ = static_cast<uint8_t>(kPf | offset_);  // AA cleared; PF until a whole byte arrives
    step_ = Step::WriteData;
  } else if (command_ == layout_.copy_scratchpad) {
    step_ = Step::CopyAuth;
  } else if (command_ == kReadMemory) {
    Refresh();  // the registers as they stand when the read begins
    read_address_ = address;
    if (layout_.read_byte_by_byte) {
      step_ = Step::ReadMemory;
      sent_ = -1;
      OnSendDone();
    } else {
      step_ = Step::None;
      if (inside) Send(Bytes(memory_.begin() + address, memory_.end()));
    }
  } else {
    if (!inside) return Ignore();
    Refresh();
    read_address_ = address;
    SendPage(true);
  }
}

void ScratchpadMemoryModel::Copy() {
  step_ = Step::CopyDone;
  // The authorisation: TA1, TA2 and E/S as Read Scratchpad gives them, with no partial byte.
  if (rx_[1] != (target_ & 0xFF) || rx_[2] != (target_ >> 8) || rx_[3] != es_ || (es_ & kPf))
    return Ignore();
  const int mask = layout_.scratchpad_size - 1;
  const int base = target_ & ~mask, first = target_ & mask, last = es_ & mask;
  Refresh();
  for (int i = first; i <= last; ++i) {
    const auto address = static_cast<uint16_t>(base + i);
    if (Writable(address)) memory_[address] = scratchpad_[static_cast<size_t>(i)];
  }
  ++copies_[static_cast<size_t>(base / kPage)];
  Copied(static_cast<uint16_t>(base + first), static_cast<uint16_t>(base + last));
  es_ |= kAa;
  if (layout_.copy_done) Send(*layout_.copy_done);
}

void ScratchpadMemoryModel::OnSendDone() {
  switch (step_) {
    case Step::CopyDone:
      if (layout_.copy_done) Send(*layout_.copy_done);
      return;
    case Step::ReadPages:
      if (read_address_ >= layout_.memory_size) {
        step_ = Step::None;  // past the end: ones
        return;
      }
      SendPage(false);
      return;
    case Step::ReadMemory:
      if (sent_ >= 0) WasRead(static_cast<uint16_t>(sent_));
      if (read_address_ >= layout_.memory_size) {
        step_ = Step::None;  // past the end: ones
        return;
      }
      sent_ = read_address_;
      Send(memory_[static_cast<size_t>(read_address_++)]);
      return;
    default:
      return;
  }
}

void ScratchpadMemoryModel::SendPage(bool first) {
  const int page = read_address_ / kPage;
  const int end = std::min((page + 1) * kPage, layout_.memory_size);
  Bytes out(memory_.begin() + read_address_, memory_.begin() + end);
  if (layout_.page_counters) {
    const uint32_t count = Counter(page);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(count >> (8 * i)));
    for (int i = 0; i < 4; ++i) out.push_back(0);
  }
  AppendInvertedCrc16(out, first ? rx_ : Bytes{});
  read_address_ = end;
  step_ = Step::ReadPages;
  Send(out);
}

}  // namespace qb::sim
