#include <memory>

#include "access/container.h"

namespace qb::access {

namespace {

// The DS1990A serial-number button (family 01): it holds its 64-bit ROM id and nothing else.
// Its state is empty; every other call is not supported.
class DS1990AContainer : public OneWireContainer {
 public:
  DS1990AContainer() : OneWireContainer(0x01) {}
  // Nothing to read beyond the address: an empty state, once the device answered.
  DeviceState readDevice() override {
    if (!isPresent()) Fail("the device does not answer");
    return {};
  }
};

}  // namespace

std::unique_ptr<OneWireContainer> MakeDS1990AContainer() {
  return std::make_unique<DS1990AContainer>();
}

}  // namespace qb::access
