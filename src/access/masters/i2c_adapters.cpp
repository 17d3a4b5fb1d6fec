#include "access/masters/i2c_adapters.h"

#include "access/errors.h"
#include "access/masters/ds2482_master.h"
#include "access/masters/i2c_device.h"
#include "access/provider.h"

namespace qb::access {

void RegisterI2cAdapters(OneWireAccessProvider& provider,
                         std::function<void(const std::string&)> log) {
  provider.RegisterAdapterType("DS2482", [log](const std::string& text) {
    std::string error;
    const auto port = ds2482::ParsePort(text, &error);
    if (!port) throw AccessError(ErrorCode::GeneralFailure, "DS2482", error);
    DS2482Master::Options options;
    options.log = log;
    auto master = std::make_unique<DS2482Master>(
        std::make_unique<I2cDevice>(port->bus, port->address), port->channel, options);
    master->Open();
    return std::unique_ptr<BusMaster>(std::move(master));
  });
}

}  // namespace qb::access
