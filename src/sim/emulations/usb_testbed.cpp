#include "sim/emulations/usb_testbed.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qb::sim {

namespace {

// The device's descriptors as the kernel shows them in sysfs: the device descriptor, then the
// configuration with interface 0's four alternate settings (16 or 64 byte bulk packets, state
// every 10 ms or every 1 ms), each with the interrupt endpoint 0x81 and bulk endpoints 0x02 and
// 0x83.
std::string DescriptorsHex() {
  std::vector<uint8_t> d = {
      0x12, 0x01, 0x10, 0x01, 0xFF, 0x00, 0x00, 0x08,  // USB 1.1, vendor class, 8-byte ep0
      0xFA, 0x04, 0x90, 0x24, 0x02, 0x00,              // 04FA:2490, device release 0.02
      0x00, 0x00, 0x00, 0x01,                          // no strings, one configuration
  };
  const std::vector<uint8_t> config = {0x09, 0x02, 0x81, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32};
  d.insert(d.end(), config.begin(), config.end());
  for (uint8_t alt = 0; alt < 4; ++alt) {
    const uint8_t bulk = (alt % 2) ? 64 : 16;
    const uint8_t interval = alt < 2 ? 10 : 1;
    const std::vector<uint8_t> iface = {
        0x09, 0x04, 0x00, alt,  0x03, 0xFF, 0x00,     0x00, 0x00,  // interface 0, 3 endpoints
        0x07, 0x05, 0x81, 0x03, 0x20, 0x00, interval,              // state: interrupt IN
        0x07, 0x05, 0x02, 0x02, bulk, 0x00, 0x00,                  // data OUT
        0x07, 0x05, 0x83, 0x02, bulk, 0x00, 0x00,                  // data IN
    };
    d.insert(d.end(), iface.begin(), iface.end());
  }
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : d) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}

constexpr const char* kSysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";

std::string DeviceText() {
  return std::string("P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n") +
         "N: bus/usb/001/002\n"
         "E: SUBSYSTEM=usb\n"
         "E: DEVTYPE=usb_device\n"
         "E: DEVNAME=/dev/bus/usb/001/002\n"
         "E: BUSNUM=001\n"
         "E: DEVNUM=002\n"
         "E: PRODUCT=4fa/2490/2\n"
         "A: idVendor=04fa\n"
         "A: idProduct=2490\n"
         "A: bcdDevice=0002\n"
         "A: busnum=1\n"
         "A: devnum=2\n"
         "A: bConfigurationValue=1\n"
         "A: bNumConfigurations=1\n"
         "A: bNumInterfaces= 1\n"
         "A: speed=12\n"
         "A: manufacturer=Emulated\n"
         "A: product=DS9490R (emulated DS2490)\n"
         "A: dev=189:1\n"
         "H: descriptors=" +
         DescriptorsHex() + "\n";
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<UsbTestbed*>(self)->HandleIoctl(client) ? TRUE : FALSE;
}

}  // namespace

UsbTestbed::UsbTestbed(std::shared_ptr<SimBus> bus) : bus_(bus), chip_(std::move(bus)) {
  // QB_USB_DEVICE_STATE=kernel-driver plugs the device in held by the kernel's ds2490 driver,
  // which a program must detach before it can claim the device.
  if (const char* state = std::getenv("QB_USB_DEVICE_STATE"))
    kernel_driver_ = std::strcmp(state, "kernel-driver") == 0;
  // QB_USB_TRACE: "1" writes every transfer to stderr, a path appends them to that file.
  if (const char* trace = std::getenv("QB_USB_TRACE")) {
    trace_ = std::strchr(trace, '/') ? std::fopen(trace, "a") : stderr;
    owns_trace_ = trace_ && trace_ != stderr;
  }
}

UsbTestbed::~UsbTestbed() {
  if (owns_trace_) std::fclose(trace_);
  if (testbed_ && attached_) umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
  for (UMockdevIoctlData* urb : completed_) g_object_unref(urb);
  if (handler_) g_object_unref(handler_);
  if (testbed_) g_object_unref(testbed_);
}

bool UsbTestbed::InMockEnvironment() {
  // umockdev_in_mock_environment() answers only once a testbed exists: the preload library in
  // LD_PRELOAD is what matters here.
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

void UsbTestbed::Plug() {
  if (plugged_) return;
  if (!InMockEnvironment())
    throw std::runtime_error(
        "the USB emulation needs umockdev's preload library (run under "
        "umockdev-wrapper)");
  if (!testbed_) {
    testbed_ = umockdev_testbed_new();
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  }
  // Plugged in again: the handler of the first plug still answers the old handles (with ENODEV);
  // the device node made afresh gets it anew.
  if (attached_) umockdev_testbed_detach_ioctl(testbed_, node_.c_str(), nullptr);
  attached_ = false;
  {
    std::lock_guard lock(mutex_);
    for (UMockdevIoctlData* urb : completed_) g_object_unref(urb);
    completed_.clear();
  }
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, DeviceText().c_str(), &error) ||
      !(attached_ = umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &error))) {
    const std::string message = std::string("the emulated USB device cannot be added: ") +
                                (error ? error->message : "unknown error");
    if (error) g_error_free(error);
    throw std::runtime_error(message);
  }
  syspath_ = kSysPath;
  // The chip powers up afresh, as a replugged adapter does.
  chip_.Control(0, 0, 0);
  plugged_ = true;
}

void UsbTestbed::Unplug() {
  if (!plugged_) return;
  // The handler stays attached: a program holding the device reaps what was submitted before
  // (as from a real disconnect), then every call fails with ENODEV. A new search finds nothing.
  plugged_ = false;
  umockdev_testbed_remove_device(testbed_, syspath_.c_str());
}

int UsbTestbed::Transfer(uint8_t type, uint8_t endpoint, uint8_t* buffer, int length, int& actual) {
  ++transfers_;
  const int status = Answer(type, endpoint, buffer, length, actual);
  if (trace_) {
    const bool control = type == USBDEVFS_URB_TYPE_CONTROL;
    std::fprintf(trace_, "usb %s ep%02x len %d got %d status %d:", control ? "ctl" : "xfer",
                 endpoint, length, actual, status);
    const int shown = control ? std::min(length, 8) : (endpoint & 0x80) ? actual : length;
    for (int i = 0; i < shown; ++i) std::fprintf(trace_, " %02x", buffer[i]);
    std::fprintf(trace_, "\n");
    std::fflush(trace_);
  }
  return status;
}

int UsbTestbed::Answer(uint8_t type, uint8_t endpoint, uint8_t* buffer, int length, int& actual) {
  actual = 0;
  if (type == USBDEVFS_URB_TYPE_CONTROL) {
    if (length < 8) return -EINVAL;
    const uint8_t request_type = buffer[0];
    const uint8_t request = buffer[1];
    const uint16_t value = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
    const uint16_t index = static_cast<uint16_t>(buffer[4] | buffer[5] << 8);
    const uint16_t data_length = static_cast<uint16_t>(buffer[6] | buffer[7] << 8);
    // The chip takes vendor requests without data; anything else (a string descriptor asked
    // for, say) is stalled as the chip has none.
    if (request_type != 0x40 || data_length != 0) return -EPIPE;
    return chip_.Control(request, value, index) ? 0 : -EPIPE;
  }
  if (endpoint == 0x02) {
    chip_.BulkOut(buffer, static_cast<size_t>(length));
    actual = length;
    return 0;
  }
  if (endpoint == 0x83) {
    const auto data = chip_.BulkIn(static_cast<size_t>(length));
    std::memcpy(buffer, data.data(), data.size());
    actual = static_cast<int>(data.size());
    return 0;
  }
  if (endpoint == 0x81) {
    const auto packet = chip_.StatePacket();
    const size_t n = std::min(packet.size(), static_cast<size_t>(length));
    std::memcpy(buffer, packet.data(), n);
    actual = static_cast<int>(n);
    return 0;
  }
  return -EPIPE;
}

void UsbTestbed::SubmitUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  GError* error = nullptr;
  UMockdevIoctlData* urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
  if (!urb_data) {
    if (error) g_error_free(error);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  auto* urb = reinterpret_cast<usbdevfs_urb*>(urb_data->data);
  uint8_t* buffer = nullptr;
  if (urb->buffer_length > 0) {
    UMockdevIoctlData* buffer_data = umockdev_ioctl_data_resolve(
        urb_data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), &error);
    if (!buffer_data) {
      if (error) g_error_free(error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    buffer = buffer_data->data;
  }
  int actual = 0;
  int status = Transfer(urb->type, urb->endpoint, buffer, urb->buffer_length, actual);
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL && status == 0) actual = urb->buffer_length - 8;
  urb->status = status;
  urb->actual_length = actual;
  {
    std::lock_guard lock(mutex_);
    completed_.push_back(static_cast<UMockdevIoctlData*>(g_object_ref(urb_data)));
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbTestbed::ReapUrb(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* urb = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!completed_.empty()) {
      urb = completed_.front();
      completed_.pop_front();
    }
  }
  if (!urb) {
    umockdev_ioctl_client_complete(client, -1, plugged_ ? EAGAIN : ENODEV);
    return;
  }
  // The argument points at the caller's URB pointer, which gets the reaped URB's address.
  GError* error = nullptr;
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
  if (!slot) {
    if (error) g_error_free(error);
    g_object_unref(urb);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  umockdev_ioctl_data_set_ptr(slot, 0, urb);
  g_object_unref(urb);
  umockdev_ioctl_client_complete(client, 0, 0);
}

bool UsbTestbed::HandleIoctl(UMockdevIoctlClient* client) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  if (!plugged_) {
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
      ReapUrb(client, arg);  // what completed before the unplug, then ENODEV
    } else {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
    }
    return true;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      GError* error = nullptr;
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
      if (!caps) {
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
      }
      const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      std::memcpy(caps->data, &value, sizeof value);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_SUBMITURB:
      SubmitUrb(client, arg);
      return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      ReapUrb(client, arg);
      return true;
    case USBDEVFS_DISCARDURB:
      // Every URB completes as it is submitted: nothing is left to cancel.
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return true;
    case USBDEVFS_GETDRIVER: {
      if (!kernel_driver_) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver bound
        return true;
      }
      GError* error = nullptr;
      UMockdevIoctlData* d =
          umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), &error);
      if (!d) {
        if (error) g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
      }
      auto* driver = reinterpret_cast<usbdevfs_getdriver*>(d->data);
      std::snprintf(driver->driver, sizeof driver->driver, "ds2490");
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_IOCTL: {
      // The kernel driver's release (USBDEVFS_DISCONNECT through USBDEVFS_IOCTL).
      if (!kernel_driver_) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
      }
      kernel_driver_ = false;
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
      if (kernel_driver_) {  // held by the kernel's driver
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return true;
      }
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_DISCONNECT_CLAIM:
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    case USBDEVFS_RESET:
      chip_.Control(0, 0, 0);
      umockdev_ioctl_client_complete(client, 0, 0);
      return true;
    default:
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return true;
  }
}

}  // namespace qb::sim
