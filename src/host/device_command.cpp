#include "host/device_command.h"

#include <strings.h>

#include "host/builtin_host.h"
#include "web/channel_commands.h"

namespace qb {

std::string CommandName(const std::string& command) {
  for (const char* name : {"On", "Off", "Update", "Level", "Dim", "Bright"}) {
    if (strcasecmp(command.c_str(), name) == 0) return name;
  }
  return {};
}

namespace {

// The host's command for a device: a plug-in's device by its channel; any other device takes
// the host's own four commands.
std::string HostCommandOf(const DeviceRecord& device, const std::string& command, int32_t value,
                          HostCommand& out) {
  const std::string name = CommandName(command);
  if (name.empty())
    return "unknown command \"" + command + "\" (use On, Off, Update, Level, Dim or Bright)";
  if (!device.iomisc.empty()) return CheckCommand(device.iomisc, name, value, out);
  if (BuiltInHost::CommandNumber(name) == 0) return "this device takes On, Off, Dim or Bright";
  out = {name, value};
  return {};
}

}  // namespace

std::string DeviceCommandProblem(const DeviceRecord& device, const std::string& command,
                                 int32_t value) {
  HostCommand out;
  return HostCommandOf(device, command, value, out);
}

DeviceCommandOutcome SendDeviceCommand(BuiltInHost& host,
                                       const std::shared_ptr<DeviceRecord>& device,
                                       const std::string& command, int32_t value) {
  if (!device || device->deleted)
    return {DeviceCommandResult::kNoDevice, "the device is no longer there"};
  HostCommand out;
  if (auto problem = HostCommandOf(*device, command, value, out); !problem.empty())
    return {DeviceCommandResult::kRefused, problem};
  if (device->hc.empty())
    return {DeviceCommandResult::kNoCode,
            "the device has no house code yet, so it cannot take commands"};
  // A copy of the code: the plug-in lets other work run while it drives the device.
  const std::string code = device->hc + device->dc;
  host.ExecX10(code, out.command, out.brightness);
  return {};
}

}  // namespace qb
