#include "access/masters/i2c_device.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "access/errors.h"

namespace qb::access {

namespace {

std::string Hex(int address) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", address & 0x7F);
  return text;
}

// What i2c-dev reports when the addressed device does not acknowledge: ENXIO or EREMOTEIO from
// most bus drivers, EIO from some.
bool IsNack(int error) {
  return error == ENXIO || error == EREMOTEIO || error == EIO;
}

}  // namespace

I2cDevice::I2cDevice(std::string bus_path, int address)
    : path_(std::move(bus_path)), address_(address) {
  fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    std::string hint;
    if (error == EACCES) hint = " (the user needs to be in the i2c group)";
    if (error == ENOENT) hint = " (is the i2c-dev module loaded and I2C enabled?)";
    ThrowBusError("I2C", "cannot open the I2C bus " + path_ + ": " + std::strerror(error) + hint);
  }
  // I2C_RDWR names the address in every message; I2C_SLAVE is set as well so that the plain
  // read and write of the node reach the same device.
  if (ioctl(fd_, I2C_SLAVE, static_cast<unsigned long>(address_)) < 0) {
    const int error = errno;
    close(fd_);
    fd_ = -1;
    if (error == EBUSY)
      ThrowBusError("I2C", "the I2C address " + Hex(address_) + " on " + path_ +
                               " is taken by a kernel driver (for a DS2482: the kernel's ds2482 "
                               "module drives it; use its 1-Wire master or unload the module)");
    ThrowBusError("I2C",
                  "cannot address " + Hex(address_) + " on " + path_ + ": " + std::strerror(error));
  }
}

I2cDevice::~I2cDevice() {
  if (fd_ >= 0) close(fd_);
}

std::string I2cDevice::Describe() const {
  return path_ + " address " + Hex(address_);
}

bool I2cDevice::Transfer(void* messages, unsigned count) {
  i2c_rdwr_ioctl_data data{};
  data.msgs = static_cast<i2c_msg*>(messages);
  data.nmsgs = count;
  for (int attempt = 0;; ++attempt) {
    if (ioctl(fd_, I2C_RDWR, &data) >= 0) return true;
    const int error = errno;
    if (error == EINTR && attempt < 3) continue;
    if (IsNack(error)) return false;
    ThrowBusError("I2C", "I2C transfer on " + Describe() + " failed: " + std::strerror(error));
  }
}

bool I2cDevice::Write(const uint8_t* data, size_t length) {
  i2c_msg message{static_cast<__u16>(address_), 0, static_cast<__u16>(length),
                  const_cast<uint8_t*>(data)};
  return Transfer(&message, 1);
}

bool I2cDevice::Read(uint8_t* data, size_t length) {
  i2c_msg message{static_cast<__u16>(address_), I2C_M_RD, static_cast<__u16>(length), data};
  return Transfer(&message, 1);
}

bool I2cDevice::WriteRead(const uint8_t* out, size_t out_length, uint8_t* in, size_t in_length) {
  i2c_msg messages[2] = {
      {static_cast<__u16>(address_), 0, static_cast<__u16>(out_length), const_cast<uint8_t*>(out)},
      {static_cast<__u16>(address_), I2C_M_RD, static_cast<__u16>(in_length), in}};
  return Transfer(messages, 2);
}

}  // namespace qb::access
