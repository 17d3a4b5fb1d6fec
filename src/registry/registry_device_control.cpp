#include "registry/registry_device_control.h"

#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb {

namespace {
ChannelRef RefOf(const DSDevice& record) {
  const auto parent = record.Parent.lock();
  return ChannelRef{record.ROM, parent ? static_cast<uint32_t>(parent->Caps) : 0u};
}
}  // namespace

void RegistryDeviceControl::AdoptHSDevices(bool refresh) {
  qb::AdoptHSDevices(refresh);
}

std::optional<ChannelRef> RegistryDeviceControl::GetHSROM(const std::string& hc,
                                                          const std::string& dc) {
  auto record = qb::GetHSROM(hc, dc);
  if (!record) return std::nullopt;
  return RefOf(*record);
}

std::optional<ChannelRef> RegistryDeviceControl::BindHSDevice(HostDevice* device,
                                                              const std::string& hc,
                                                              const std::string& dc) {
  auto record = qb::GetHSROM(hc, dc);
  if (!record) return std::nullopt;
  if (device) device->set_iomisc(record->ROM);
  return RefOf(*record);
}

void RegistryDeviceControl::UpdateHSDev(const ChannelRef& channel, const std::string& value) {
  if (auto record = gROMs().FindDev(channel.key)) qb::UpdateHSDev(*record, value);
}

}  // namespace qb
