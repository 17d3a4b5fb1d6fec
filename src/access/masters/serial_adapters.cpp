#include "access/masters/serial_adapters.h"

#include "access/masters/ds2480b_master.h"
#include "access/masters/serial_port.h"
#include "access/provider.h"

namespace qb::access {

void RegisterSerialAdapters(OneWireAccessProvider& provider) {
  const AdapterOpener open_ds2480b = [](const std::string& port) -> std::unique_ptr<BusMaster> {
    auto master = std::make_unique<DS2480BMaster>(std::make_unique<SerialPort>(port));
    master->Open();
    return master;
  };
  provider.RegisterAdapterType("DS9097U", open_ds2480b);
  provider.RegisterAdapterType("DS1411", open_ds2480b);
}

}  // namespace qb::access
