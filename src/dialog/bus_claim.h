#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/masters/adapter_detection.h"
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

// What Autodetect found.
struct AutodetectResult {
  bool found = false;
  std::string type;         // the adapter type for IntType ("DS9097U", "DS2482", ...)
  std::string port;         // the port number as the settings hold it ("1", "/dev/ttyUSB0")
  std::string port_text;    // the device opened
  std::string message;      // for the person who pressed the button
  std::string write_error;  // writing the default-adapter file failed
};
// Looks for adapters as DetectAdapters does (USB DS2490s, DS2482s, kernel 1-Wire masters, then
// DS2480Bs on the serial ports and on `extra_ports`); the first found is the result and, when its
// type has a driver port type (serial, USB, I2C), is written to the default-adapter file.
AutodetectResult Autodetect(const std::string& default_adapter_file,
                            const std::vector<std::string>& extra_ports = {});
// The result for the adapters found (the first is taken), written as Autodetect writes it.
AutodetectResult TakeFirstAdapter(const std::string& default_adapter_file,
                                  const std::vector<access::FoundAdapter>& found);

}  // namespace dialog
}  // namespace qb
