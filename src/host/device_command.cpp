#include "host/device_command.h"

#include "host/builtin_host.h"

namespace qb {

DeviceCommandResult SendDeviceCommand(BuiltInHost& host,
                                      const std::shared_ptr<DeviceRecord>& device,
                                      const std::string& command, int32_t brightness) {
  if (BuiltInHost::CommandNumber(command) == 0) return DeviceCommandResult::kUnknownCommand;
  if (!device || device->deleted) return DeviceCommandResult::kNoDevice;
  if (device->hc.empty()) return DeviceCommandResult::kNoCode;
  // A copy of the code: the plug-in lets other work run while it drives the device.
  const std::string code = device->hc + device->dc;
  host.ExecX10(code, command, brightness);
  return DeviceCommandResult::kSent;
}

}  // namespace qb
