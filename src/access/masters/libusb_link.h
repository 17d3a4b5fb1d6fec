#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "access/masters/usb_link.h"

struct libusb_context;
struct libusb_device_handle;

namespace qb::access {

// Which DS2490 a port text names: "USB" or "USB1" the first one found, "USBn" the n-th (in the
// order libusb lists them), "USB:B:A" the one at bus B, address A (as lsusb prints them).
struct UsbPortChoice {
  int index = 1;  // 1-based, when no bus and address are given
  std::optional<int> bus, address;
};
// Nullopt when the text is none of these forms.
std::optional<UsbPortChoice> ParseUsbPort(const std::string& port);

// The USB pipes of a DS2490 through libusb-1.0. Opening finds the device, detaches the kernel's
// own ds2490 driver if it holds the interface (said through `log`), claims interface 0 and selects
// alternate setting 3 (the largest packets). A device that cannot be opened for lack of
// permission fails with a message naming its /dev/bus/usb node and the udev rule that fixes it.
class LibusbLink : public UsbLink {
 public:
  LibusbLink(const std::string& port, std::function<void(const std::string&)> log = {});
  ~LibusbLink() override;
  LibusbLink(const LibusbLink&) = delete;
  LibusbLink& operator=(const LibusbLink&) = delete;

  void Control(uint8_t request, uint16_t value, uint16_t index) override;
  void BulkWrite(const uint8_t* data, size_t length) override;
  size_t BulkRead(uint8_t* data, size_t length, std::chrono::milliseconds timeout) override;
  size_t InterruptRead(uint8_t* data, size_t length, std::chrono::milliseconds timeout) override;
  std::string Describe() const override { return name_; }

 private:
  void Open(const std::string& port, const std::function<void(const std::string&)>& log);
  void Release();
  [[noreturn]] void Fail(const std::string& what, int code) const;

  libusb_context* context_ = nullptr;
  libusb_device_handle* handle_ = nullptr;
  bool claimed_ = false;
  std::string name_;
};

}  // namespace qb::access
