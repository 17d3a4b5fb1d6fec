#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "sim/emulations/ds2490_emulator.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace qb::sim {

// An emulated DS9490R plugged into a umockdev testbed: a USB device 04FA:2490 with the DS2490's
// descriptors at /dev/bus/usb/001/002, whose usbfs ioctls (the URBs libusb submits and reaps) are
// answered by a DS2490Emulator with the simulated bus behind it. Programs started by this process
// after Plug() see the device, as long as this process and they run under umockdev's preload
// library (umockdev-wrapper), which also sets UMOCKDEV_DIR for them.
//
// The ioctls are answered on umockdev's own worker thread.
class UsbTestbed {
 public:
  explicit UsbTestbed(std::shared_ptr<SimBus> bus);
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // Whether this process runs under umockdev's preload library (needed before Plug()).
  static bool InMockEnvironment();

  // Adds the device to the testbed (again, after Unplug()). Throws std::runtime_error naming what
  // failed.
  void Plug();
  // Removes the device: an open handle's transfers fail as a vanished device's do, and a new
  // search does not find it.
  void Unplug();

  const std::string& DeviceNode() const { return node_; }
  // USB transfers answered so far (control, bulk and interrupt URBs).
  uint64_t Transfers() const { return transfers_; }

  // The usbfs ioctl handler (called from umockdev's worker thread).
  bool HandleIoctl(UMockdevIoctlClient* client);

 private:
  struct Completed;
  void SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  void ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
  // One transfer; the URB's status, with the bytes read put into `buffer`.
  int Transfer(uint8_t type, uint8_t endpoint, uint8_t* buffer, int length, int& actual);
  int Answer(uint8_t type, uint8_t endpoint, uint8_t* buffer, int length, int& actual);

  std::shared_ptr<SimBus> bus_;
  DS2490Emulator chip_;
  std::string node_ = "/dev/bus/usb/001/002";
  std::string syspath_;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  std::mutex mutex_;
  std::deque<UMockdevIoctlData*> completed_;  // submitted URBs waiting to be reaped
  std::atomic<bool> kernel_driver_{false};    // the kernel's ds2490 driver holds the device
  std::FILE* trace_ = nullptr;                // QB_USB_TRACE set: every transfer is written there
  bool owns_trace_ = false;
  std::atomic<bool> plugged_{false};
  bool attached_ = false;  // the handler is attached to the device node
  std::atomic<uint64_t> transfers_{0};
};

}  // namespace qb::sim
