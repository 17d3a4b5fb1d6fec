#include "onewire/onewire_state.h"

#include "access/masters/all_adapters.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "sim/bus_file.h"

namespace qb {

namespace {

OneWireState& Instance() {
  static OneWireState state;
  return state;
}

void RegisterProductAdapterTypes(access::OneWireAccessProvider& provider) {
  // A simulated bus follows edits of its file; reloads and refused edits go to the log.
  sim::RegisterSimAdapter(provider, TheClock(), [](const std::string& text) {
    WriteLog(LogClass::Always, "1-Wire I/F", text);
  });
  // Notes from an adapter (a passive one cannot give a strong pull-up) go to the log once.
  const auto note = [](const std::string& text) { WriteLog(LogClass::Always, "1-Wire I/F", text); };
  access::RegisterHardwareAdapters(provider, note);
}

}  // namespace

OneWireState& OneWire() {
  OneWireState& s = Instance();
  if (!s.register_adapter_types) s.register_adapter_types = RegisterProductAdapterTypes;
  return s;
}

// GCC 12 takes the maps of the fresh state moved in below for uninitialised
// (-Wmaybe-uninitialized, a false alarm about std::map's move assignment).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
void ResetOneWire() {
  OneWireState& s = Instance();
  if (s.adapter) {
    try {
      s.adapter->freePort();
    } catch (...) {
    }
  }
  s = OneWireState{};
  s.register_adapter_types = RegisterProductAdapterTypes;
}
#pragma GCC diagnostic pop

}  // namespace qb
