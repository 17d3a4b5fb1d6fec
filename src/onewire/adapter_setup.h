#pragma once

#include <cstdint>
#include <string>

#include "core/plugin_parts.h"

namespace qb {

namespace access {
class OneWireContainer;
}

// Opens the adapter of the settings (falling back to the system's default adapter), re-adopts the
// host's devices and starts the start-up timer. Empty text on success, else the error.
std::string InitHW(int32_t port);
// Before every use of the bus: ends any exclusive hold left open, begins a new one, sets the
// search target and resets the bus. Does nothing while another operation owns the bus, unless
// forced.
void PrepAdapter(int family, bool alarming_only, bool force, bool drop_speed);
// Chooses the speed of the adapter and one container from the speed setting.
void SetSpeed(access::OneWireContainer& container);
// 3 hyperdrive, 2 overdrive, 1 flex or 0 regular: the fastest the adapter can do.
int GetMaxSpeed();
// Takes the adapter type and port number of the system's default adapter into the settings.
void ReadTMEXDefaults();

// The adapter start-up as the plug-in object and the timer window reach it.
class OneWireAdapterStartup : public AdapterStartup {
 public:
  std::string InitHW(int32_t port) override { return qb::InitHW(port); }
  void EndExclusive() override;
  void ReleaseAdapter() override;
};

}  // namespace qb
