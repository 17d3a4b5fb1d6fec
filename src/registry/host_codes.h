#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/host_interface.h"

namespace qb {

struct DSDevice;

// The plug-in's house codes: loads the table (count -1) or makes `count` its new upper index,
// fetching a free house code from the host for every blank entry.
void InitHouseCodes(int32_t count);
// The character code of a house code no host device uses, starting from the host's proposal;
// -1 when the host has none.
int32_t NextFreeHouseCode();
// The lowest free device code under a house code among the plug-in's host devices.
int32_t NextFreeDeviceCode(const std::string& house_code);
// A free host code: returns the device code and sets `house_code`; grows the table when every
// house code is full.
int32_t AllocateHostCode(std::string& house_code);
// Creates the host device of a channel record.
void CreateHSDevice(DSDevice& record, const std::string& part_name,
                    const std::string& initial_value, const std::string& device_name);
// Sets the buttons, dimming, misc and iotype of a host device from its key.
void SetHSDeviceType(const std::string& key, HostDevice& device);
// Rebuilds the registry from the plug-in's host devices.
void AdoptHSDevices(bool refresh);
// The channel record bound to a host code, or null.
std::shared_ptr<DSDevice> GetHSROM(const std::string& house_code, const std::string& device_code);
// GetHSROM, and writes the record's key into the host device; raises HostError when none.
std::shared_ptr<DSDevice> BindHSDevice(HostDevice& device, const std::string& house_code,
                                       const std::string& device_code);
// The host reference of the plug-in's device with this code, or -1.
int32_t FindHSDeviceRef(const std::string& house_code, int32_t device_code);
// The plug-in's host device bound to a key, or null.
std::shared_ptr<HostDevice> FindHSDeviceByKey(const std::string& key);
// Writes the key into the plug-in's host device with this code.
void UpdateEPROMAddress(const std::string& house_code, const std::string& device_code,
                        const std::string& key);

}  // namespace qb
