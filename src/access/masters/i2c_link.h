#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qb::access {

// One device on an I2C bus, at the address the link was made for: a /dev/i2c-N node in the
// product, an emulation in tests. Each call is one transaction on the bus (start to stop). A
// device that does not acknowledge (NACK) makes the call return false; any other failure (the
// bus gone, an unusable node) raises an AccessError (GeneralFailure) naming the bus.
class I2cLink {
 public:
  virtual ~I2cLink() = default;
  virtual bool Write(const uint8_t* data, size_t length) = 0;
  virtual bool Read(uint8_t* data, size_t length) = 0;
  // A write and then, after a repeated start, a read: one transaction.
  virtual bool WriteRead(const uint8_t* out, size_t out_length, uint8_t* in, size_t in_length) = 0;
  virtual std::string Describe() const = 0;
};

}  // namespace qb::access
