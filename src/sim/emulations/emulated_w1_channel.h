#pragma once

#include <deque>
#include <memory>

#include "access/masters/w1_channel.h"
#include "sim/emulations/w1_kernel_emulator.h"

namespace qb::sim {

// A netlink channel to a kernel emulated in the same process: each packet sent is answered at
// once, and the answers (and any events delivered) wait to be received.
class EmulatedW1Channel : public access::W1Channel {
 public:
  explicit EmulatedW1Channel(std::shared_ptr<W1KernelEmulator> kernel);

  void Send(const std::vector<uint8_t>& packet) override;
  std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds timeout) override;

  // A packet from the kernel that answers nothing (an event), received before later answers.
  void Deliver(std::vector<uint8_t> packet) { pending_.push_back(std::move(packet)); }
  // Every packet the program sent, for tests that check the bytes.
  const std::vector<std::vector<uint8_t>>& Sent() const { return sent_; }

 private:
  std::shared_ptr<W1KernelEmulator> kernel_;
  std::deque<std::vector<uint8_t>> pending_;
  std::vector<std::vector<uint8_t>> sent_;
};

}  // namespace qb::sim
