#include "access/masters/passive_serial_master.h"

#include "access/errors.h"
#include "access/masters/master_hooks.h"

namespace qb::access {

namespace passive {

ResetResult DecodeResetEcho(uint8_t echo) {
  if (echo == kResetChar) return ResetResult::NoPresence;
  if (echo == 0x00) return ResetResult::Short;  // held low for the whole character
  return ResetResult::Presence;
}

void EncodeByteSlots(uint8_t byte, uint8_t* chars) {
  for (int i = 0; i < 8; ++i) chars[i] = (byte >> i) & 1 ? kWriteOneChar : kWriteZeroChar;
}

uint8_t DecodeByteSlots(const uint8_t* echoes) {
  uint8_t byte = 0;
  for (int i = 0; i < 8; ++i) {
    if (DecodeSlotEcho(echoes[i])) byte |= static_cast<uint8_t>(1u << i);
  }
  return byte;
}

}  // namespace passive

namespace {

// Bytes per write in a block: 256 slot characters keep well inside a tty's buffers.
constexpr size_t kBlockChunk = 32;

}  // namespace

PassiveSerialMaster::PassiveSerialMaster(std::unique_ptr<SerialLink> link)
    : PassiveSerialMaster(std::move(link), Options{}) {}

PassiveSerialMaster::PassiveSerialMaster(std::unique_ptr<SerialLink> link, Options options)
    : link_(std::move(link)), options_(std::move(options)) {
  if (link_) port_ = link_->Describe();
}

void PassiveSerialMaster::Open() {
  Reset();  // raises when nothing echoes; a bus without devices is fine
}

SerialLink& PassiveSerialMaster::Link() {
  if (!link_) Fail("the port " + port_ + " was closed");
  return *link_;
}

void PassiveSerialMaster::Fail(const std::string& message) const {
  ThrowBusError(options_.type, message);
}

void PassiveSerialMaster::UseBaud(int baud) {
  if (line_baud_ == baud) return;
  try {
    Link().SetBaudRate(baud);
  } catch (...) {
    line_baud_ = 0;  // unknown after a failure: set again next time
    throw;
  }
  line_baud_ = baud;
}

ResetResult PassiveSerialMaster::Reset() {
  SerialLink& link = Link();
  try {
    UseBaud(passive::kResetBaud);
    // One lost echo is a glitch, tried again; two in a row mean nothing answers at the port.
    for (int attempt = 0; attempt < 2; ++attempt) {
      link.DiscardInput();
      const uint8_t out = passive::kResetChar;
      link.Write(&out, 1);
      ++line_chars_;
      uint8_t echo = 0;
      if (link.Read(&echo, 1, options_.reply_timeout) != 1) continue;
      CountReset();
      return passive::DecodeResetEcho(echo);
    }
    Fail("the " + options_.type + " adapter on " + port_ +
         " does not echo: no adapter at this port, or its line is broken");
  } catch (...) {
    line_baud_ = 0;  // a port opened again starts at its own rate
    throw;
  }
}

void PassiveSerialMaster::Slots(uint8_t* chars, size_t count) {
  SerialLink& link = Link();
  try {
    UseBaud(passive::kSlotBaud);
    link.Write(chars, count);
    line_chars_ += count;
    // At 115200 baud a character takes 87 us; the timeout covers the line time and a margin.
    const auto line_time = std::chrono::milliseconds(count / 10 + 1);
    const size_t got = link.Read(chars, count, options_.reply_timeout + line_time);
    if (got != count) {
      link.DiscardInput();
      throw TransactionInterrupted(options_.type, "the " + options_.type + " adapter on " + port_ +
                                                      " echoed " + std::to_string(got) + " of " +
                                                      std::to_string(count) + " time slots");
    }
    CountSlots(count);
  } catch (const TransactionInterrupted&) {
    throw;
  } catch (...) {
    line_baud_ = 0;
    throw;
  }
}

bool PassiveSerialMaster::TouchBit(bool bit) {
  uint8_t c = bit ? passive::kWriteOneChar : passive::kWriteZeroChar;
  Slots(&c, 1);
  return passive::DecodeSlotEcho(c);
}

uint8_t PassiveSerialMaster::TouchByte(uint8_t byte) {
  uint8_t chars[8];
  passive::EncodeByteSlots(byte, chars);
  Slots(chars, 8);
  return passive::DecodeByteSlots(chars);
}

void PassiveSerialMaster::Block(uint8_t* data, size_t length) {
  uint8_t chars[kBlockChunk * 8];
  for (size_t at = 0; at < length; at += kBlockChunk) {
    const size_t n = std::min(kBlockChunk, length - at);
    for (size_t i = 0; i < n; ++i) passive::EncodeByteSlots(data[at + i], chars + 8 * i);
    Slots(chars, 8 * n);
    for (size_t i = 0; i < n; ++i) data[at + i] = passive::DecodeByteSlots(chars + 8 * i);
  }
}

TripletResult PassiveSerialMaster::SearchTriplet(bool preferred_direction) {
  // The two read slots go out together; the direction depends on them.
  uint8_t reads[2] = {passive::kWriteOneChar, passive::kWriteOneChar};
  Slots(reads, 2);
  TripletResult r;
  r.id_bit = passive::DecodeSlotEcho(reads[0]);
  r.cmp_bit = passive::DecodeSlotEcho(reads[1]);
  if (r.id_bit != r.cmp_bit) {
    r.direction = r.id_bit;
  } else {
    r.direction = preferred_direction;
  }
  TouchBit(r.direction);
  return r;
}

uint8_t PassiveSerialMaster::TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) {
  const uint8_t result = TouchByte(byte);
  if (!pullup_noted_) {
    pullup_noted_ = true;
    const std::string note =
        "the " + options_.type + " adapter on " + port_ +
        " cannot give a strong pull-up: a parasite-powered device on it may not finish a "
        "temperature conversion or an EEPROM copy (wire it for external power, or use a DS9097U "
        "adapter, which has one)";
    NoteThrough(options_.log, note);
  }
  // The line idles high through the adapter's resistor while the device works.
  Wait(duration);
  return result;
}

void PassiveSerialMaster::Wait(std::chrono::milliseconds duration) {
  WaitThrough(options_.wait, duration);
}

void PassiveSerialMaster::Close() {
  link_.reset();
}

std::string PassiveSerialMaster::Describe() const {
  return options_.type + " on " + port_;
}

}  // namespace qb::access
