#include "sim/scratchpad_memory.h"

#include <algorithm>

#include "access/crc.h"

namespace qb::sim {

namespace {

constexpr uint8_t kWriteScratchpad = 0x0F;
constexpr uint8_t kReadScratchpad = 0xAA;
constexpr uint8_t kCopyScratchpad = 0x55;
constexpr uint8_t kReadMemory = 0xF0;
constexpr uint8_t kReadMemoryCrc = 0xA5;
constexpr uint8_t kAa = 0x80;

}  // namespace

ScratchpadMemoryModel::ScratchpadMemoryModel(const access::RomId& rom, size_t memory_size,
                                             bool scratchpad_crc, bool read_memory_crc)
    : SimDevice(rom),
      memory_(memory_size, 0x00),
      scratchpad_crc_(scratchpad_crc),
      read_memory_crc_(read_memory_crc) {
  scratchpad_.fill(0xFF);
}

void ScratchpadMemoryModel::OnFunctionCommand(uint8_t command) {
  command_ = command;
  received_.clear();
  write_offset_ = 0;
  reading_memory_ = false;
  reading_pages_ = false;
  if (command == kReadMemoryCrc && read_memory_crc_) return;
  switch (command) {
    case kWriteScratchpad:
    case kCopyScratchpad:
    case kReadMemory:
      return;
    case kReadScratchpad: {
      const size_t offset = target_ & 0x1F;
      // The command byte leads the bytes the CRC covers; it is not sent.
      std::vector<uint8_t> out;
      out.reserve(4 + scratchpad_.size() + 2);
      out.push_back(command);
      out.push_back(static_cast<uint8_t>(target_ & 0xFF));
      out.push_back(static_cast<uint8_t>(target_ >> 8));
      out.push_back(es_);
      for (size_t i = offset; i < scratchpad_.size(); ++i) out.push_back(scratchpad_[i]);
      if (scratchpad_crc_) {
        const auto crc = static_cast<uint16_t>(~access::Crc16(out.data(), out.size()));
        out.push_back(static_cast<uint8_t>(crc & 0xFF));
        out.push_back(static_cast<uint8_t>(crc >> 8));
      }
      out.erase(out.begin());
      Send(out);
      return;
    }
    default:
      OtherCommand(command);
      return;
  }
}

void ScratchpadMemoryModel::OnDataByte(uint8_t byte) {
  switch (command_) {
    case kWriteScratchpad:
      if (received_.size() < 2) {
        received_.push_back(byte);
        if (received_.size() == 2) {
          target_ = static_cast<uint16_t>(received_[0] | received_[1] << 8);
          write_offset_ = target_ & 0x1F;
          es_ = static_cast<uint8_t>(write_offset_);  // nothing written yet: AA and PF clear
        }
        return;
      }
      if (write_offset_ < 32) {
        scratchpad_[static_cast<size_t>(write_offset_)] = byte;
        es_ = static_cast<uint8_t>(write_offset_++);
      }
      return;
    case kCopyScratchpad: {
      if (received_.size() >= 3) return;
      received_.push_back(byte);
      if (received_.size() < 3) return;
      const uint16_t ta = static_cast<uint16_t>(received_[0] | received_[1] << 8);
      if (ta != target_ || received_[2] != (es_ & 0x3F)) return;  // authorisation refused
      const uint16_t base = static_cast<uint16_t>(target_ & ~0x1F);
      const int first = target_ & 0x1F, last = es_ & 0x1F;
      Refresh();
      for (int i = first; i <= last; ++i) {
        const auto address = static_cast<uint16_t>(base + i);
        if (Writable(address)) memory_[address] = scratchpad_[static_cast<size_t>(i)];
      }
      Copied(static_cast<uint16_t>(base + first), static_cast<uint16_t>(base + last));
      es_ |= kAa;
      return;
    }
    case kReadMemory:
      if (received_.size() >= 2) return;
      received_.push_back(byte);
      if (received_.size() == 2) {
        read_address_ = static_cast<uint32_t>(received_[0] | received_[1] << 8);
        reading_memory_ = true;
        sent_ = -1;
        Refresh();  // the registers as they stand when the read begins
        OnSendDone();
      }
      return;
    case kReadMemoryCrc:
      if (!read_memory_crc_ || received_.size() >= 2) {
        if (!read_memory_crc_) OtherData(byte);
        return;
      }
      received_.push_back(byte);
      if (received_.size() == 2) {
        read_address_ = static_cast<uint32_t>(received_[0] | received_[1] << 8);
        reading_pages_ = true;
        Refresh();
        SendPage({kReadMemoryCrc, received_[0], received_[1]});
      }
      return;
    default:
      OtherData(byte);
      return;
  }
}

void ScratchpadMemoryModel::SendPage(const std::vector<uint8_t>& lead) {
  if (read_address_ >= memory_.size()) {
    reading_pages_ = false;  // past the end: ones
    return;
  }
  const uint32_t end =
      std::min<uint32_t>((read_address_ | 0x1F) + 1, static_cast<uint32_t>(memory_.size()));
  std::vector<uint8_t> out(lead);
  out.insert(out.end(), memory_.begin() + read_address_, memory_.begin() + end);
  const auto crc = static_cast<uint16_t>(~access::Crc16(out.data(), out.size()));
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.erase(out.begin(), out.begin() + static_cast<long>(lead.size()));
  read_address_ = end;
  Send(out);
}

void ScratchpadMemoryModel::OnSendDone() {
  if (reading_pages_) {
    SendPage({});
    return;
  }
  if (!reading_memory_) return;
  if (sent_ >= 0) WasRead(static_cast<uint16_t>(sent_));
  if (read_address_ >= memory_.size()) {
    reading_memory_ = false;  // past the end: ones
    return;
  }
  sent_ = static_cast<int>(read_address_);
  Send(memory_[read_address_++]);
}

}  // namespace qb::sim
