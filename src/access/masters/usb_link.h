#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qb::access {

// The USB pipes of a DS2490 adapter: vendor requests on the control endpoint, the bulk data
// endpoints and the interrupt endpoint that carries the chip's state. libusb in the product, an
// in-process emulation in tests. Errors are AccessError (GeneralFailure) naming the device; a
// device that is gone raises them on every call.
class UsbLink {
 public:
  virtual ~UsbLink() = default;
  // A vendor request to the device with no data stage (request type 0x40).
  virtual void Control(uint8_t request, uint16_t value, uint16_t index) = 0;
  // Writes to the bulk OUT endpoint (0x02).
  virtual void BulkWrite(const uint8_t* data, size_t length) = 0;
  // Reads up to `length` bytes from the bulk IN endpoint (0x83), waiting at most `timeout`;
  // returns how many came.
  virtual size_t BulkRead(uint8_t* data, size_t length, std::chrono::milliseconds timeout) = 0;
  // Reads one packet from the interrupt endpoint (0x81); returns its length.
  virtual size_t InterruptRead(uint8_t* data, size_t length, std::chrono::milliseconds timeout) = 0;
  virtual std::string Describe() const = 0;
  // USB transfers made so far, of every kind.
  uint64_t Transfers() const { return transfers_; }

 protected:
  uint64_t transfers_ = 0;
};

}  // namespace qb::access
