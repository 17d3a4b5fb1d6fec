#include "access/masters/usb_adapters.h"

#include "access/masters/ds2490_master.h"
#include "access/masters/libusb_link.h"
#include "access/provider.h"

namespace qb::access {

void RegisterUsbAdapters(OneWireAccessProvider& provider,
                         std::function<void(const std::string&)> log) {
  for (const char* type : {"DS2490", "DS1490"}) {
    provider.RegisterAdapterType(
        type,
        [log, type = std::string(type)](const std::string& port) -> std::unique_ptr<BusMaster> {
          DS2490Master::Options options;
          options.type = type;
          auto master =
              std::make_unique<DS2490Master>(std::make_unique<LibusbLink>(port, log), options);
          master->Open();
          return master;
        });
  }
}

}  // namespace qb::access
