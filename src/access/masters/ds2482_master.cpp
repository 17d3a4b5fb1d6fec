#include "access/masters/ds2482_master.h"

#include <cstdio>
#include <iostream>
#include <thread>

#include "access/errors.h"

namespace qb::access {

namespace ds2482 {

uint8_t ConfigByte(uint8_t bits) {
  const uint8_t low = bits & 0x0F;
  return static_cast<uint8_t>(low | ((~low & 0x0F) << 4));
}

uint8_t ChannelCode(int channel) {
  static constexpr uint8_t kCodes[8] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87};
  return kCodes[channel & 7];
}

uint8_t ChannelReadBack(int channel) {
  static constexpr uint8_t kCodes[8] = {0xB8, 0xB1, 0xAA, 0xA3, 0x9C, 0x95, 0x8E, 0x87};
  return kCodes[channel & 7];
}

namespace {

std::optional<int> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  size_t used = 0;
  try {
    const int value = std::stoi(text, &used, 0);  // 0x18, 24 or 030
    if (used != text.size()) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<PortText> ParsePort(const std::string& text, std::string* error) {
  auto refuse = [&](const std::string& why) -> std::optional<PortText> {
    if (error)
      *error = "\"" + text + "\" is not a DS2482 port (" + why +
               "; write it as /dev/i2c-1:0x18, or /dev/i2c-1:0x18:3 for a DS2482-800 "
               "channel)";
    return std::nullopt;
  };
  const size_t first = text.find(':');
  if (first == std::string::npos || first == 0) return refuse("the I2C bus or address is missing");
  PortText port;
  port.bus = text.substr(0, first);
  if (port.bus[0] != '/') return refuse("the I2C bus must be a device path");
  const size_t second = text.find(':', first + 1);
  const auto address = ParseNumber(
      text.substr(first + 1, second == std::string::npos ? second : second - first - 1));
  if (!address || *address < 0x18 || *address > 0x1F)
    return refuse("the address must be 0x18 to 0x1F");
  port.address = *address;
  if (second != std::string::npos) {
    const auto channel = ParseNumber(text.substr(second + 1));
    if (!channel || *channel < 0 || *channel > 7) return refuse("the channel must be 0 to 7");
    port.channel = *channel;
  }
  return port;
}

std::string FormatPort(const PortText& port) {
  char address[8];
  std::snprintf(address, sizeof address, "0x%02X", port.address);
  std::string text = port.bus + ":" + address;
  if (port.channel) text += ":" + std::to_string(*port.channel);
  return text;
}

}  // namespace ds2482

using namespace ds2482;

namespace {

// Status reads sent back to back before the master starts waiting a millisecond between them.
constexpr int kMaxPollsWithoutWait = 4;

}  // namespace

DS2482Master::DS2482Master(std::unique_ptr<I2cLink> link, std::optional<int> channel)
    : DS2482Master(std::move(link), channel, Options{}) {}

DS2482Master::DS2482Master(std::unique_ptr<I2cLink> link, std::optional<int> channel,
                           Options options)
    : link_(std::move(link)), channel_(channel), options_(std::move(options)) {
  if (!options_.wait)
    options_.wait = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  port_ = link_ ? link_->Describe() : std::string("a closed link");
  if (channel_) port_ += " channel " + std::to_string(*channel_);
}

std::string DS2482Master::Describe() const {
  return "DS2482 on " + port_;
}

void DS2482Master::Log(const std::string& message) const {
  if (options_.log) {
    options_.log(message);
  } else {
    std::cerr << message << "\n";
  }
}

void DS2482Master::Fail(const std::string& message) const {
  ThrowBusError("DS2482", "DS2482 on " + port_ + ": " + message);
}

I2cLink& DS2482Master::Link() {
  if (!link_) Fail("the bus was closed");
  return *link_;
}

void DS2482Master::Close() {
  link_.reset();
  need_init_ = true;
}

void DS2482Master::Open() {
  Initialize();
}

uint8_t DS2482Master::Config() const {
  uint8_t bits = 0;
  if (options_.active_pullup) bits |= kActivePullup;
  if (speed_ == Speed::Overdrive || speed_ == Speed::Hyperdrive) bits |= kOverdrive;
  return bits;
}

// --- I2C transactions ------------------------------------------------------------------------

template <typename Transfer>
void DS2482Master::Retrying(const char* what, Transfer&& transfer) {
  I2cLink& link = Link();
  for (int attempt = 0;; ++attempt) {
    ++transactions_;
    if (transfer(link)) return;
    if (attempt >= options_.nack_retries) {
      need_init_ = true;
      Fail(std::string("the bridge does not acknowledge ") + what + " (tried " +
           std::to_string(attempt + 1) + " times)");
    }
    Log(Describe() + ": the bridge did not acknowledge " + what + "; trying again");
    options_.wait(std::chrono::milliseconds(1));
  }
}

void DS2482Master::Send(const uint8_t* bytes, size_t length) {
  Retrying("a command", [&](I2cLink& link) { return link.Write(bytes, length); });
}

void DS2482Master::Receive(uint8_t* data, size_t length) {
  Retrying("a read", [&](I2cLink& link) { return link.Read(data, length); });
}

uint8_t DS2482Master::ReadRegister(uint8_t pointer) {
  const uint8_t set[] = {kSetReadPointer, pointer};
  uint8_t value = 0;
  Retrying("a register read",
           [&](I2cLink& link) { return link.WriteRead(set, sizeof set, &value, 1); });
  return value;
}

uint8_t DS2482Master::PollStatus() {
  // A command's time on the wire is short beside an I2C read at 100 kHz, so the first reads are
  // back to back; after that the master waits a millisecond between reads.
  const auto deadline = std::chrono::steady_clock::now() + options_.busy_timeout;
  for (int polls = 0;; ++polls) {
    uint8_t status = 0;
    Receive(&status, 1);
    if (status & kDeviceWasReset) throw BridgeReset{};
    if (!(status & kBusy)) return status;
    if (polls >= kMaxPollsWithoutWait) {
      if (std::chrono::steady_clock::now() > deadline) {
        need_init_ = true;
        Fail("the bridge stayed busy for more than " +
             std::to_string(options_.busy_timeout.count()) + " ms");
      }
      options_.wait(std::chrono::milliseconds(1));
    }
  }
}

uint8_t DS2482Master::Command(const uint8_t* bytes, size_t length) {
  Send(bytes, length);
  return PollStatus();
}

void DS2482Master::WriteConfig(uint8_t bits) {
  const uint8_t command[] = {kWriteConfig, ConfigByte(bits)};
  uint8_t readback = 0;
  Retrying("a configuration write",
           [&](I2cLink& link) { return link.Write(command, sizeof command); });
  // The read pointer now points at the configuration register, which reads back the lower nibble.
  Receive(&readback, 1);
  if (readback != (bits & 0x0F)) {
    need_init_ = true;
    char text[64];
    std::snprintf(text, sizeof text, "configuration 0x%02X read back as 0x%02X", bits, readback);
    Fail(text);
  }
  written_config_ = bits;
}

void DS2482Master::Initialize() {
  written_config_ = 0xFF;
  ++device_resets_;
  const uint8_t reset = kDeviceReset;
  Send(&reset, 1);
  uint8_t status = 0;
  Receive(&status, 1);
  if (!(status & kDeviceWasReset)) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "the device at this address is not a DS2482 (status 0x%02X after a device "
                  "reset)",
                  status);
    Fail(text);
  }
  WriteConfig(Config());
  if (channel_) {
    const uint8_t select[] = {kChannelSelect, ChannelCode(*channel_)};
    uint8_t readback = 0;
    // A DS2482-100 has no channel select and does not acknowledge it; the bridge answered the
    // device reset just now, so a refusal here is not a passing fault.
    transactions_ += 2;
    I2cLink& link = Link();
    if (!link.Write(select, sizeof select) || !link.Read(&readback, 1) ||
        readback != ChannelReadBack(*channel_))
      Fail("the bridge did not select channel " + std::to_string(*channel_) +
           " (is it a DS2482-800?)");
  }
  need_init_ = false;
}

template <typename Op>
auto DS2482Master::Guarded(const char* what, bool restartable, Op&& op) -> decltype(op()) {
  if (need_init_) Initialize();
  try {
    // A change of speed takes effect with the next 1-Wire command.
    if (written_config_ != Config()) WriteConfig(Config());
    return op();
  } catch (const BridgeReset&) {
    Log(Describe() + ": the bridge was reset (power lost?) during " + what +
        "; writing its configuration again");
    Initialize();
    if (!restartable)
      throw TransactionInterrupted("DS2482", "DS2482 on " + port_ + ": " + what +
                                                 " was interrupted by a reset of the bridge");
  }
  try {
    return op();
  } catch (const BridgeReset&) {
    need_init_ = true;
    Fail(std::string(what) + " failed: the bridge keeps resetting");
  }
}

// --- Bus operations --------------------------------------------------------------------------

ResetResult DS2482Master::Reset() {
  const uint8_t status = Guarded("a reset", true, [&] {
    const uint8_t command = kOneWireReset;
    return Command(&command, 1);
  });
  CountReset();
  if (status & kShort) return ResetResult::Short;
  return status & kPresence ? ResetResult::Presence : ResetResult::NoPresence;
}

bool DS2482Master::TouchBit(bool bit) {
  const uint8_t status = Guarded("a time slot", false, [&] {
    const uint8_t command[] = {kSingleBit, static_cast<uint8_t>(bit ? 0x80 : 0x00)};
    return Command(command, sizeof command);
  });
  CountSlots(1);
  return status & kSingleBitResult;
}

uint8_t DS2482Master::TouchByte(uint8_t byte) {
  const uint8_t result = Guarded("a byte", false, [&]() -> uint8_t {
    if (byte != 0xFF) {
      const uint8_t command[] = {kWriteByte, byte};
      Command(command, sizeof command);
      return byte;
    }
    const uint8_t command = kReadByte;
    Command(&command, 1);
    return ReadRegister(kDataRegister);
  });
  CountSlots(8);
  return result;
}

TripletResult DS2482Master::SearchTriplet(bool preferred_direction) {
  const uint8_t status = Guarded("a search step", false, [&] {
    const uint8_t command[] = {kTriplet, static_cast<uint8_t>(preferred_direction ? 0x80 : 0)};
    return Command(command, sizeof command);
  });
  CountSlots(3);
  TripletResult t;
  t.id_bit = status & kSingleBitResult;
  t.cmp_bit = status & kTripletSecondBit;
  t.direction = status & kBranchDirection;
  return t;
}

uint8_t DS2482Master::TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) {
  const uint8_t result = Guarded("a powered byte", false, [&]() -> uint8_t {
    // The strong pull-up starts when the byte is done and lasts until the next configuration
    // write or 1-Wire command. A byte of read slots (the last byte of a command's CRC, say) is
    // read, as TouchByte does.
    WriteConfig(Config() | kStrongPullup);
    uint8_t read = byte;
    if (byte == 0xFF) {
      const uint8_t command = kReadByte;
      Command(&command, 1);
      read = ReadRegister(kDataRegister);
    } else {
      const uint8_t command[] = {kWriteByte, byte};
      Command(command, sizeof command);
    }
    options_.wait(duration);
    WriteConfig(Config());
    return read;
  });
  CountSlots(8);
  CountPower(duration);
  return result;
}

void DS2482Master::Wait(std::chrono::milliseconds duration) {
  options_.wait(duration);
}

void DS2482Master::SetSpeed(Speed speed) {
  // Flexible speed is regular speed on this bridge; the configuration is written with the next
  // reset, where a change of speed takes effect on the bus.
  speed_ = speed == Speed::Flex ? Speed::Regular : speed;
}

}  // namespace qb::access
