#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qb::access {

// Where a kernel 1-Wire master's netlink packets go: the connector socket, or an emulated kernel
// in tests.
class W1Channel {
 public:
  virtual ~W1Channel() = default;
  virtual void Send(const std::vector<uint8_t>& packet) = 0;
  // The next packet, or nullopt when none came within `timeout`.
  virtual std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds timeout) = 0;
};

}  // namespace qb::access
