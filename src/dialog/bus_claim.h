#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "onewire/bound_container.h"

namespace qb {
namespace dialog {

// The bus for one dialog operation on one device: sets the busy flag that makes a poll tick skip
// and binds the device's container in the configuration slot (BoundContainer, which holds the
// container and the adapter by shared ownership, so events that run while the operation waits
// cannot free them under it), and undoes both on every way out.
class BusClaim {
 public:
  explicit BusClaim(const std::string& rom);
  ~BusClaim();
  BusClaim(const BusClaim&) = delete;
  BusClaim& operator=(const BusClaim&) = delete;

  // A container was bound and the device answers on the bus.
  bool Present();
  // Only after Present() said yes.
  access::OneWireContainer& Container() { return bound_->c(); }
  const std::shared_ptr<access::OneWireContainer>& Shared() const { return bound_->container(); }

 private:
  bool busy_before_;
  std::optional<BoundContainer> bound_;
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
