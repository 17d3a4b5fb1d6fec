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
  void CheckPresence() override {}
  void ReadNet() override { qb::ReadNet(); }
};

// The device operations of the network that the plug-in object calls (the scan now; the
// configuration writes come with their operations).
class OneWireDeviceOperations : public DeviceControl {
 public:
  void AdoptHSDevices(bool) override {}
  void GetDevices() override;
  std::optional<ChannelRef> GetHSROM(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<ChannelRef> BindHSDevice(HostDevice*, const std::string&,
                                         const std::string&) override {
    return std::nullopt;
  }
  void SetSwitch(const ChannelRef&, bool) override {}
  void SetPot(const ChannelRef&, int32_t, bool) override {}
  void AD4Adjust(int, int, int32_t, const std::string&) override {}
  void UpdateHSDev(const ChannelRef&, const std::string&) override {}
  void WriteOutput(const ChannelRef&, int16_t, int16_t) override {}
};

}  // namespace qb
