#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qb::sim {

// An adapter on the far end of a serial line, as a pseudo-terminal serves it: it takes the
// characters a program sends at the baud rate the program set, and answers.
class SerialEmulation {
 public:
  virtual ~SerialEmulation() = default;
  // What the adapter answers to these characters, sent at `baud`.
  virtual std::vector<uint8_t> Receive(const uint8_t* data, size_t length, int baud) = 0;
  // The adapter powers up: a program opened the port (a break does the same to a DS2480B).
  virtual void PowerUp() = 0;
  // What is served, for messages: "a DS2480B adapter".
  virtual std::string Name() const = 0;
};

}  // namespace qb::sim
