#include "sim/memory_models.h"

#include <algorithm>

#include "access/crc.h"

namespace qb::sim {

namespace {

constexpr uint8_t kReadMemory = 0xF0;
constexpr uint8_t kWriteMemory = 0x0F;
constexpr uint8_t kWriteStatus = 0x55;
constexpr uint8_t kReadStatus = 0xAA;
constexpr uint8_t kReadDataCrc8 = 0xC3;
constexpr uint8_t kExtendedReadMemory = 0xA5;

using Bytes = std::vector<uint8_t>;

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

// ---------------------------------------------------------------- EPROM

EpromModel::EpromModel(const access::RomId& rom, EpromLayout layout, Bytes memory, Bytes status)
    : SimDevice(rom), layout_(layout), memory_(std::move(memory)), status_(std::move(status)) {
  memory_.resize(static_cast<size_t>(layout_.memory_size), 0xFF);
  status_.resize(static_cast<size_t>(layout_.status_size), 0xFF);
}

Bytes EpromModel::Crc(const Bytes& data, uint16_t seed) const {
  if (!layout_.crc16) return {access::Crc8(data.data(), data.size(), static_cast<uint8_t>(seed))};
  const auto crc = static_cast<uint16_t>(~access::Crc16(data.data(), data.size(), seed));
  return {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
}

bool EpromModel::Protected(int address) const {
  const int page = address / 32;
  const auto at = static_cast<size_t>(layout_.write_protect + page / 8);
  return at < status_.size() && (status_[at] & (1u << (page % 8))) == 0;
}

void EpromModel::OnFunctionCommand(uint8_t command) {
  command_ = command;
  rx_.assign(1, command);
  const uint8_t read_pages = layout_.crc16 ? kExtendedReadMemory : kReadDataCrc8;
  if (command == kWriteMemory || command == kWriteStatus || command == kReadMemory ||
      command == kReadStatus || command == read_pages) {
    step_ = Step::Address;
    return;
  }
  Ignore();
}

void EpromModel::OnDataByte(uint8_t byte) {
  switch (step_) {
    case Step::Address: {
      rx_.push_back(byte);
      if (rx_.size() < 3) return;
      address_ = rx_[1] | rx_[2] << 8;
      if (command_ == kWriteMemory || command_ == kWriteStatus) {
        first_byte_ = true;
        step_ = Step::WriteData;
      } else if (command_ == kReadMemory) {
        // CRC8 variant: the CRC of command and address, then the data to the end of memory and
        // the CRC8 of that data. CRC16 variant: the data to the end of memory, then the CRC16 of
        // the command, address and data.
        step_ = Step::None;
        const Bytes data = address_ < layout_.memory_size
                               ? Bytes(memory_.begin() + address_, memory_.end())
                               : Bytes{};
        if (layout_.crc16) {
          Send(Concat(data, Crc(Concat(rx_, data))));
        } else {
          Send(Concat(Crc(rx_), Concat(data, Crc(data))));
        }
      } else if (command_ == kReadStatus) {
        if (address_ >= layout_.status_size) return Ignore();
        SendStatusBlock(true);
      } else {
        if (address_ >= layout_.memory_size) return Ignore();
        SendPage(true);
      }
      return;
    }
    case Step::WriteData: {
      data_ = byte;
      // The first CRC covers command, address and data; later ones are seeded with the address
      // (its low byte for CRC8) and cover the data byte alone.
      const Bytes crc =
          first_byte_
              ? Crc(Concat(rx_, {byte}))
              : Crc({byte}, static_cast<uint16_t>(layout_.crc16 ? address_ : address_ & 0xFF));
      step_ = Step::AwaitPulse;
      Send(crc);
      return;
    }
    default:
      return;
  }
}

void EpromModel::ProgramPulseApplied() {
  ++pulses_;
  if (step_ != Step::AwaitPulse || Sending()) return;
  Bytes& area = command_ == kWriteMemory ? memory_ : status_;
  if (address_ >= static_cast<int>(area.size())) return Ignore();
  if (command_ != kWriteMemory || !Protected(address_))
    area[static_cast<size_t>(address_)] &= data_;
  step_ = Step::Programmed;
  Send(area[static_cast<size_t>(address_)]);
}

void EpromModel::OnSendDone() {
  switch (step_) {
    case Step::Programmed:
      ++address_;
      first_byte_ = false;
      step_ = Step::WriteData;
      return;
    case Step::ReadPages:
      if (address_ >= layout_.memory_size) {
        step_ = Step::None;
        return;
      }
      SendPage(false);
      return;
    case Step::ReadStatus:
      if (address_ >= layout_.status_size) {
        step_ = Step::None;
        return;
      }
      SendStatusBlock(false);
      return;
    default:
      return;
  }
}

void EpromModel::SendPage(bool first) {
  const int page = address_ / 32;
  const Bytes data(memory_.begin() + address_, memory_.begin() + (page + 1) * 32);
  Bytes out;
  if (layout_.crc16) {
    const auto at = static_cast<size_t>(layout_.redirection + page);
    const uint8_t redirection = at < status_.size() ? status_[at] : 0xFF;
    out = Concat({redirection}, Crc(first ? Concat(rx_, {redirection}) : Bytes{redirection}));
  } else if (first) {
    out = Crc(rx_);
  }
  out = Concat(Concat(out, data), Crc(data));
  address_ = (page + 1) * 32;
  step_ = Step::ReadPages;
  Send(out);
}

void EpromModel::SendStatusBlock(bool first) {
  const int end = std::min((address_ / 8 + 1) * 8, layout_.status_size);
  const Bytes data(status_.begin() + address_, status_.begin() + end);
  Bytes out;
  if (layout_.crc16) {
    out = Concat(data, Crc(first ? Concat(rx_, data) : data));
  } else {
    out = Concat(first ? Crc(rx_) : Bytes{}, Concat(data, Crc(data)));
  }
  address_ = end;
  step_ = Step::ReadStatus;
  Send(out);
}

// ---------------------------------------------------------------- DS1991

DS1991Model::DS1991Model(const access::RomId& rom, Bytes scratchpad)
    : SimDevice(rom), scratchpad_(std::move(scratchpad)) {
  scratchpad_.resize(64, 0x00);
}

void DS1991Model::OnFunctionCommand(uint8_t command) {
  if (command != 0x96 && command != 0x69) return Ignore();  // subkey commands: not modelled
  command_ = command;
  step_ = 1;
}

void DS1991Model::OnDataByte(uint8_t byte) {
  if (step_ == 1) {
    address_ = byte;
    step_ = 2;
  } else if (step_ == 2) {
    // The address byte's complement must follow; only the scratchpad (11 in bits 7-6) is public.
    if (byte != static_cast<uint8_t>(~address_) || (address_ & 0xC0) != 0xC0) return Ignore();
    address_ &= 0x3F;
    step_ = 3;
    if (command_ == 0x69) Send(Bytes(scratchpad_.begin() + address_, scratchpad_.end()));
  } else if (step_ == 3 && command_ == 0x96 && address_ < 64) {
    scratchpad_[static_cast<size_t>(address_++)] = byte;
  }
}

// ---------------------------------------------------------------- DS1971

DS1971Model::DS1971Model(const access::RomId& rom, Bytes memory, Bytes application)
    : SimDevice(rom),
      memory_(std::move(memory)),
      application_(std::move(application)),
      scratchpad_(32, 0xFF) {
  memory_.resize(32, 0xFF);
  application_.resize(8, 0xFF);
}

void DS1971Model::OnFunctionCommand(uint8_t command) {
  command_ = command;
  if (command == 0x0F || command == 0xAA || command == 0xF0 || command == 0xC3) {
    step_ = 1;  // the address follows
  } else if (command == 0x55) {
    step_ = 4;  // the validation key follows
  } else {
    Ignore();
  }
}

void DS1971Model::OnDataByte(uint8_t byte) {
  if (step_ == 1) {
    address_ = byte & 0x1F;
    step_ = 2;
    if (command_ == 0xAA) Send(Bytes(scratchpad_.begin() + address_, scratchpad_.end()));
    if (command_ == 0xF0) Send(Bytes(memory_.begin() + address_, memory_.end()));
    if (command_ == 0xC3 && address_ < 8)
      Send(Bytes(application_.begin() + address_, application_.end()));
  } else if (step_ == 2 && command_ == 0x0F && address_ < 32) {
    scratchpad_[static_cast<size_t>(address_++)] = byte;
  } else if (step_ == 4) {
    if (byte == 0xA5) memory_ = scratchpad_;  // the whole scratchpad goes to the EEPROM
    step_ = 0;
  }
}

void DS1971Model::OnSendDone() {
  step_ = 0;
}

}  // namespace qb::sim
