#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "access/masters/usb_link.h"
#include "sim/emulations/ds2490_emulator.h"

namespace qb::sim {

// The USB pipes of a DS2490 emulated in the same process. A stalled request fails as a stalled
// control transfer does; unplugging makes every later transfer fail as a vanished device's do.
class EmulatedUsbLink : public access::UsbLink {
 public:
  explicit EmulatedUsbLink(std::shared_ptr<DS2490Emulator> emulator,
                           std::string name = "emulated DS9490R");

  void Control(uint8_t request, uint16_t value, uint16_t index) override;
  void BulkWrite(const uint8_t* data, size_t length) override;
  size_t BulkRead(uint8_t* data, size_t length, std::chrono::milliseconds timeout) override;
  size_t InterruptRead(uint8_t* data, size_t length, std::chrono::milliseconds timeout) override;
  std::string Describe() const override { return name_; }

  void Unplug() { plugged_ = false; }
  // The next `count` state packets come back cut short (a damaged interrupt transfer).
  void ShortenStatePackets(int count) { short_packets_ = count; }
  // The next `count` bulk reads return nothing, and the bytes they asked for are lost.
  void LoseBulkReads(int count) { lost_reads_ = count; }
  DS2490Emulator& emulator() { return *emulator_; }

 private:
  void CheckPlugged() const;

  std::shared_ptr<DS2490Emulator> emulator_;
  std::string name_;
  bool plugged_ = true;
  int short_packets_ = 0;
  int lost_reads_ = 0;
};

}  // namespace qb::sim
