#pragma once

#include <string>

#include "access/masters/i2c_link.h"

namespace qb::access {

// An I2C device reached through the kernel's i2c-dev node (/dev/i2c-N) at a 7-bit address.
// Transactions go through the I2C_RDWR ioctl, so a write and a read can share one transaction
// with a repeated start. The node is opened by the constructor (AccessError naming it when that
// fails) and closed by the destructor.
class I2cDevice : public I2cLink {
 public:
  I2cDevice(std::string bus_path, int address);
  ~I2cDevice() override;
  I2cDevice(const I2cDevice&) = delete;
  I2cDevice& operator=(const I2cDevice&) = delete;

  bool Write(const uint8_t* data, size_t length) override;
  bool Read(uint8_t* data, size_t length) override;
  bool WriteRead(const uint8_t* out, size_t out_length, uint8_t* in, size_t in_length) override;
  std::string Describe() const override;

 private:
  bool Transfer(void* messages, unsigned count);

  std::string path_;
  int address_;
  int fd_ = -1;
};

}  // namespace qb::access
