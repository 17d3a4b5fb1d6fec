#pragma once

#include <memory>
#include <string>

#include "access/masters/i2c_link.h"
#include "sim/emulations/ds2482_emulator.h"

namespace qb::sim {

// An I2C link to a DS2482 emulated in the same process.
class EmulatedI2cLink : public access::I2cLink {
 public:
  explicit EmulatedI2cLink(std::shared_ptr<DS2482Emulator> emulator,
                           std::string name = "emulated I2C bus address 0x18")
      : emulator_(std::move(emulator)), name_(std::move(name)) {}

  bool Write(const uint8_t* data, size_t length) override { return emulator_->Write(data, length); }
  bool Read(uint8_t* data, size_t length) override { return emulator_->Read(data, length); }
  bool WriteRead(const uint8_t* out, size_t out_length, uint8_t* in, size_t in_length) override {
    return emulator_->Write(out, out_length) && emulator_->Read(in, in_length);
  }
  std::string Describe() const override { return name_; }

  DS2482Emulator& emulator() { return *emulator_; }

 private:
  std::shared_ptr<DS2482Emulator> emulator_;
  std::string name_;
};

}  // namespace qb::sim
