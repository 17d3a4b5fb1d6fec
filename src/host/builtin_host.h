#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/host_interface.h"
#include "host/device_table.h"
#include "host/host_events.h"
#include "host/host_log.h"

namespace qb {

class Clock;

// The stand-alone host: the host application and its callback object in one, with a persistent
// device table, a log, speech and the link to the plug-in it drives. Lives on the plug-in thread;
// the web server reaches it only through the event loop.
class BuiltInHost : public HostApplication,
                    public HostCallback,
                    public std::enable_shared_from_this<BuiltInHost> {
 public:
  static constexpr int32_t kInterfaceVersion = 3;

  BuiltInHost(std::string app_path, Clock& clock, bool echo_log);

  // Opens the log and loads the device table; returns the problems found (already logged).
  void Start();
  // Writes the device table if it changed; reports a failure in the log.
  void SaveDevices();

  // The plug-in object this host drives (device commands go to its SetIO).
  void AttachPlugin(HostedPlugin* plugin) { plugin_ = plugin; }
  HostedPlugin* AttachedPlugin() const { return plugin_; }
  // The plug-in whose web link is registered, or null.
  HostedPlugin* LinkedPlugin() const { return linked_; }
  // The menu entries plug-ins registered, in order. The web pages offer them only where a
  // desktop can show what they open (the Setup dialog), as a host's menu would.
  const std::vector<std::string>& MenuEntries() const { return menu_entries_; }
  void SetDesktop(bool available) { desktop_ = available; }
  bool Desktop() const { return desktop_; }
  // Called on the plug-in thread after a device's name or location was changed through the API,
  // so the plug-in that owns it can follow at once.
  void OnDeviceEdited(std::function<void(const DeviceRecord&)> handler) {
    on_device_edited_ = std::move(handler);
  }
  void DeviceEdited(const DeviceRecord& device) {
    if (on_device_edited_) on_device_edited_(device);
  }
  // Called on the plug-in thread after every device command (ExecX10), once the plug-in has
  // driven the device and read it back, so that a bridge can pass the new state on at once
  // instead of at its next turn, which a long bus operation may hold up. One handler, set and
  // cleared by its owner: clearing with another owner leaves it alone.
  void OnCommandDone(const void* owner, std::function<void()> handler) {
    command_done_owner_ = owner;
    command_done_ = std::move(handler);
  }
  void ClearCommandDone(const void* owner) {
    if (command_done_owner_ != owner) return;
    command_done_owner_ = nullptr;
    command_done_ = nullptr;
  }
  // The web user of the request being answered (empty for the local user).
  void SetWebUser(const std::string& user) { web_user_ = user; }

  DeviceTable& devices() { return devices_; }
  // The host's events (the rules file events.json in the host's folder).
  HostEvents& events() { return events_; }
  HostLog& log() { return log_; }
  Clock& clock() { return clock_; }

  // HostApplication
  void writelog(const std::string& category, const std::string& text) override;
  void Speak(const std::string& text) override;
  std::string GetAppPath() override { return app_path_; }
  int32_t InterfaceVersion() override { return kInterfaceVersion; }
  std::string Version() override;
  void RegisterLink(HostedPlugin& plugin) override;
  void ExecX10(const std::string& device, const std::string& command,
               int32_t brightness = 0) override;
  int32_t DeviceCount() override { return devices_.Count(); }
  std::shared_ptr<HostDevice> GetDevice(int32_t index_or_ref) override;
  int32_t NewDevice(const std::string& name) override;
  void DeleteDevice(int32_t ref) override;
  std::string DeviceString(const std::string& code) override;
  HostTime DeviceLastChange(const std::string& code) override;
  void SetDeviceValue(const std::string& code, double value) override;
  void SetDeviceStatus(const std::string& code, int32_t status) override;
  void SetDeviceString(const std::string& code, const std::string& text) override;
  void SetDeviceLastChange(const std::string& code, HostTime when) override;
  void SetDeviceStale(const std::string& code, bool stale) override;
  std::string WEBLoggedInUser() override { return web_user_; }

  // HostCallback
  std::shared_ptr<HostApplication> GetHSIface() override { return shared_from_this(); }
  void WriteSplash(const std::string& text) override;
  void RegisterMenu(const std::string& title, const std::string& entry) override;
  void ForceFront(int32_t) override {}
  int32_t GetNextFreeIOCode() override;

  // The host's command number for a command text: 2 On, 3 Off, 4 Dim, 5 Bright; 0 when unknown.
  static int16_t CommandNumber(const std::string& command);

 private:
  void RemoveStaleTemporaryFiles();
  std::shared_ptr<DeviceRecord> Require(const std::string& code);

  std::string app_path_;
  Clock& clock_;
  HostLog log_;
  DeviceTable devices_;
  HostEvents events_;
  HostedPlugin* plugin_ = nullptr;
  HostedPlugin* linked_ = nullptr;
  std::string web_user_;
  std::vector<std::string> menu_entries_;
  bool desktop_ = false;
  bool have_espeak_ = false;
  std::function<void(const DeviceRecord&)> on_device_edited_;
  const void* command_done_owner_ = nullptr;
  std::function<void()> command_done_;
};

}  // namespace qb
