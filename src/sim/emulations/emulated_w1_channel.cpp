#include "sim/emulations/emulated_w1_channel.h"

namespace qb::sim {

EmulatedW1Channel::EmulatedW1Channel(std::shared_ptr<W1KernelEmulator> kernel)
    : kernel_(std::move(kernel)) {}

void EmulatedW1Channel::Send(const std::vector<uint8_t>& packet) {
  sent_.push_back(packet);
  for (auto& reply : kernel_->Handle(packet)) pending_.push_back(std::move(reply));
}

std::optional<std::vector<uint8_t>> EmulatedW1Channel::Receive(std::chrono::milliseconds) {
  if (pending_.empty()) return std::nullopt;  // nothing more will come: the timeout has passed
  auto packet = std::move(pending_.front());
  pending_.pop_front();
  return packet;
}

}  // namespace qb::sim
