#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/bus_master.h"
#include "access/errors.h"
#include "access/masters/serial_link.h"
#include "access/rom.h"

namespace qb::access {

// The DS2480B serial 1-Wire line driver's protocol: command codes and the decoding of its replies.
// The decoders are pure functions of the bytes received, so they can be tested and fuzzed alone.
namespace ds2480b {

// Mode switches (no reply) and the end of an infinite strong pull-up.
inline constexpr uint8_t kDataMode = 0xE1;
inline constexpr uint8_t kCommandMode = 0xE3;  // in data mode, sent twice it is the data byte E3
inline constexpr uint8_t kStopPulse = 0xF1;
// The first byte after a break: a reset at regular speed the chip times the host's baud rate by;
// it has no reply.
inline constexpr uint8_t kTimingByte = 0xC1;

// Configuration parameter codes (bits 6-4 of a configuration command).
enum class Param : uint8_t {
  SlewRate = 1,       // PDSRC: pulldown slew rate (flexible speed)
  ProgramPulse = 2,   // PPD: program pulse duration
  StrongPullup = 3,   // SPUD: strong pull-up duration
  Write1Low = 4,      // W1LD: write-1 low time (flexible speed)
  SampleOffset = 5,   // DSO/W0RT: data sample offset and write-0 recovery (flexible speed)
  LoadThreshold = 6,  // LOAD
  BaudRate = 7,       // RBR: 0 9600, 1 19200, 2 57600, 3 115200
};

// The value codes the master configures. For long lines (application note 192): slew rate
// 1.37 V/us, write-1 low time 10 us, sample offset 8 us. The strong pull-up lasts until it is
// ended (infinite), the program pulse 512 us.
inline constexpr uint8_t kSlewRate137 = 3;
inline constexpr uint8_t kWrite1Low10us = 2;
inline constexpr uint8_t kSampleOffset8us = 5;
inline constexpr uint8_t kPullupInfinite = 7;
inline constexpr uint8_t kProgramPulse512us = 4;
inline constexpr uint8_t kBaud9600 = 0;
inline constexpr uint8_t kBaud115200 = 3;

// The chip id a DS2480B reports in bits 4-2 of every reset reply.
inline constexpr uint8_t kChipId = 3;

// Command bytes. Communication commands carry the speed in bits 3-2: 00 regular, 01 flexible,
// 10 overdrive.
uint8_t SpeedBits(Speed speed);
uint8_t ResetCommand(Speed speed);
// A single time slot writing `bit`; `strong_pullup` turns the strong pull-up on after the slot.
uint8_t BitCommand(bool bit, Speed speed, bool strong_pullup = false);
// Search accelerator on or off. Without wire activity, this is also how the speed of data mode
// time slots changes.
uint8_t SearchCommand(bool on, Speed speed);
// A pulse at pulse speed: 12 V program pulse or 5 V strong pull-up.
uint8_t PulseCommand(bool program);
uint8_t ConfigWrite(Param param, uint8_t value);
uint8_t ConfigRead(Param param);

// --- Reply decoders; nullopt (or false) for a byte that is not a valid reply to the command. ---

// The reply to a reset: 110 in bits 7-5, the chip id in bits 4-2 and the result in bits 1-0
// (00 shorted, 01 presence, 10 alarming presence, 11 no presence).
std::optional<ResetResult> ParseResetReply(uint8_t reply);
// The reply to a single-bit command: bits 7-2 echo the command, bits 1-0 both hold the bit read.
std::optional<bool> ParseBitReply(uint8_t command, uint8_t reply);
// The reply to a configuration command: for a write the echo with bit 0 clear; for a read the
// upper four bits echoed and the value code in bits 3-1. Returns the value code.
std::optional<uint8_t> ParseConfigReply(uint8_t command, uint8_t reply);
// The reply to a pulse command or to the end of a strong pull-up: function bits 11 echoed.
bool PulseReplyValid(uint8_t reply);

// Data mode: the bytes to send for `data`, each E3 doubled so it is not read as the switch to
// command mode.
std::vector<uint8_t> EscapeData(const uint8_t* data, size_t length);

// The search accelerator. The host sends 16 bytes holding, for ROM bit n, the direction r(n) to
// take at a discrepancy in bit 2n+1 (bit 2n is unused); the reply holds the discrepancy flag d(n)
// in bit 2n and the direction taken r'(n) in bit 2n+1 (least significant bit first).
std::array<uint8_t, 16> EncodeSearchPath(const RomId& path);
struct SearchPassReply {
  RomId rom;                   // the directions taken: the ROM id of the device found
  uint64_t discrepancies = 0;  // bit n: a conflict (or no answer) at ROM bit n
  bool bus_error = false;      // no device answered: the last bit's direction and flag are both 1
};
SearchPassReply DecodeSearchReply(const std::array<uint8_t, 16>& reply);
// The path of the next search pass after a pass that found `rom` with these discrepancies: the
// highest discrepancy where the 0 branch was taken turns to 1 and the bits after it to 0.
// Nullopt when every branch was taken (the search is complete).
std::optional<RomId> NextSearchPath(const SearchPassReply& pass);

}  // namespace ds2480b

// A 1-Wire bus master on a DS2480B serial line driver (the DS9097U and DS1411 adapters).
//
// The chip has a command mode (reset, single time slot, search accelerator, pulse and
// configuration commands, each with a one-byte reply, except the switches) and a data mode (each
// byte sent is touched on the bus and the byte read comes back). The master tracks the mode and
// switches only when needed, so a block of bytes costs one byte each on the serial line.
//
// A lost, short or garbled reply makes the master resynchronise the chip (break, timing byte and
// configuration again). A reset is then tried once more; an operation inside a transaction raises
// TransactionInterrupted instead, since the resynchronisation reset the bus. When the chip still
// does not answer, a GeneralFailure naming the port is raised, and the next call tries again.
class DS2480BMaster : public BusMaster {
 public:
  struct Options {
    // The baud rate the master runs at once the chip is configured: 9600 or 115200.
    int baud = 115200;
    // How long to wait for a reply beyond the time its bytes take on the line.
    std::chrono::milliseconds reply_timeout{250};
    // How the master waits while a device works (a simulated clock in tests).
    std::function<void(std::chrono::milliseconds)> wait;
  };

  explicit DS2480BMaster(std::unique_ptr<SerialLink> link);
  DS2480BMaster(std::unique_ptr<SerialLink> link, Options options);

  // Brings the chip to a known state and configures it. Raises GeneralFailure naming the port
  // when no DS2480B answers.
  void Open();

  ResetResult Reset() override;
  bool TouchBit(bool bit) override;
  uint8_t TouchByte(uint8_t byte) override;
  void Block(uint8_t* data, size_t length) override;
  TripletResult SearchTriplet(bool preferred_direction) override;
  // The reset and the whole pass with the search accelerator: one exchange instead of two per
  // bit.
  SearchPassResult SearchRomPass(uint8_t command, const RomId& path) override;
  // The reset and the block in one exchange.
  ResetResult ResetAndBlock(uint8_t* data, size_t length) override;
  uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) override;
  void ProgramPulse() override;
  void Wait(std::chrono::milliseconds duration) override;
  bool CanFlex() const override { return true; }
  bool CanOverdrive() const override { return true; }
  bool CanProgram() const override { return true; }
  void Close() override;
  std::string Describe() const override;

  // One whole pass of the ROM search with the search accelerator: reset, the search command
  // (kSearchRom or kAlarmSearch), then 16 bytes out and 16 back. Nullopt when no device answered
  // the reset.
  std::optional<ds2480b::SearchPassReply> SearchPass(uint8_t search_command, const RomId& path);
  // Every device on the bus (or every alarming one), found with the search accelerator.
  std::vector<RomId> SearchAll(bool alarm_only = false);

  // How many times the chip was brought to a known state: at the open, and after each bad reply
  // or failed link.
  uint64_t Resyncs() const { return resyncs_; }

 private:
  struct ReplyError {
    std::string what;
  };
  enum class Mode { Command, Data };

  // Runs `op`; on a bad reply resynchronises and, when `restartable`, runs it once more.
  template <typename Op>
  auto Guarded(const char* what, bool restartable, Op&& op) -> decltype(op());
  // Queues the search command and one accelerated pass (the reply: the command's echo, then the
  // accelerator's 16 bytes).
  void QueueAcceleratedPass(uint8_t search_command, const RomId& path);
  void Initialize();
  void Resync(const std::string& cause);

  SerialLink& Link();
  void ToCommandMode();
  void ToDataMode();
  // Sends what was queued and reads `count` reply bytes; ReplyError when fewer came.
  std::vector<uint8_t> Exchange(size_t count);
  void DataBytes(uint8_t* data, size_t length);
  [[noreturn]] void Fail(const std::string& message) const;

  std::unique_ptr<SerialLink> link_;
  Options options_;
  std::string port_;
  std::vector<uint8_t> out_;
  Mode mode_ = Mode::Command;
  // The speed the chip runs data mode time slots at: that of the last communication command.
  Speed chip_speed_ = Speed::Regular;
  int line_baud_ = 9600;  // the rate the host's side of the line runs at now
  bool need_init_ = true;
  uint64_t resyncs_ = 0;
};

}  // namespace qb::access
