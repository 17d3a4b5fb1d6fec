#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "access/bus_master.h"
#include "access/masters/i2c_link.h"

namespace qb::access {

// The DS2482-100 and DS2482-800 I2C 1-Wire bridges: command codes, registers and port text.
namespace ds2482 {

// Command codes.
inline constexpr uint8_t kDeviceReset = 0xF0;
inline constexpr uint8_t kSetReadPointer = 0xE1;
inline constexpr uint8_t kWriteConfig = 0xD2;
inline constexpr uint8_t kChannelSelect = 0xC3;  // DS2482-800 only
inline constexpr uint8_t kOneWireReset = 0xB4;
inline constexpr uint8_t kSingleBit = 0x87;
inline constexpr uint8_t kWriteByte = 0xA5;
inline constexpr uint8_t kReadByte = 0x96;
inline constexpr uint8_t kTriplet = 0x78;

// Read pointer codes of the registers.
inline constexpr uint8_t kStatusRegister = 0xF0;
inline constexpr uint8_t kDataRegister = 0xE1;
inline constexpr uint8_t kChannelRegister = 0xD2;  // DS2482-800 only
inline constexpr uint8_t kConfigRegister = 0xC3;

// Status register bits.
inline constexpr uint8_t kBusy = 0x01;              // 1WB: a 1-Wire command is running
inline constexpr uint8_t kPresence = 0x02;          // PPD
inline constexpr uint8_t kShort = 0x04;             // SD
inline constexpr uint8_t kLogicLevel = 0x08;        // LL
inline constexpr uint8_t kDeviceWasReset = 0x10;    // RST: cleared by the next configuration write
inline constexpr uint8_t kSingleBitResult = 0x20;   // SBR
inline constexpr uint8_t kTripletSecondBit = 0x40;  // TSB
inline constexpr uint8_t kBranchDirection = 0x80;   // DIR

// Configuration register bits (the lower nibble; the upper nibble is written complemented).
inline constexpr uint8_t kActivePullup = 0x01;  // APU
inline constexpr uint8_t kStrongPullup = 0x04;  // SPU: after the next byte or bit
inline constexpr uint8_t kOverdrive = 0x08;     // 1WS

// The byte a configuration write sends: the bits, and their complement in the upper nibble.
uint8_t ConfigByte(uint8_t bits);
// The DS2482-800's code to select channel 0 to 7, and what its channel register reads back then.
uint8_t ChannelCode(int channel);
uint8_t ChannelReadBack(int channel);

// Port text "/dev/i2c-1:0x18", or "/dev/i2c-1:0x18:3" for channel 3 of a DS2482-800.
struct PortText {
  std::string bus;
  int address = 0x18;
  std::optional<int> channel;  // none: the bridge's power-up channel (a DS2482-100's only one)
};
// Nullopt with `error` set for text that is not such a port.
std::optional<PortText> ParsePort(const std::string& text, std::string* error);
std::string FormatPort(const PortText& port);

}  // namespace ds2482

// A 1-Wire bus master on a DS2482-100 or one channel of a DS2482-800.
//
// Each 1-Wire command is one I2C write; the master then reads the status register until the
// bridge is no longer busy, at most for Options::busy_timeout. A byte read adds one transaction
// that points at the data register and reads it (a repeated start). A bridge that does not
// acknowledge is logged and asked again; when it keeps refusing, a GeneralFailure naming the bus
// and address is raised and the next operation starts with a device reset. A status with the
// reset flag set means the bridge was reset behind the master's back (a power glitch): the
// configuration and channel are written again, and the operation that saw it is repeated when it
// is a reset, or raises TransactionInterrupted otherwise, as the bus was reset with the bridge.
class DS2482Master : public BusMaster {
 public:
  struct Options {
    // The active pull-up: recommended for more than one device or a long line.
    bool active_pullup = true;
    // Further tries of a transaction the bridge did not acknowledge.
    int nack_retries = 3;
    // The longest the bridge may stay busy with one 1-Wire command (a reset takes about 1.2 ms,
    // a byte 0.6 ms at regular speed).
    std::chrono::milliseconds busy_timeout{50};
    // How the master waits while a device works and between tries (a simulated clock in tests).
    std::function<void(std::chrono::milliseconds)> wait;
    // Where bridge faults are reported (NACKs, an unexpected reset); stderr when not set.
    std::function<void(const std::string&)> log;
  };

  DS2482Master(std::unique_ptr<I2cLink> link, std::optional<int> channel);
  DS2482Master(std::unique_ptr<I2cLink> link, std::optional<int> channel, Options options);

  // Resets the bridge, writes the configuration and selects the channel. Raises GeneralFailure
  // naming the bus and address when no DS2482 answers, or when a channel is asked of a bridge
  // that has none.
  void Open();

  ResetResult Reset() override;
  bool TouchBit(bool bit) override;
  // A byte written as 0xFF is a read; any other byte is written, and comes back as written.
  uint8_t TouchByte(uint8_t byte) override;
  TripletResult SearchTriplet(bool preferred_direction) override;
  uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) override;
  void Wait(std::chrono::milliseconds duration) override;
  void SetSpeed(Speed speed) override;
  bool CanOverdrive() const override { return true; }
  void Close() override;
  std::string Describe() const override;

  // I2C transactions so far (a write and read joined by a repeated start count once).
  uint64_t Transactions() const { return transactions_; }
  // Device resets sent: at the open, after a failure, and when the bridge was found reset.
  uint64_t DeviceResets() const { return device_resets_; }

 private:
  struct BridgeReset {};  // the status showed the reset flag

  template <typename Op>
  auto Guarded(const char* what, bool restartable, Op&& op) -> decltype(op());
  void Initialize();
  void WriteConfig(uint8_t bits);
  // Sends a 1-Wire command and waits until the bridge is done; returns the last status.
  uint8_t Command(const uint8_t* bytes, size_t length);
  uint8_t PollStatus();
  void Send(const uint8_t* bytes, size_t length);
  void Receive(uint8_t* data, size_t length);
  uint8_t ReadRegister(uint8_t pointer);
  template <typename Transfer>
  void Retrying(const char* what, Transfer&& transfer);
  uint8_t Config() const;
  I2cLink& Link();
  void Log(const std::string& message) const;
  [[noreturn]] void Fail(const std::string& message) const;

  std::unique_ptr<I2cLink> link_;
  std::optional<int> channel_;
  Options options_;
  std::string port_;
  uint8_t written_config_ = 0xFF;  // the configuration the bridge holds (0xFF: unknown)
  bool need_init_ = true;
  uint64_t transactions_ = 0;
  uint64_t device_resets_ = 0;
};

}  // namespace qb::access
