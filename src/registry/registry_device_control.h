#pragma once

#include "core/plugin_parts.h"

namespace qb {

// The plug-in object's view of the device registry: host-code lookups, adoption and value
// updates go to the registry; the device operations themselves (switch, potentiometer, A/D
// output writes and the bus scan) are done by `operations`.
class RegistryDeviceControl : public DeviceControl {
 public:
  explicit RegistryDeviceControl(std::shared_ptr<DeviceControl> operations)
      : ops_(std::move(operations)) {}

  void AdoptHSDevices(bool refresh) override;
  void GetDevices() override { ops_->GetDevices(); }
  std::optional<ChannelRef> GetHSROM(const std::string& hc, const std::string& dc) override;
  std::optional<ChannelRef> BindHSDevice(HostDevice* device, const std::string& hc,
                                         const std::string& dc) override;
  void SetSwitch(const ChannelRef& channel, bool on) override { ops_->SetSwitch(channel, on); }
  void SetPot(const ChannelRef& channel, int32_t wiper, bool unscaled) override {
    ops_->SetPot(channel, wiper, unscaled);
  }
  void AD4Adjust(int channel, int setting, double value, const std::string& key) override {
    ops_->AD4Adjust(channel, setting, value, key);
  }
  void UpdateHSDev(const ChannelRef& channel, const std::string& value) override;
  void WriteOutput(const ChannelRef& channel, int16_t command, int16_t brightness) override {
    ops_->WriteOutput(channel, command, brightness);
  }

 private:
  std::shared_ptr<DeviceControl> ops_;
};

}  // namespace qb
