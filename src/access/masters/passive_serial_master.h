#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "access/bus_master.h"
#include "access/masters/serial_link.h"

namespace qb::access {

// The line protocol of a passive serial adapter (DS9097, DS9097E, or any UART whose transmit and
// receive lines meet the bus through a diode): the UART itself forms the time slots, and every
// character sent comes back as the bus saw it.
namespace passive {

inline constexpr int kResetBaud = 9600;   // one character: a low pulse long enough for a reset
inline constexpr int kSlotBaud = 115200;  // one character: one time slot
inline constexpr uint8_t kResetChar = 0xF0;
inline constexpr uint8_t kWriteOneChar = 0xFF;   // a short low pulse: writes a 1 and reads
inline constexpr uint8_t kWriteZeroChar = 0x00;  // the line held low for the whole slot

// The echo of the reset character: unchanged when nothing answered, with bits pulled low by a
// presence pulse, all low when the bus is shorted.
ResetResult DecodeResetEcho(uint8_t echo);
// The bit a read slot returned: a device sending 0 holds the line low past the first data bit.
inline bool DecodeSlotEcho(uint8_t echo) {
  return (echo & 0x01) != 0;
}
// The characters for the eight slots of a byte, least significant bit first.
void EncodeByteSlots(uint8_t byte, uint8_t* chars);
uint8_t DecodeByteSlots(const uint8_t* echoes);

}  // namespace passive

// A 1-Wire bus master on a passive serial adapter. Every slot costs one character on the line
// (the bytes of a block go out in one write), a reset one character at 9600 baud. It runs the bus
// at regular speed only and cannot give a strong pull-up: the line idles high through the
// adapter's resistor, which a parasite-powered device may not draw enough from to finish a
// conversion or an EEPROM copy. The first time a strong pull-up is asked for, that is reported
// once through the log function.
//
// A reset without any echo means no adapter (or a broken line) at the port: GeneralFailure naming
// the port. A slot echo lost inside a transaction raises TransactionInterrupted, which the
// containers retry. A port that vanished (unplugged) fails each call with GeneralFailure and is
// opened again by the next one.
class PassiveSerialMaster : public BusMaster {
 public:
  struct Options {
    std::chrono::milliseconds reply_timeout{250};
    // How the master waits while a device works (a simulated clock in tests).
    std::function<void(std::chrono::milliseconds)> wait;
    // Where the one-time notes go (the missing strong pull-up); stderr when not set.
    std::function<void(const std::string&)> log;
    // The adapter type named in messages.
    std::string type = "DS9097E";
  };

  explicit PassiveSerialMaster(std::unique_ptr<SerialLink> link);
  PassiveSerialMaster(std::unique_ptr<SerialLink> link, Options options);

  // Checks that an adapter echoes at the port. GeneralFailure naming the port when none does.
  void Open();

  ResetResult Reset() override;
  bool TouchBit(bool bit) override;
  uint8_t TouchByte(uint8_t byte) override;
  void Block(uint8_t* data, size_t length) override;
  TripletResult SearchTriplet(bool preferred_direction) override;
  uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) override;
  void Wait(std::chrono::milliseconds duration) override;
  bool CanDeliverPower() const override { return false; }
  void Close() override;
  std::string Describe() const override;

  // Characters written to the line so far (resets and slots).
  uint64_t LineCharacters() const { return line_chars_; }

 private:
  SerialLink& Link();
  void UseBaud(int baud);
  // Writes the slot characters in one go and reads their echoes into `chars` in place.
  void Slots(uint8_t* chars, size_t count);
  [[noreturn]] void Fail(const std::string& message) const;

  std::unique_ptr<SerialLink> link_;
  Options options_;
  std::string port_;
  int line_baud_ = 0;  // not known until the first call sets it
  bool pullup_noted_ = false;
  uint64_t line_chars_ = 0;
};

}  // namespace qb::access
