#include "sim/ds2423.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "access/crc.h"
#include "sim/inverted_crc.h"
#include "sim/models.h"

namespace qb::sim {

namespace {

constexpr uint8_t kWriteScratchpad = 0x0F;
constexpr uint8_t kReadScratchpad = 0xAA;
constexpr uint8_t kCopyScratchpad = 0x5A;
constexpr uint8_t kReadMemory = 0xF0;
constexpr uint8_t kReadMemoryCounter = 0xA5;

constexpr uint8_t kAa = 0x80;  // E/S: authorization accepted (the scratchpad was copied)
constexpr uint8_t kPf = 0x20;  // E/S: partial byte flag

}  // namespace

DS2423Model::DS2423Model(const access::RomId& rom,
                         std::array<std::unique_ptr<ValueSource>, 4> counters,
                         double power_lost_every_s)
    : SimDevice(rom), counters_(std::move(counters)), power_lost_every_s_(power_lost_every_s) {}

uint32_t DS2423Model::Counter(int page) {
  if (page < 12 || page > 15) return 0xFFFFFFFFu;
  const size_t i = static_cast<size_t>(page - 12);
  const double seconds = Seconds();
  double v = counters_[i]->At(seconds);
  if (power_lost_every_s_ > 0) {
    // Counts since the chip last got power again; a new loss clears what it had reached.
    const auto epoch = static_cast<int64_t>(std::floor(seconds / power_lost_every_s_));
    if (epoch > 0) v -= counters_[i]->At(static_cast<double>(epoch) * power_lost_every_s_);
    if (epoch != power_epoch_[i]) {
      power_epoch_[i] = epoch;
      reached_[i] = 0;
      write_cycles_[i] = 0;
    }
  }
  if (!std::isfinite(v) || v < 0) v = 0;
  v = std::min(v, 1e18);
  const uint64_t now = static_cast<uint64_t>(std::floor(v)) + write_cycles_[i];
  reached_[i] = std::max(reached_[i], now);
  return static_cast<uint32_t>(reached_[i] & 0xFFFFFFFFu);
}

void DS2423Model::OnFunctionCommand(uint8_t command) {
  command_ = command;
  rx_.assign(1, command);
  switch (command) {
    case kWriteScratchpad:
    case kCopyScratchpad:
    case kReadMemory:
    case kReadMemoryCounter:
      step_ = Step::Address;
      return;
    case kReadScratchpad: {
      // TA1, TA2, E/S, the scratchpad from the target offset to its end, inverted CRC16.
      std::vector<uint8_t> out = {static_cast<uint8_t>(target_ & 0xFF),
                                  static_cast<uint8_t>(target_ >> 8), es_};
      for (size_t i = target_ & 0x1F; i < 32; ++i) out.push_back(scratchpad_[i]);
      AppendInvertedCrc16(out, rx_);
      step_ = Step::None;
      Send(out);
      return;
    }
    default:
      Ignore();
      return;
  }
}

void DS2423Model::OnDataByte(uint8_t byte) {
  switch (step_) {
    case Step::Address: {
      rx_.push_back(byte);
      if (rx_.size() < 3) return;
      const uint16_t address = static_cast<uint16_t>((rx_[1] | rx_[2] << 8) & 0x1FF);
      if (command_ == kWriteScratchpad) {
        target_ = address;
        offset_ = address & 0x1F;
        es_ = static_cast<uint8_t>(kPf | offset_);  // AA cleared; PF until a whole byte arrives
        step_ = Step::WriteData;
      } else if (command_ == kCopyScratchpad) {
        step_ = Step::CopyAuth;
      } else if (command_ == kReadMemory) {
        // The memory from the address to its end; no CRC.
        step_ = Step::None;
        Send(std::vector<uint8_t>(memory_.begin() + address, memory_.end()));
      } else {
        read_address_ = address;
        SendCounterPage(true);
      }
      return;
    }
    case Step::WriteData:
      if (offset_ > 31) return;
      rx_.push_back(byte);
      scratchpad_[static_cast<size_t>(offset_)] = byte;
      es_ = static_cast<uint8_t>(offset_);
      if (++offset_ == 32) {
        // Written to the end of the scratchpad: the master may read the CRC16 of the command,
        // the address and the data.
        std::vector<uint8_t> out;
        AppendInvertedCrc16(out, rx_);
        Send(out);
      }
      return;
    case Step::CopyAuth:
      rx_.push_back(byte);
      if (rx_.size() < 4) return;
      step_ = Step::CopyDone;
      // The authorization must repeat the target address and E/S register exactly.
      if (rx_[1] != (target_ & 0xFF) || rx_[2] != (target_ >> 8) || rx_[3] != es_ || (es_ & kPf)) {
        Ignore();
        return;
      }
      {
        const size_t base = target_ & 0x1E0;
        for (size_t i = target_ & 0x1F; i <= static_cast<size_t>(es_ & 0x1F); ++i)
          memory_[base + i] = scratchpad_[i];
        const int page = static_cast<int>(base / 32);
        if (page == 12 || page == 13) ++write_cycles_[static_cast<size_t>(page - 12)];
        es_ |= kAa;
      }
      Send(0xAA);  // copy done: alternating ones and zeros until reset
      return;
    default:
      return;
  }
}

void DS2423Model::OnSendDone() {
  if (step_ == Step::CopyDone) {
    Send(0xAA);
  } else if (step_ == Step::ReadCounterPage) {
    if (read_address_ >= 512) {
      step_ = Step::None;
      return;
    }
    SendCounterPage(false);
  }
}

void DS2423Model::SendCounterPage(bool first) {
  // The page from the address to its end, the page's 32-bit counter (least significant byte
  // first), 32 zero bits and the inverted CRC16: of the command, address and all that for the
  // first page, of the data alone for each page after it.
  const int page = read_address_ / 32;
  std::vector<uint8_t> out(memory_.begin() + read_address_, memory_.begin() + (page + 1) * 32);
  const uint32_t count = Counter(page);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(count >> (8 * i)));
  for (int i = 0; i < 4; ++i) out.push_back(0);
  AppendInvertedCrc16(out, first ? rx_ : std::vector<uint8_t>{});
  read_address_ = static_cast<uint16_t>((page + 1) * 32);
  step_ = Step::ReadCounterPage;
  Send(out);
}

std::unique_ptr<SimDevice> MakeDS2423Model(const access::RomId& rom, const nlohmann::json& device) {
  std::array<std::unique_ptr<ValueSource>, 4> counters;
  const std::string name = "device " + rom.ToString() + " \"counters\"";
  if (device.is_object() && device.contains("counters")) {
    const nlohmann::json& list = device["counters"];
    if (!list.is_array() || list.size() > 4) {
      throw std::invalid_argument(
          name + " must be an array of up to four counts (pages 12 to 15), numbers or generators");
    }
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string what = name + "[" + std::to_string(i) + "]";
      if (list[i].is_boolean())
        throw std::invalid_argument(what + " must be a count, not true/false");
      if (list[i].is_number() &&
          (list[i].get<double>() < 0 || list[i].get<double>() > 4294967295.0)) {
        throw std::invalid_argument(what + " must be a count from 0 to 4294967295");
      }
      counters[i] = ParseValueSource(list[i], what);
    }
  }
  // The counters are cleared when the part first gets power.
  for (auto& c : counters) {
    if (!c) c = Constant(0);
  }
  double every = 0;
  if (device.is_object() && device.contains("power_lost_every_s")) {
    const auto& e = device["power_lost_every_s"];
    if (!e.is_number() || e.get<double>() <= 0) {
      throw std::invalid_argument("device " + rom.ToString() +
                                  ": \"power_lost_every_s\" must be a number of seconds above 0");
    }
    every = e.get<double>();
  }
  return std::make_unique<DS2423Model>(rom, std::move(counters), every);
}

bool DS2423Model::FollowValues(SimDevice& edited) {
  return FollowSameModel<DS2423Model>(edited, [&](DS2423Model& e) {
    counters_ = std::move(e.counters_);
    power_lost_every_s_ = e.power_lost_every_s_;
  });
}

}  // namespace qb::sim
