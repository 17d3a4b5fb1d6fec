#include "onewire/bound_container.h"

#include "catalogue/family_catalogue.h"
#include "onewire/adapter_setup.h"
#include "onewire/device_reading.h"
#include "onewire/onewire_state.h"

namespace qb {

namespace {

int FamilyNumber(const std::string& rom) {
  const std::string f = FamilyCode(rom);
  return f.empty() ? 0 : std::stoi(f, nullptr, 16);
}

}  // namespace

BoundContainer::BoundContainer(const std::string& rom, int slot)
    : slot_(slot), adapter_(OneWire().adapter) {
  PrepAdapter(FamilyNumber(rom), false, true, false);
  if (SetupContainer(rom.substr(0, 16), slot, true)) container_ = SlotContainer(slot);
}

BoundContainer::~BoundContainer() {
  // A fault while letting go of the bus (an adapter unplugged meanwhile) must not escape a
  // destructor; the next operation prepares the adapter again.
  try {
    if (container_ && SlotContainer(slot_) == container_) ReleaseContainer(slot_);
    if (adapter_) adapter_->endExclusive();
  } catch (...) {
  }
}

}  // namespace qb
