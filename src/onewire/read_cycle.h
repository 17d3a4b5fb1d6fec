#pragma once

#include "core/plugin_parts.h"

namespace qb {

// One network read cycle: walks every known device, checks presence, services temperature
// alarms, and reads one device of each kind that is due (round-robin), plus every switch,
// counter, potentiometer and four-channel A/D converter.
void ReadNet();

// The network's per-tick work as the poll tick reaches it.
class OneWireBusCycle : public BusCycle {
 public:
  void CheckPresence() override;
  void ReadNet() override { qb::ReadNet(); }
};

// The device operations of the network that the plug-in object calls.
class OneWireDeviceOperations : public PendingDeviceControl {
 public:
  void GetDevices() override;
  void SetSwitch(const ChannelRef& channel, bool on) override;
  void SetPot(const ChannelRef& channel, int32_t wiper, bool unscaled) override;
  void AD4Adjust(int channel, int setting, double value, const std::string& key) override;
  // Any other device commanded by the host is read at once.
  void WriteOutput(const ChannelRef& channel, int16_t command, int16_t brightness) override;
};

}  // namespace qb
