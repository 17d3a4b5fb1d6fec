#include "dialog/bus_claim.h"

#include "access/container.h"
#include "core/plugin_state.h"
#include "onewire/onewire_state.h"

namespace qb::dialog {

namespace {
constexpr int kConfigSlot = 3;
}  // namespace

BusClaim::BusClaim(const std::string& rom) : busy_before_(Plugin().ExternalBusy) {
  Plugin().ExternalBusy = true;
  if (OneWire().adapter && rom.size() >= 16) bound_.emplace(rom, kConfigSlot);
}

BusClaim::~BusClaim() {
  bound_.reset();
  Plugin().ExternalBusy = busy_before_;
}

bool BusClaim::Present() {
  if (!bound_ || !bound_->ok()) return false;
  try {
    return bound_->c().isPresent();
  } catch (...) {
    return false;
  }
}

}  // namespace qb::dialog
