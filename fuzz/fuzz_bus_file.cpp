// Loads arbitrary text as a bus file: the loader must accept it or refuse it with an exception,
// and a bus it accepts must answer a search and device reads without crashing or hanging.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/families.h"
#include "platform/clock.h"
#include "sim/bus_file.h"
#include "sim/sim_bus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) return 0;
  qb::SimulatedClock clock;
  std::shared_ptr<qb::sim::SimBus> bus;
  try {
    bus = qb::sim::BuildBus(doc, clock, "fuzz");
  } catch (const std::exception&) {
    return 0;
  }
  if (bus->devices().size() > 16) return 0;
  qb::access::DSPortAdapter adapter("SIM", "fuzz",
                                    std::make_unique<qb::sim::SimBusMaster>(bus, "fuzz bus"));
  try {
    int found = 0;
    for (bool more = adapter.findFirstDevice(); more && found < 32; more = adapter.findNextDevice())
      ++found;
  } catch (const qb::access::AccessError&) {
  }
  for (const auto& device : bus->devices()) {
    auto c = qb::access::CreateContainer(device->rom().family());
    c->SetupContainer(&adapter, device->rom().ToString());
    try {
      c->readDevice();
    } catch (const qb::access::AccessError&) {
    }
    clock.Advance(std::chrono::seconds(61));
  }
  return 0;
}
