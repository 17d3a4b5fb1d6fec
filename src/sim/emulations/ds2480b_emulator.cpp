#include "sim/emulations/ds2480b_emulator.h"

namespace qb::sim {

namespace {

// Command mode bytes that are not built from the bit fields below.
constexpr uint8_t kDataMode = 0xE1;
constexpr uint8_t kCommandMode = 0xE3;
constexpr uint8_t kPulseTermination = 0xF1;

// Communication commands: 1 FF B SS P 1. FF selects the function, B is the bit value (single
// bit), the accelerator switch (search) or the pulse type, SS the bus speed, P the strong pull-up
// after a single bit or the arming of the pull-up after every data byte (pulse).
constexpr uint8_t kFunctionMask = 0x60;
constexpr uint8_t kFunctionSingleBit = 0x00;
constexpr uint8_t kFunctionSearch = 0x20;
constexpr uint8_t kFunctionReset = 0x40;
constexpr uint8_t kFunctionModePulse = 0x60;
constexpr uint8_t kBitValue = 0x10;
constexpr uint8_t kSpeedMask = 0x0C;
constexpr uint8_t kSpeedPulse = 0x0C;  // with function 11: the pulse command
constexpr uint8_t kPullupFlag = 0x02;

// Reset answer: 11 0 CCC RR, the chip revision CCC (3 for the DS2480B) and the bus result RR.
constexpr uint8_t kResetReply = 0xC0 | (3 << 2);
// The pulse response byte of a strong pull-up to 5 V that ended (the pulse command code, its
// two lowest bits clear).
constexpr uint8_t kPullupResponse = 0xEC;

// Power-up value codes: slew rate 15 V/us, programming pulse 512 us, strong pull-up 524 ms,
// write-1 low time 8 us, sample offset 3 us, load threshold 3.0 mA, 9600 bps.
constexpr std::array<uint8_t, 8> kPowerUpParameters = {0, 0, 4, 4, 0, 0, 4, 0};

uint8_t ResetCode(access::ResetResult result) {
  switch (result) {
    case access::ResetResult::Short:
      return 0;
    case access::ResetResult::Presence:
      return 1;
    case access::ResetResult::Alarm:
      return 2;
    case access::ResetResult::NoPresence:
      break;
  }
  return 3;
}

}  // namespace

DS2480BEmulator::DS2480BEmulator(std::shared_ptr<SimBus> bus) : bus_(std::move(bus)) {
  PowerUp();
}

void DS2480BEmulator::PowerUp() {
  mode_ = Mode::Command;
  awaiting_timing_byte_ = true;
  escape_pending_ = false;
  search_accelerator_ = false;
  search_failed_ = false;
  pullup_armed_ = false;
  speed_ = access::Speed::Regular;
  parameters_ = kPowerUpParameters;
}

void DS2480BEmulator::Break() {
  if (pulse_) {
    std::vector<uint8_t> discarded;  // the reset cycle ends the pulse without an answer
    EndPulse(discarded);
  }
  PowerUp();
}

uint8_t DS2480BEmulator::ParameterValue(int parameter) const {
  return parameter >= 1 && parameter <= 7 ? parameters_[static_cast<size_t>(parameter)] : 0;
}

int DS2480BEmulator::BaudRate() const {
  static constexpr int kRates[4] = {9600, 19200, 57600, 115200};
  return kRates[parameters_[kBaudRate] & 3];  // codes 4 to 7: the same rates, inverted polarity
}

std::optional<std::chrono::milliseconds> DS2480BEmulator::StrongPullupDuration(uint8_t code) {
  // 16.4, 65.5, 131, 262, 524 and 1048 ms, rounded up to whole milliseconds. Code 6 is reserved
  // (the datasheet warns against it); it is held like code 7 so nothing is cut short.
  static constexpr int kDurations[6] = {17, 66, 131, 262, 524, 1048};
  if (code < 6) return std::chrono::milliseconds(kDurations[code]);
  return std::nullopt;
}

std::vector<uint8_t> DS2480BEmulator::Receive(const uint8_t* data, size_t length) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < length; ++i) Byte(data[i], out);
  return out;
}

void DS2480BEmulator::Byte(uint8_t byte, std::vector<uint8_t>& out) {
  if (awaiting_timing_byte_) {
    awaiting_timing_byte_ = false;
    return;
  }
  if (pulse_) {
    // A pulse of infinite duration lasts until the termination command. Any other byte ends it
    // as well (the host has stopped waiting) and is then handled as usual.
    EndPulse(out);
    if (byte == kPulseTermination) return;
  }
  if (mode_ == Mode::Data) {
    if (escape_pending_) {
      escape_pending_ = false;
      if (byte == kCommandMode) {
        DataByte(kCommandMode, out);  // E3 E3: one E3 data byte
      } else {
        mode_ = Mode::Command;
        Command(byte, out);
      }
      return;
    }
    if (byte == kCommandMode) {
      escape_pending_ = true;
      return;
    }
    DataByte(byte, out);
    return;
  }
  Command(byte, out);
}

void DS2480BEmulator::SetSpeedBits(uint8_t command) {
  switch ((command & kSpeedMask) >> 2) {
    case 1:
      speed_ = access::Speed::Flex;
      break;
    case 2:
      speed_ = access::Speed::Overdrive;
      break;
    default:
      speed_ = access::Speed::Regular;
      break;
  }
}

bool DS2480BEmulator::Slot(bool bit) {
  return bus_->Slot(bit, speed_ == access::Speed::Overdrive);
}

void DS2480BEmulator::Command(uint8_t command, std::vector<uint8_t>& out) {
  if ((command & 0x80) == 0) {
    Configuration(command, out);
    return;
  }
  if ((command & 0x01) == 0) return;  // not a command the chip defines: ignored
  switch (command & kFunctionMask) {
    case kFunctionSingleBit: {
      SetSpeedBits(command);
      const bool line = Slot((command & kBitValue) != 0);
      // The answer repeats the command with the bit read in its two lowest bits.
      out.push_back(static_cast<uint8_t>((command & 0xFC) | (line ? 0x03 : 0x00)));
      if (command & kPullupFlag) StartPulse(false, kPullupResponse, out);
      return;
    }
    case kFunctionSearch:
      // No answer: the accelerator applies to the data bytes that follow.
      SetSpeedBits(command);
      search_accelerator_ = (command & kBitValue) != 0;
      search_failed_ = false;
      return;
    case kFunctionReset: {
      SetSpeedBits(command);
      const auto result = bus_->Reset(speed_ == access::Speed::Overdrive);
      out.push_back(static_cast<uint8_t>(kResetReply | ResetCode(result)));
      return;
    }
    case kFunctionModePulse:
      if ((command & kSpeedMask) == kSpeedPulse) {
        pullup_armed_ = (command & kPullupFlag) != 0;
        StartPulse((command & kBitValue) != 0, static_cast<uint8_t>(command & 0xFC), out);
      } else if (command == kDataMode) {
        mode_ = Mode::Data;
        escape_pending_ = false;
      }
      // E3 (already in command mode) and F1 without a pulse running do nothing.
      return;
  }
}

void DS2480BEmulator::Configuration(uint8_t command, std::vector<uint8_t>& out) {
  if ((command & 0x01) == 0) return;
  const int parameter = (command >> 4) & 0x07;
  const uint8_t value = (command >> 1) & 0x07;
  if (parameter == 0) {
    // Read: 0 000 PPP 1 answers 0 000 VVV 0.
    out.push_back(static_cast<uint8_t>((command & 0xF0) | (parameters_[value] << 1)));
    return;
  }
  parameters_[static_cast<size_t>(parameter)] = value;
  out.push_back(static_cast<uint8_t>(command & 0xFE));
}

void DS2480BEmulator::DataByte(uint8_t byte, std::vector<uint8_t>& out) {
  uint8_t answer = 0;
  if (search_accelerator_) {
    answer = SearchByte(byte);
  } else {
    for (int i = 0; i < 8; ++i) {
      if (Slot(((byte >> i) & 1) != 0)) answer |= static_cast<uint8_t>(1 << i);
    }
  }
  out.push_back(answer);
  // An armed pull-up follows every data byte; in data mode it has no answer of its own.
  if (pullup_armed_) StartPulse(false, std::nullopt, out);
}

// Four search steps. Bits 1, 3, 5 and 7 of the byte are the directions the host takes where the
// devices disagree; the answer holds per step the discrepancy flag (even bit) and the path taken
// (odd bit). When no device answers, the chip writes 1s and flags every later step until the
// accelerator is switched off.
uint8_t DS2480BEmulator::SearchByte(uint8_t byte) {
  uint8_t answer = 0;
  for (int step = 0; step < 4; ++step) {
    const bool wanted = ((byte >> (2 * step + 1)) & 1) != 0;
    const bool id_bit = Slot(true);
    const bool cmp_bit = Slot(true);
    bool discrepancy = true;
    bool path = true;
    if (search_failed_) {
      // stays 1, 1
    } else if (id_bit != cmp_bit) {
      discrepancy = false;
      path = id_bit;
    } else if (!id_bit) {
      path = wanted;
    } else {
      search_failed_ = true;
    }
    Slot(path);
    if (discrepancy) answer |= static_cast<uint8_t>(1 << (2 * step));
    if (path) answer |= static_cast<uint8_t>(1 << (2 * step + 1));
  }
  return answer;
}

void DS2480BEmulator::StartPulse(bool programming, std::optional<uint8_t> response,
                                 std::vector<uint8_t>& out) {
  const uint8_t code = parameters_[programming ? kProgrammingPulseDuration : kStrongPullupDuration];
  if (programming) {
    ++program_pulses_;
    if (code != kInfinite) {
      // Microseconds of 12 V: the EPROM devices of the bus program the byte they hold, when the
      // bus has a program voltage.
      if (bus_->HasProgramVoltage()) bus_->ProgramPulse();
      if (response) out.push_back(*response);
      return;
    }
    pulse_ = Pulse{bus_->clock().MonotonicNow(), true, response};
    return;
  }
  const auto duration = StrongPullupDuration(code);
  if (!duration) {
    pulse_ = Pulse{bus_->clock().MonotonicNow(), false, response};
    return;
  }
  bus_->DeliverPower(*duration);
  power_delivered_ += *duration;
  if (response) out.push_back(*response);
}

void DS2480BEmulator::EndPulse(std::vector<uint8_t>& out) {
  const Pulse pulse = *pulse_;
  pulse_.reset();
  if (!pulse.programming) {
    // The time has already passed on the bus clock: the devices only learn they were powered.
    // Rounded up: the pull-up began with the bit or byte that armed it, a moment before it was
    // timed here.
    const auto held =
        std::chrono::ceil<std::chrono::milliseconds>(bus_->clock().MonotonicNow() - pulse.started);
    for (const auto& device : bus_->devices()) device->Powered(held);
    power_delivered_ += held;
  }
  if (pulse.response) out.push_back(*pulse.response);
}

}  // namespace qb::sim
