#include "sim/emulations/emulated_serial_link.h"

#include <algorithm>

namespace qb::sim {

EmulatedSerialLink::EmulatedSerialLink(std::shared_ptr<DS2480BEmulator> emulator, std::string name)
    : emulator_(std::move(emulator)), name_(std::move(name)) {}

void EmulatedSerialLink::Write(const uint8_t* data, size_t length) {
  written_.insert(written_.end(), data, data + length);
  for (size_t i = 0; i < length; ++i) {
    // A byte at the wrong rate reaches the chip as a framing error: lost. (After a break the
    // chip listens at 9600 bps, so the timing byte too must come at that rate.)
    if (host_baud_ != emulator_->BaudRate()) continue;
    const auto answer = emulator_->Receive(&data[i], 1);
    // The answer goes out at the chip's rate, which a configuration write may just have changed.
    if (host_baud_ != emulator_->BaudRate()) {
      answered_ += answer.size();
      continue;
    }
    for (uint8_t byte : answer) {
      const size_t index = answered_++;
      auto fault = std::find_if(faults_.begin(), faults_.end(),
                                [index](const Fault& f) { return f.index == index; });
      if (fault == faults_.end()) {
        answers_.push_back(byte);
        continue;
      }
      if (!fault->drop) answers_.push_back(static_cast<uint8_t>(byte ^ fault->mask));
      faults_.erase(fault);
    }
  }
}

size_t EmulatedSerialLink::Read(uint8_t* data, size_t length, std::chrono::milliseconds) {
  // Every answer is ready as soon as its byte was written: waiting longer brings nothing more.
  const size_t n = std::min(length, answers_.size());
  std::copy_n(answers_.begin(), n, data);
  answers_.erase(answers_.begin(), answers_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void EmulatedSerialLink::SendBreak() {
  emulator_->Break();
}

void EmulatedSerialLink::SetBaudRate(int baud) {
  host_baud_ = baud;
}

void EmulatedSerialLink::DiscardInput() {
  answers_.clear();
}

void EmulatedSerialLink::DropAnswerByte(size_t index) {
  faults_.push_back({answered_ + index, true, 0});
}

void EmulatedSerialLink::GarbleAnswerByte(size_t index, uint8_t mask) {
  faults_.push_back({answered_ + index, false, mask});
}

}  // namespace qb::sim
