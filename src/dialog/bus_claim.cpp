#include "dialog/bus_claim.h"

#include "access/adapter.h"
#include "access/container.h"
#include "core/plugin_state.h"
#include "onewire/adapter_setup.h"
#include "onewire/device_reading.h"
#include "onewire/family_catalogue.h"
#include "onewire/onewire_state.h"

namespace qb::dialog {

namespace {
constexpr int kConfigSlot = 3;

int FamilyNumber(const std::string& rom) {
  const std::string f = FamilyCode(rom);
  return f.empty() ? 0 : std::stoi(f, nullptr, 16);
}
}  // namespace

BusClaim::BusClaim(const std::string& rom)
    : busy_before_(Plugin().ExternalBusy), adapter_(OneWire().adapter) {
  Plugin().ExternalBusy = true;
  if (!adapter_ || rom.size() < 16) return;
  PrepAdapter(FamilyNumber(rom), false, true, false);
  if (SetupContainer(rom.substr(0, 16), kConfigSlot, true)) container_ = SlotContainer(kConfigSlot);
}

BusClaim::~BusClaim() {
  try {
    if (container_ && SlotContainer(kConfigSlot) == container_) ReleaseContainer(kConfigSlot);
    if (adapter_) adapter_->endExclusive();
  } catch (...) {
  }
  Plugin().ExternalBusy = busy_before_;
}

bool BusClaim::Present() {
  if (!container_) return false;
  try {
    return container_->isPresent();
  } catch (...) {
    return false;
  }
}

}  // namespace qb::dialog
