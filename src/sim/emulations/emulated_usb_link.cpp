#include "sim/emulations/emulated_usb_link.h"

#include <algorithm>

#include "access/errors.h"

namespace qb::sim {

EmulatedUsbLink::EmulatedUsbLink(std::shared_ptr<DS2490Emulator> emulator, std::string name)
    : emulator_(std::move(emulator)), name_(std::move(name)) {}

void EmulatedUsbLink::CheckPlugged() const {
  if (!plugged_) access::ThrowBusError("DS2490", "the USB device " + name_ + " is gone");
}

void EmulatedUsbLink::Control(uint8_t request, uint16_t value, uint16_t index) {
  CheckPlugged();
  ++transfers_;
  if (!emulator_->Control(request, value, index)) {
    access::ThrowBusError("DS2490", "the USB device " + name_ + " stalled request " +
                                        std::to_string(request) + " " + std::to_string(value));
  }
}

void EmulatedUsbLink::BulkWrite(const uint8_t* data, size_t length) {
  CheckPlugged();
  ++transfers_;
  emulator_->BulkOut(data, length);
}

size_t EmulatedUsbLink::BulkRead(uint8_t* data, size_t length, std::chrono::milliseconds) {
  CheckPlugged();
  ++transfers_;
  const auto got = emulator_->BulkIn(length);
  if (lost_reads_ > 0) {
    --lost_reads_;
    return 0;
  }
  std::copy(got.begin(), got.end(), data);
  return got.size();
}

size_t EmulatedUsbLink::InterruptRead(uint8_t* data, size_t length, std::chrono::milliseconds) {
  CheckPlugged();
  ++transfers_;
  auto packet = emulator_->StatePacket();
  if (short_packets_ > 0) {
    --short_packets_;
    packet.resize(5);
  }
  const size_t n = std::min(length, packet.size());
  std::copy(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(n), data);
  return n;
}

}  // namespace qb::sim
