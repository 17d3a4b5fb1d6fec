#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/bus_master.h"
#include "access/masters/usb_link.h"
#include "access/rom.h"

namespace qb::access {

// The DS2490 USB 1-Wire bridge's protocol (the DS9490R and DS1490 adapters): the vendor requests
// on endpoint 0, and the decoding of the state packet from the interrupt endpoint. The decoders
// are pure functions of the bytes received, so they can be tested and fuzzed alone.
namespace ds2490 {

inline constexpr uint16_t kVendorId = 0x04FA;
inline constexpr uint16_t kProductId = 0x2490;

// Vendor request numbers (bRequest).
inline constexpr uint8_t kControlCmd = 0x00;
inline constexpr uint8_t kCommCmd = 0x01;
inline constexpr uint8_t kModeCmd = 0x02;

// Control commands (wValue of kControlCmd).
inline constexpr uint16_t kCtlResetDevice = 0x0000;
inline constexpr uint16_t kCtlStartExe = 0x0001;
inline constexpr uint16_t kCtlResumeExe = 0x0002;
inline constexpr uint16_t kCtlHaltExeIdle = 0x0003;
inline constexpr uint16_t kCtlFlushCommCmds = 0x0007;
inline constexpr uint16_t kCtlFlushRcvBuffer = 0x0008;
inline constexpr uint16_t kCtlFlushXmtBuffer = 0x0009;

// Mode commands (wValue of kModeCmd; the setting in wIndex).
inline constexpr uint16_t kModPulseEnable = 0x0000;  // bit 0 program pulse, bit 1 strong pull-up
inline constexpr uint16_t kModSpeedChangeEnable = 0x0001;
inline constexpr uint16_t kModSpeed = 0x0002;           // 0 regular, 1 flexible, 2 overdrive
inline constexpr uint16_t kModPullupDuration = 0x0003;  // units of 16 ms, 0 until halted
inline constexpr uint16_t kModSlewRate = 0x0004;        // flexible speed
inline constexpr uint16_t kModProgPulseDuration = 0x0005;
inline constexpr uint16_t kModWrite1LowTime = 0x0006;  // flexible speed
inline constexpr uint16_t kModSampleOffset = 0x0007;   // flexible speed
inline constexpr uint16_t kPulseProgram = 0x01;
inline constexpr uint16_t kPulseStrongPullup = 0x02;

// Communication commands (wValue of kCommCmd): a function code with its parameter flags.
inline constexpr uint16_t kCommSetDuration = 0x0012;
inline constexpr uint16_t kCommBitIo = 0x0020;
inline constexpr uint16_t kCommPulse = 0x0030;
inline constexpr uint16_t kCommReset = 0x0042;
inline constexpr uint16_t kCommByteIo = 0x0052;
inline constexpr uint16_t kCommMatchAccess = 0x0064;
inline constexpr uint16_t kCommBlockIo = 0x0074;
inline constexpr uint16_t kCommSearchAccess = 0x00F4;
inline constexpr uint16_t kCommFunctionMask = 0x00F0;
// Parameter flags.
inline constexpr uint16_t kFlagImmediate = 0x0001;  // IM: run at once
inline constexpr uint16_t kFlagD = 0x0008;          // bit value / search mode / speed change
inline constexpr uint16_t kFlagReset = 0x0100;      // RST: a reset before the operation
inline constexpr uint16_t kFlagIcp = 0x0200;
inline constexpr uint16_t kFlagNotify = 0x0400;  // NTF: a result byte even without an error
inline constexpr uint16_t kFlagF = 0x0800;       // clear the buffers on an error
inline constexpr uint16_t kFlagSpu = 0x1000;     // strong pull-up after the operation
inline constexpr uint16_t kFlagDt = 0x2000;
inline constexpr uint16_t kFlagRts = 0x4000;  // search: return the next path too

// Speed codes (mode kModSpeed, and wIndex of a reset).
inline constexpr uint16_t kSpeedRegular = 0;
inline constexpr uint16_t kSpeedFlexible = 1;
inline constexpr uint16_t kSpeedOverdrive = 2;

// State flags (byte 8 of the state packet).
inline constexpr uint8_t kStatusPullupActive = 0x01;
inline constexpr uint8_t kStatusProgramActive = 0x02;
inline constexpr uint8_t kStatus12V = 0x04;
inline constexpr uint8_t kStatusHalted = 0x10;
inline constexpr uint8_t kStatusIdle = 0x20;

// Result register bits (bytes 16 onwards of the state packet).
inline constexpr uint8_t kResultDetect = 0xA5;  // a device arrived on the bus (alone, not bits)
inline constexpr uint8_t kResultNoPresence = 0x01;
inline constexpr uint8_t kResultShort = 0x02;
inline constexpr uint8_t kResultAlarmPresence = 0x04;
inline constexpr uint8_t kResultNo12V = 0x08;
inline constexpr uint8_t kResultCompare = 0x10;
inline constexpr uint8_t kResultCrc = 0x20;
inline constexpr uint8_t kResultEndOfSearch = 0x80;

// The state packet is 16 bytes, followed by up to 16 result bytes.
inline constexpr size_t kStatePacketSize = 16;
inline constexpr size_t kMaxResults = 16;
// The chip's data FIFOs hold 128 bytes; blocks go in chunks of one full-speed bulk packet.
inline constexpr size_t kBlockChunk = 64;

// The adapter's own ID chip, on its bus: family 0x81.
inline constexpr uint8_t kIdChipFamily = 0x81;

struct State {
  uint8_t enable_flags = 0;  // byte 0: bit 0 strong pull-up, bit 1 program pulse, bit 2 speed
  uint8_t speed = 0;         // byte 1
  uint8_t pullup_duration = 0;
  uint8_t status = 0;           // byte 8: the flags above
  uint8_t commands_queued = 0;  // byte 11: communication command buffer
  uint8_t data_out = 0;         // byte 12: bytes waiting to go to the bus
  uint8_t data_in = 0;          // byte 13: bytes waiting to be read over bulk IN
  std::vector<uint8_t> results;

  bool Idle() const { return (status & kStatusIdle) != 0 && commands_queued == 0; }
  bool PullupActive() const { return (status & kStatusPullupActive) != 0; }
};

// Decodes a packet from the interrupt endpoint; nullopt when it is shorter than a state packet.
// Result bytes beyond 16 are ignored.
std::optional<State> ParseState(const uint8_t* data, size_t length);

// What a reset's result bytes say. A presence pulse gives no result byte (or none with an error
// bit); a "device detected" byte carries no error.
ResetResult ResetFromResults(const std::vector<uint8_t>& results);

// Codes a strong pull-up duration for kModPullupDuration: 16 ms units, rounded up, at most 255.
uint16_t PullupDurationCode(std::chrono::milliseconds duration);

// The speed code of a bus speed; hyperdrive is not a DS2490 speed (nullopt).
std::optional<uint16_t> SpeedCode(Speed speed);

// The conflicts of one search pass that found `rom`, from the path the chip gave for the next
// pass (its highest bit where `rom` has 0 is where the next pass turns); none without a path.
uint64_t ConflictsFromNextPath(const RomId& rom, const std::optional<RomId>& next);

}  // namespace ds2490

// A 1-Wire bus master on a DS2490 USB bridge (the DS9490R and DS1490 adapters).
//
// Each bus operation is one communication command on endpoint 0, run at once; bytes to the bus
// go over bulk OUT first, bytes read come back over bulk IN, and the master reads the chip's state
// from the interrupt endpoint to know when a command finished and what its result was. A search
// pass is one Search Access command (the reset, the search command and all 64 steps in the chip).
// A strong pull-up is the chip's own, timed by it in 16 ms steps after a byte.
//
// The adapter runs the bus at regular, flexible (long lines) and overdrive speed. A device gone
// (unplugged) fails each call with GeneralFailure; an answer that never comes makes the master
// reset the chip and raise TransactionInterrupted, which the containers retry.
class DS2490Master : public BusMaster {
 public:
  struct Options {
    std::chrono::milliseconds reply_timeout{1000};
    // How the master waits while a device works (a simulated clock in tests).
    std::function<void(std::chrono::milliseconds)> wait;
    // The adapter type named in messages.
    std::string type = "DS2490";
  };

  explicit DS2490Master(std::unique_ptr<UsbLink> link);
  DS2490Master(std::unique_ptr<UsbLink> link, Options options);

  // Resets the chip and sets it up: regular speed, strong pull-up and speed changes enabled.
  void Open();

  ResetResult Reset() override;
  bool TouchBit(bool bit) override;
  uint8_t TouchByte(uint8_t byte) override;
  void Block(uint8_t* data, size_t length) override;
  // The whole pass with the chip's Search Access command.
  SearchPassResult SearchRomPass(uint8_t command, const RomId& path) override;
  // The reset and the block in one command.
  ResetResult ResetAndBlock(uint8_t* data, size_t length) override;
  uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) override;
  void Wait(std::chrono::milliseconds duration) override;
  void SetSpeed(Speed speed) override;
  bool CanFlex() const override { return true; }
  bool CanOverdrive() const override { return true; }
  void Close() override;
  std::string Describe() const override;

  // USB transfers made so far.
  uint64_t Transfers() const { return link_ ? link_->Transfers() : 0; }

 private:
  UsbLink& Link();
  void Mode(uint16_t mode, uint16_t value);
  void Command(uint16_t command, uint16_t parameter);
  // Reads the state until the chip is idle; returns the result bytes it reported meanwhile.
  std::vector<uint8_t> AwaitIdle(const char* what);
  void ReadData(uint8_t* data, size_t length, const char* what);
  void ApplySpeed();
  // Resets the chip after it failed to answer, then raises TransactionInterrupted.
  [[noreturn]] void Interrupted(const std::string& what);
  [[noreturn]] void Fail(const std::string& message) const;

  std::unique_ptr<UsbLink> link_;
  Options options_;
  std::string device_;
  uint16_t chip_speed_ = 0xFFFF;  // the speed code the chip runs at; unknown before the open
  uint16_t pullup_code_ = 0xFFFF;
  size_t last_data_in_ = 0;  // bytes waiting in the chip's IN buffer at the last state read
};

}  // namespace qb::access
