#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qb {
namespace access {
class DSPortAdapter;
class OneWireContainer;
}  // namespace access

namespace dialog {

// The bus for one dialog operation on one device: sets the busy flag that makes a poll tick skip,
// prepares the adapter, binds the device's container in the configuration slot and releases all
// of it on every way out. The container and the adapter are held by shared ownership, so events
// that run while the operation waits (a web command binding the same slot, a restart of the
// adapter) cannot free them under it.
class BusClaim {
 public:
  explicit BusClaim(const std::string& rom);
  ~BusClaim();
  BusClaim(const BusClaim&) = delete;
  BusClaim& operator=(const BusClaim&) = delete;

  // A container was bound and the device answers on the bus.
  bool Present();
  access::OneWireContainer& Container() { return *container_; }
  const std::shared_ptr<access::OneWireContainer>& Shared() const { return container_; }

 private:
  bool busy_before_;
  std::shared_ptr<access::DSPortAdapter> adapter_;
  std::shared_ptr<access::OneWireContainer> container_;
};

// The serial ports Autodetect probes for a DS2480B adapter, and what it found.
struct AutodetectResult {
  bool found = false;
  std::string port;         // the port number as the settings hold it ("1", "/dev/ttyUSB0")
  std::string port_text;    // the device opened
  std::string message;      // for the person who pressed the button
  std::string write_error;  // writing the default-adapter file failed
};
// Tries each serial port in turn (/dev/ttyS0 to /dev/ttyS3, /dev/ttyUSB0 to /dev/ttyUSB3, and
// `extra_ports`), opening a DS2480B adapter on it; the first that answers is written to the
// default-adapter file as port type 5 and its port number.
AutodetectResult Autodetect(const std::string& default_adapter_file,
                            const std::vector<std::string>& extra_ports = {});

}  // namespace dialog
}  // namespace qb
