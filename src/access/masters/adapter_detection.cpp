#include "access/masters/adapter_detection.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "access/errors.h"
#include "access/masters/ds2480b_master.h"
#include "access/masters/ds2482_master.h"
#include "access/masters/ds2490_master.h"
#include "access/masters/i2c_device.h"
#include "access/masters/serial_port.h"

namespace qb::access {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// The numbered nodes under `folder` whose name starts with `prefix`, in numeric order.
std::vector<std::string> Numbered(const std::string& folder, const std::string& prefix) {
  std::vector<std::pair<long, std::string>> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string number = name.substr(prefix.size());
    if (number.find_first_not_of("0123456789") != std::string::npos || number.size() > 6) continue;
    found.emplace_back(std::stol(number), it->path().string());
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& [n, path] : found) paths.push_back(path);
  return paths;
}

std::vector<FoundAdapter> UsbDS2490s() {
  std::vector<FoundAdapter> found;
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return found;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
    if (d.idVendor != ds2490::kVendorId || d.idProduct != ds2490::kProductId) continue;
    const unsigned bus = libusb_get_bus_number(list[i]);
    const unsigned address = libusb_get_device_address(list[i]);
    char text[64];
    std::snprintf(text, sizeof text, "DS2490 USB adapter (bus %03u device %03u)", bus, address);
    found.push_back({"DS2490", "USB:" + std::to_string(bus) + ":" + std::to_string(address), text});
  }
  if (list) libusb_free_device_list(list, 1);
  libusb_exit(context);
  return found;
}

// Whether a DS2482 answers at this address: a device reset, then the status shows the reset flag
// and nothing a reset clears. Returns the number of channels (1 or 8), or 0.
int ProbeDS2482(I2cLink& link) {
  const uint8_t reset = ds2482::kDeviceReset;
  uint8_t status = 0;
  if (!link.Write(&reset, 1) || !link.Read(&status, 1)) return 0;
  if ((status & ~ds2482::kLogicLevel) != ds2482::kDeviceWasReset) return 0;
  // Channel 0 is the one a device reset selects: choosing it changes nothing.
  const uint8_t select[] = {ds2482::kChannelSelect, ds2482::ChannelCode(0)};
  uint8_t channel = 0;
  if (link.Write(select, sizeof select) && link.Read(&channel, 1) &&
      channel == ds2482::ChannelReadBack(0))
    return 8;
  return 1;
}

// Whether a DS2480B answers on the port: a break, the timing byte and one reset command, whose
// reply must be a reset reply carrying the DS2480B's chip id.
bool ProbeDS2480B(SerialLink& link, std::chrono::milliseconds timeout) {
  link.SetBaudRate(9600);
  link.SendBreak();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  link.DiscardInput();
  const uint8_t probe[] = {ds2480b::kTimingByte, ds2480b::ResetCommand(Speed::Regular)};
  link.Write(probe, sizeof probe);
  uint8_t reply[2] = {0, 0};
  const size_t got = link.Read(reply, 2, timeout);
  // The answer to the reset; a chip that saw no break (behind a pseudo-terminal) also answers
  // the timing byte as a reset, so the last byte counts.
  return got >= 1 && ds2480b::ParseResetReply(reply[got - 1]).has_value();
}

}  // namespace

std::string FormatFoundAdapter(const FoundAdapter& a) {
  return a.type + " " + a.port + "  " + a.description;
}

std::vector<FoundAdapter> DetectAdapters(const DetectionOptions& options) {
  const auto deadline = Clock::now() + options.budget;
  auto log = [&](const std::string& line) {
    if (options.log) options.log(line);
  };
  auto out_of_time = [&](const std::string& what) {
    if (Clock::now() < deadline) return false;
    log("adapter detection ran out of time before " + what);
    return true;
  };
  std::vector<FoundAdapter> found;

  // USB DS2490 adapters.
  // A lone adapter is simply "USB"; several are told apart by bus and address.
  auto usb = options.list_usb ? options.list_usb() : UsbDS2490s();
  if (usb.size() == 1) usb.front().port = "USB";
  found.insert(found.end(), usb.begin(), usb.end());

  // DS2482 bridges on every I2C bus.
  for (const auto& bus : Numbered(options.dev_root, "i2c-")) {
    for (int address = 0x18; address <= 0x1F; ++address) {
      if (out_of_time(bus)) break;
      std::unique_ptr<I2cLink> link;
      try {
        link = options.open_i2c ? options.open_i2c(bus, address)
                                : std::make_unique<I2cDevice>(bus, address);
      } catch (const AccessError& e) {
        log(e.what());
        if (std::string(e.what()).find("cannot open") != std::string::npos) break;
        continue;  // the address is a kernel driver's
      }
      if (!link) continue;
      int channels = 0;
      try {
        channels = ProbeDS2482(*link);
      } catch (const AccessError& e) {
        log(e.what());
      }
      ds2482::PortText port{bus, address, std::nullopt};
      if (channels == 1) {
        found.push_back({"DS2482", ds2482::FormatPort(port), "DS2482-100 on " + link->Describe()});
      } else if (channels == 8) {
        for (int c = 0; c < 8; ++c) {
          port.channel = c;
          found.push_back({"DS2482", ds2482::FormatPort(port),
                           "DS2482-800 channel " + std::to_string(c) + " on " + link->Describe()});
        }
      }
    }
  }

  // The kernel's own 1-Wire masters.
  for (const auto& master : Numbered(options.sys_root + "/bus/w1/devices", "w1_bus_master")) {
    const std::string name = fs::path(master).filename().string();
    found.push_back({"W1", name, "Linux kernel 1-Wire master " + name});
  }

  // Serial ports where a DS2480B answers.
  std::vector<std::string> serial;
  for (const auto& path : Numbered(options.dev_root, "ttyS"))
    if (serial.size() < 4) serial.push_back(path);
  for (const char* prefix : {"ttyUSB", "ttyACM"})
    for (const auto& path : Numbered(options.dev_root, prefix)) serial.push_back(path);
  serial.insert(serial.end(), options.extra_serial_ports.begin(), options.extra_serial_ports.end());
  for (const auto& path : serial) {
    if (out_of_time(path)) break;
    try {
      auto link = options.open_serial ? options.open_serial(path)
                                      : std::unique_ptr<SerialLink>(new SerialPort(path));
      if (link && ProbeDS2480B(*link, options.serial_timeout))
        found.push_back({"DS9097U", path, "DS2480B serial adapter on " + path});
    } catch (const AccessError&) {
      // No device behind the node (most ttyS ports), or it is in use.
    }
  }
  return found;
}

}  // namespace qb::access
