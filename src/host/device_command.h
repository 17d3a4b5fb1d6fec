#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qb {

class BuiltInHost;
struct DeviceRecord;

// What became of a command sent to a host device from outside the plug-in (the JSON API, MQTT).
enum class DeviceCommandResult {
  kSent,            // handed to the host's ExecX10, and so to the plug-in's SetIO
  kUnknownCommand,  // not On, Off, Dim or Bright
  kNoDevice,        // the device is gone
  kNoCode,          // the device has no house code yet, so the host cannot address it
};

// Sends `command` ("On", "Off", "Dim" or "Bright") with `brightness` to the device through the
// host's command path: the host records the new status and hands the command to the plug-in that
// owns the device. Runs on the plug-in thread.
DeviceCommandResult SendDeviceCommand(BuiltInHost& host,
                                      const std::shared_ptr<DeviceRecord>& device,
                                      const std::string& command, int32_t brightness = 0);

}  // namespace qb
