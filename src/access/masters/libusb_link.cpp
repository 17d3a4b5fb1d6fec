#include "access/masters/libusb_link.h"

#include <libusb.h>

#include <cstdio>
#include <vector>

#include "access/errors.h"
#include "access/masters/ds2490_master.h"
#include "access/masters/master_hooks.h"

namespace qb::access {

namespace {

constexpr uint8_t kRequestTypeVendorOut = 0x40;  // vendor request, host to device, device
constexpr unsigned char kEndpointOut = 0x02;
constexpr unsigned char kEndpointIn = 0x83;
constexpr unsigned char kEndpointState = 0x81;
constexpr unsigned int kControlTimeoutMs = 1000;
// The udev rule the Debian package installs (lib/udev/rules.d/60-quellbrook-1wire-ds9490r.rules);
// without it the device node is root's only.
constexpr const char* kUdevRule =
    "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"04fa\", ATTR{idProduct}==\"2490\", "
    "GROUP=\"plugdev\", MODE=\"0660\"";

bool ParseNumber(const std::string& text, int& value) {
  if (text.empty() || text.size() > 4) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

std::string NodePath(int bus, int address) {
  char path[64];
  std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus, address);
  return path;
}

}  // namespace

std::optional<UsbPortChoice> ParseUsbPort(const std::string& port) {
  if (port.rfind("USB", 0) != 0) return std::nullopt;
  const std::string rest = port.substr(3);
  UsbPortChoice choice;
  if (rest.empty()) return choice;
  if (rest[0] == ':') {
    const auto colon = rest.find(':', 1);
    if (colon == std::string::npos) return std::nullopt;
    int bus = 0, address = 0;
    if (!ParseNumber(rest.substr(1, colon - 1), bus) ||
        !ParseNumber(rest.substr(colon + 1), address) || bus < 1 || address < 1)
      return std::nullopt;
    choice.bus = bus;
    choice.address = address;
    return choice;
  }
  if (!ParseNumber(rest, choice.index) || choice.index < 1) return std::nullopt;
  return choice;
}

LibusbLink::LibusbLink(const std::string& port, std::function<void(const std::string&)> log) {
  try {
    Open(port, log);
  } catch (...) {
    Release();
    throw;
  }
}

void LibusbLink::Open(const std::string& port, const std::function<void(const std::string&)>& log) {
  const auto choice = ParseUsbPort(port);
  if (!choice) {
    ThrowBusError("DS2490", "\"" + port +
                                "\" is not a USB port: use USB (the first DS2490 adapter), USB2 "
                                "(the second), or USB:BUS:ADDRESS as lsusb shows it");
  }
  if (int rc = libusb_init(&context_); rc != 0) {
    context_ = nullptr;
    Fail("USB cannot be used", rc);
  }
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) Fail("the USB devices cannot be listed", static_cast<int>(count));
  libusb_device* found = nullptr;
  int seen = 0;
  for (ssize_t i = 0; i < count && !found; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
    if (d.idVendor != ds2490::kVendorId || d.idProduct != ds2490::kProductId) continue;
    const int bus = libusb_get_bus_number(list[i]);
    const int address = libusb_get_device_address(list[i]);
    if (choice->bus ? (*choice->bus == bus && *choice->address == address)
                    : ++seen == choice->index) {
      found = libusb_ref_device(list[i]);
    }
  }
  libusb_free_device_list(list, 1);
  if (!found) {
    ThrowBusError("DS2490", "no DS2490 USB adapter (04FA:2490) " +
                                (choice->bus ? "at bus " + std::to_string(*choice->bus) +
                                                   " address " + std::to_string(*choice->address)
                                 : choice->index == 1
                                     ? std::string("is plugged in")
                                     : "number " + std::to_string(choice->index) +
                                           " is plugged in (" + std::to_string(seen) + " found)"));
  }
  const int bus = libusb_get_bus_number(found);
  const int address = libusb_get_device_address(found);
  const std::string node = NodePath(bus, address);
  name_ = "USB " + std::to_string(bus) + ":" + std::to_string(address);
  const int rc = libusb_open(found, &handle_);
  libusb_unref_device(found);
  if (rc == LIBUSB_ERROR_ACCESS) {
    handle_ = nullptr;
    ThrowBusError("DS2490",
                  "no permission to open the DS2490 USB adapter at " + node +
                      ": install the udev rule (" + std::string(kUdevRule) +
                      ") in /etc/udev/rules.d, add this user to the plugdev group, and plug the "
                      "adapter in again");
  }
  if (rc != 0) {
    handle_ = nullptr;
    Fail("the DS2490 USB adapter at " + node + " cannot be opened", rc);
  }
  if (libusb_kernel_driver_active(handle_, 0) == 1) {
    const int detached = libusb_detach_kernel_driver(handle_, 0);
    const std::string note =
        detached == 0
            ? "the kernel's ds2490 driver held the adapter at " + node + "; it was detached"
            : "the kernel's ds2490 driver holds the adapter at " + node +
                  " and could not be detached (" + libusb_strerror(detached) + ")";
    NoteThrough(log, note);
  }
  if (int c = libusb_claim_interface(handle_, 0); c != 0) {
    if (c == LIBUSB_ERROR_ACCESS) {
      ThrowBusError("DS2490", "no permission to claim the DS2490 USB adapter at " + node +
                                  ": install the udev rule (" + std::string(kUdevRule) +
                                  ") and add this user to the plugdev group");
    }
    Fail("the DS2490 USB adapter at " + node +
             " cannot be claimed (another program, such as owserver, may hold it)",
         c);
  }
  claimed_ = true;
  if (int c = libusb_set_interface_alt_setting(handle_, 0, 3); c != 0)
    Fail("the DS2490 USB adapter at " + node + " refuses its alternate setting 3", c);
}

LibusbLink::~LibusbLink() {
  Release();
}

void LibusbLink::Release() {
  if (handle_) {
    if (claimed_) libusb_release_interface(handle_, 0);
    libusb_close(handle_);
  }
  if (context_) libusb_exit(context_);
  handle_ = nullptr;
  context_ = nullptr;
  claimed_ = false;
}

void LibusbLink::Fail(const std::string& what, int code) const {
  std::string message = what + ": " + libusb_strerror(code);
  if (code == LIBUSB_ERROR_NO_DEVICE) message = what + ": the adapter was unplugged";
  ThrowBusError("DS2490", message);
}

void LibusbLink::Control(uint8_t request, uint16_t value, uint16_t index) {
  ++transfers_;
  const int rc = libusb_control_transfer(handle_, kRequestTypeVendorOut, request, value, index,
                                         nullptr, 0, kControlTimeoutMs);
  if (rc < 0) Fail("the DS2490 on " + name_ + " refused a request", rc);
}

void LibusbLink::BulkWrite(const uint8_t* data, size_t length) {
  ++transfers_;
  int done = 0;
  std::vector<uint8_t> copy(data, data + length);
  const int rc = libusb_bulk_transfer(handle_, kEndpointOut, copy.data(), static_cast<int>(length),
                                      &done, kControlTimeoutMs);
  if (rc < 0) Fail("the DS2490 on " + name_ + " took no data", rc);
  if (static_cast<size_t>(done) != length)
    ThrowBusError("DS2490", "the DS2490 on " + name_ + " took " + std::to_string(done) + " of " +
                                std::to_string(length) + " bytes");
}

size_t LibusbLink::BulkRead(uint8_t* data, size_t length, std::chrono::milliseconds timeout) {
  ++transfers_;
  int done = 0;
  const int rc = libusb_bulk_transfer(handle_, kEndpointIn, data, static_cast<int>(length), &done,
                                      static_cast<unsigned int>(timeout.count()));
  if (rc == LIBUSB_ERROR_TIMEOUT) return static_cast<size_t>(done);
  if (rc < 0) Fail("the DS2490 on " + name_ + " returned no data", rc);
  return static_cast<size_t>(done);
}

size_t LibusbLink::InterruptRead(uint8_t* data, size_t length, std::chrono::milliseconds timeout) {
  ++transfers_;
  int done = 0;
  const int rc = libusb_interrupt_transfer(handle_, kEndpointState, data, static_cast<int>(length),
                                           &done, static_cast<unsigned int>(timeout.count()));
  if (rc == LIBUSB_ERROR_TIMEOUT) return static_cast<size_t>(done);
  if (rc < 0) Fail("the DS2490 on " + name_ + " sent no state", rc);
  return static_cast<size_t>(done);
}

}  // namespace qb::access
