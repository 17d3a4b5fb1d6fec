#include "access/ds2413.h"

#include "access/families.h"

namespace qb::access {

namespace {
constexpr uint8_t kPioAccessWrite = 0x5A;
}  // namespace

void DS2413Container::writeDevice(const DeviceState& state) {
  CheckStateSize(state, 1, "writeDevice");
  WritePio(kPioAccessWrite, state);
}

std::unique_ptr<OneWireContainer> MakeDS2413Container() {
  return std::make_unique<DS2413Container>();
}

}  // namespace qb::access
