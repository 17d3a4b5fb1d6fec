#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qb::access {

// A byte link to a serial adapter: a tty (termios) in the product, an in-process emulation in
// tests. Errors are AccessError (GeneralFailure) naming the port.
class SerialLink {
 public:
  virtual ~SerialLink() = default;
  virtual void Write(const uint8_t* data, size_t length) = 0;
  // Reads up to `length` bytes, waiting at most `timeout` for them all; returns how many came.
  virtual size_t Read(uint8_t* data, size_t length, std::chrono::milliseconds timeout) = 0;
  // Holds the line in the break condition (the adapter's reset to its power-up state).
  virtual void SendBreak() = 0;
  virtual void SetBaudRate(int baud) = 0;
  // Drops whatever was received and not yet read.
  virtual void DiscardInput() = 0;
  virtual std::string Describe() const = 0;
};

}  // namespace qb::access
