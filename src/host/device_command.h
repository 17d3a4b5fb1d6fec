#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qb {

class BuiltInHost;
struct DeviceRecord;

// What became of a command sent to a host device from outside the plug-in (the JSON API, MQTT,
// the host's events).
enum class DeviceCommandResult {
  kSent,      // handed to the host's ExecX10, and so to the plug-in's SetIO
  kRefused,   // the device does not take that command (the problem says which it takes)
  kNoDevice,  // the device is gone
  kNoCode,    // the device has no house code yet, so the host cannot address it
};

struct DeviceCommandOutcome {
  DeviceCommandResult result = DeviceCommandResult::kSent;
  std::string problem;  // for the user, when not sent
};

// The command names outside callers may use, in any case: "On", "Off", "Update" (read a
// measurement now), "Level" (a potentiometer's position 0 to 255 as `value`), "Dim" and "Bright"
// (`value` 0 to 100 per cent). Empty for any other name.
std::string CommandName(const std::string& command);

// Empty when `device` takes `command` with `value`, else why not. A device of the plug-in takes
// only the commands its channel takes (CheckCommand of the web pages, the one place that decides
// for the device list, the API, MQTT and events).
std::string DeviceCommandProblem(const DeviceRecord& device, const std::string& command,
                                 int32_t value = 0);

// Sends `command` with `value` to the device through the host's command path: the host records
// the new status and hands the command to the plug-in that owns the device. Runs on the plug-in
// thread.
DeviceCommandOutcome SendDeviceCommand(BuiltInHost& host,
                                       const std::shared_ptr<DeviceRecord>& device,
                                       const std::string& command, int32_t value = 0);

}  // namespace qb
