#include "access/masters/serial_adapters.h"

#include "access/errors.h"
#include "access/masters/ds2480b_master.h"
#include "access/masters/passive_serial_master.h"
#include "access/masters/serial_port.h"
#include "access/provider.h"

namespace qb::access {

void RegisterSerialAdapters(OneWireAccessProvider& provider,
                            std::function<void(const std::string&)> log) {
  const AdapterOpener open_ds2480b = [](const std::string& port) -> std::unique_ptr<BusMaster> {
    auto master = std::make_unique<DS2480BMaster>(std::make_unique<SerialPort>(port));
    master->Open();
    return master;
  };
  provider.RegisterAdapterType("DS9097U", open_ds2480b);
  provider.RegisterAdapterType("DS1411", open_ds2480b);

  const AdapterOpener open_passive = [log](const std::string& port) -> std::unique_ptr<BusMaster> {
    PassiveSerialMaster::Options options;
    options.log = log;
    auto master =
        std::make_unique<PassiveSerialMaster>(std::make_unique<SerialPort>(port), options);
    master->Open();
    return master;
  };
  provider.RegisterAdapterType("DS9097E", open_passive);
  provider.RegisterAdapterType("DS9097", open_passive);

  const AdapterOpener refuse_parallel = [](const std::string&) -> std::unique_ptr<BusMaster> {
    throw AccessError(ErrorCode::NotSupported, "OneWireAccessProvider",
                      "parallel-port adapters (DS1410D, DS1410E) are not supported; use a serial "
                      "adapter (DS9097U or DS1411 with a DS2480B, or the passive DS9097E or "
                      "DS9097), a USB DS2490 adapter (DS9490R, DS1490) or the simulator (SIM)");
  };
  provider.RegisterAdapterType("DS1410E", refuse_parallel);
  provider.RegisterAdapterType("DS1410D", refuse_parallel);
}

}  // namespace qb::access
