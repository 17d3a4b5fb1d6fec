#include "sim/sim_device.h"

#include <algorithm>

#include "sim/sim_bus.h"

namespace qb::sim {

SimDevice::SimDevice(const access::RomId& rom) : rom_(rom) {
  for (size_t i = 0; i < 8; ++i) rom_bits_ |= static_cast<uint64_t>(rom_.bytes[i]) << (8 * i);
  uint64_t seed = 0;
  for (uint8_t b : rom.bytes) seed = seed * 131 + b;
  rng_.seed(static_cast<uint32_t>(seed ^ (seed >> 32)));
}

Clock::Monotonic SimDevice::Now() const {
  return bus_ ? bus_->Now() : Clock::Monotonic{};
}

double SimDevice::Seconds() const {
  return bus_ ? bus_->Seconds() : 0.0;
}

bool SimDevice::Present() {
  const PresenceSource& present = faults_.present;
  if (present.Steady()) return present.SteadyValue();
  return bus_ ? bus_->BoolNow(present.source()) : present.source().BoolAt(0.0);
}

bool SimDevice::Reset(bool overdrive_pulse) {
  if (!Present()) {
    state_ = State::Idle;
    return false;
  }
  if (overdrive_pulse && !overdrive_) return false;  // too short to be a reset at standard speed
  if (!overdrive_pulse) overdrive_ = false;          // a standard reset ends overdrive
  state_ = State::RomCommand;
  rx_byte_ = 0;
  rx_bits_ = 0;
  if (!tx_.empty()) tx_.clear();  // clearing an empty deque still walks its blocks
  tx_bit_ = 0;
  function_started_ = false;
  OnReset();
  return true;
}

bool SimDevice::Participates(bool overdrive_slot) {
  if (state_ == State::Idle) return false;
  if (overdrive_slot != overdrive_) return false;
  if (bus_ && present_in_ == bus_->OperationSerial()) return true;
  if (!Present()) {
    state_ = State::Idle;  // gone from the bus: it lost the conversation
    return false;
  }
  if (bus_) present_in_ = bus_->OperationSerial();
  return true;
}

bool SimDevice::SearchBit() const {
  return rom_.bytes[static_cast<size_t>(search_bit_ / 8)] >> (search_bit_ % 8) & 1;
}

bool SimDevice::Drive(bool overdrive_slot) {
  if (!Participates(overdrive_slot)) return true;
  switch (state_) {
    case State::Search:
      if (search_phase_ == 0) return SearchBit();
      if (search_phase_ == 1) return !SearchBit();
      return true;
    case State::Function:
      if (!tx_.empty()) return tx_.front() >> tx_bit_ & 1;
      return IdleBit();
    default:
      return true;
  }
}

void SimDevice::Sample(bool line, bool overdrive_slot) {
  if (!Participates(overdrive_slot)) return;
  switch (state_) {
    case State::Search:
      if (search_phase_ < 2) {
        ++search_phase_;
        return;
      }
      search_phase_ = 0;
      if (line != SearchBit()) {  // the master took the other branch
        state_ = State::Idle;
        return;
      }
      if (++search_bit_ == 64) {
        state_ = State::Function;
        function_started_ = false;
      }
      return;
    case State::MatchRom: {
      const bool want = rom_.bytes[static_cast<size_t>(match_bit_ / 8)] >> (match_bit_ % 8) & 1;
      if (line != want) {
        state_ = State::Idle;
        return;
      }
      if (++match_bit_ == 64) {
        state_ = State::Function;
        function_started_ = false;
        OnMatched();
      }
      return;
    }
    case State::Function:
      if (!tx_.empty()) {
        if (++tx_bit_ == 8) {
          tx_bit_ = 0;
          tx_.pop_front();
          if (tx_.empty()) OnSendDone();
        }
        return;
      }
      [[fallthrough]];
    case State::RomCommand:
      if (line) rx_byte_ |= static_cast<uint8_t>(1u << rx_bits_);
      if (++rx_bits_ < 8) return;
      {
        const uint8_t byte = rx_byte_;
        rx_byte_ = 0;
        rx_bits_ = 0;
        if (state_ == State::RomCommand) {
          RomByte(byte);
        } else if (!function_started_) {
          function_started_ = true;
          OnFunctionCommand(byte);
        } else {
          OnDataByte(byte);
        }
      }
      return;
    case State::Idle:
      return;
  }
}

std::optional<uint8_t> SimDevice::FunctionByte(uint8_t master_byte, bool overdrive_slots) {
  if (state_ != State::Function || tx_bit_ != 0 || rx_bits_ != 0 || !faults_.present.Steady())
    return std::nullopt;
  if (!Participates(overdrive_slots)) return std::nullopt;
  if (!tx_.empty()) {
    // The master reads (or writes over) a byte the device sends.
    const uint8_t line = master_byte & tx_.front();
    tx_.pop_front();
    if (tx_.empty()) OnSendDone();
    return line;
  }
  // The device receives: in each slot it drives its idle bit (a busy conversion reads 0).
  uint8_t line = 0;
  for (int i = 0; i < 8; ++i) {
    const bool idle = IdleBit();
    if (((master_byte >> i) & 1) && idle) line |= static_cast<uint8_t>(1u << i);
  }
  if (!function_started_) {
    function_started_ = true;
    OnFunctionCommand(line);
  } else {
    OnDataByte(line);
  }
  return line;
}

bool SimDevice::AnswersConditionalReadRom() {
  switch (rom_.family()) {
    case 0x01:
    case 0x02:
    case 0x04:
    case 0x06:
    case 0x08:
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0F:
    case 0x13:
    case 0x14:
      return true;
    default:
      return false;
  }
}

std::atomic<uint64_t> PresenceSource::changes_{0};

void SimDevice::ResumeRomBits(bool in_running, int bit, int phase) {
  if (!in_running) {
    state_ = State::Idle;
  } else if (state_ == State::Search) {
    search_bit_ = bit;
    search_phase_ = phase;
  } else {
    match_bit_ = bit;
  }
}

void SimDevice::RomBitsDone(bool selected) {
  if (!selected) {
    state_ = State::Idle;
    return;
  }
  const bool matched = state_ == State::MatchRom;
  state_ = State::Function;
  function_started_ = false;
  if (matched) OnMatched();
}

void SimDevice::RomCommandReceived(uint8_t command, bool overdrive_slots) {
  if (state_ != State::RomCommand || !Participates(overdrive_slots)) return;
  RomByte(command);
}

void SimDevice::RomByte(uint8_t command) {
  switch (command) {
    case 0x0F:  // Read ROM's older code; Conditional Read ROM of the chain-mode parts
      if (!AnswersConditionalReadRom()) break;
      [[fallthrough]];
    case 0x33:  // Read ROM
      state_ = State::Function;
      function_started_ = false;
      tx_.assign(rom_.bytes.begin(), rom_.bytes.end());
      tx_bit_ = 0;
      return;
    case 0x55:  // Match ROM
      state_ = State::MatchRom;
      match_bit_ = 0;
      return;
    case 0xCC:  // Skip ROM
      state_ = State::Function;
      function_started_ = false;
      return;
    case 0xEC:  // Alarm Search: only devices in alarm take part
      if (!Alarming()) {
        state_ = State::Idle;
        return;
      }
      [[fallthrough]];
    case 0xF0:  // Search ROM
      state_ = State::Search;
      search_bit_ = 0;
      search_phase_ = 0;
      return;
    case 0x3C:  // Overdrive Skip ROM
      if (!SupportsOverdrive()) break;
      overdrive_ = true;
      state_ = State::Function;
      function_started_ = false;
      return;
    case 0x69:  // Overdrive Match ROM: the ROM id follows at overdrive speed
      if (!SupportsOverdrive()) break;
      overdrive_ = true;
      state_ = State::MatchRom;
      match_bit_ = 0;
      return;
    default:
      break;
  }
  state_ = State::Idle;
}

bool SimDevice::FaultHappens(double chance) {
  if (chance <= 0) return false;
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  return draw(rng_) < chance;
}

void SimDevice::Send(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out = bytes;
  if (!out.empty() && FaultHappens(faults_.zeros_rate)) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    ++faults_.zeros_injected;
  } else if (!out.empty() && FaultHappens(faults_.crc_error_rate)) {
    ++faults_.crc_errors_injected;
    std::uniform_int_distribution<size_t> which(0, out.size() * 8 - 1);
    const size_t bit = which(rng_);
    out[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
  }
  tx_.insert(tx_.end(), out.begin(), out.end());
}

}  // namespace qb::sim
