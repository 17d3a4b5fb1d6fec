#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace qb {

// A host call that failed. Callers that suppress host errors catch exactly this.
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using HostTime = std::chrono::system_clock::time_point;

// A device in the host's device list. Properties are read and written by name as the host spells
// them; the plug-in owns the ones it set on its own devices.
class HostDevice {
 public:
  virtual ~HostDevice() = default;
  virtual int32_t ref() const = 0;
  virtual std::string name() const = 0;
  virtual void set_name(const std::string& value) = 0;
  virtual std::string Location() const = 0;
  virtual void set_Location(const std::string& value) = 0;
  virtual std::string hc() const = 0;  // house code letter
  virtual void set_hc(const std::string& value) = 0;
  virtual std::string dc() const = 0;  // device code, written as text
  virtual void set_dc(const std::string& value) = 0;
  virtual std::string interface() const = 0;
  virtual void set_interface(const std::string& value) = 0;
  virtual std::string iomisc() const = 0;  // the plug-in's device key
  virtual void set_iomisc(const std::string& value) = 0;
  virtual int32_t iotype() const = 0;
  virtual void set_iotype(int32_t value) = 0;
  virtual bool can_dim() const = 0;
  virtual void set_can_dim(bool value) = 0;
  virtual std::string dev_type_string() const = 0;
  virtual void set_dev_type_string(const std::string& value) = 0;
  virtual int32_t Status() const = 0;  // 2 on, 3 off, 4 dim
  virtual void set_Status(int32_t value) = 0;
  virtual std::string Buttons() const = 0;
  virtual void set_Buttons(const std::string& value) = 0;
  virtual int32_t misc() const = 0;
  virtual void set_misc(int32_t value) = 0;
};

// How a host answers the page a plug-in just built: the HTTP status (200 unless the request named
// something unknown or was refused) and, after a post that changed something, the plug-in link
// the browser is sent on to with "303 See Other", so that reloading the page does not repeat it.
struct PageAnswer {
  int status = 200;
  std::string redirect;  // empty: show the page
};

// What a host reads from and calls on a plug-in object it drives: the web link properties, the
// page builders, and the device command entry.
class HostedPlugin {
 public:
  virtual ~HostedPlugin() = default;
  virtual std::string PluginName() const = 0;
  virtual std::string link() const = 0;
  virtual std::string linktext() const = 0;
  virtual std::string page_title() const = 0;
  virtual std::string GenPage(const std::string& lnk) = 0;
  // The slow part of the page `lnk` (a chart drawn from the database), for a host that can run it
  // away from the plug-in thread: the work, which touches nothing of the plug-in and may run on any
  // thread, after which GenPage(lnk) builds the page from its result. Empty when the page has no
  // such part (GenPage then does everything, as it always may).
  virtual std::function<void()> PageGroundwork(const std::string& /*lnk*/) { return {}; }
  virtual std::string PagePut(const std::string& data) = 0;
  // How to answer the page the last GenPage or PagePut returned.
  virtual PageAnswer LastPageAnswer() { return {}; }
  virtual void SetIO(HostDevice* dv, const std::string& housecode, const std::string& devicecode,
                     int16_t command, int16_t brightness, int16_t data1, int16_t data2) = 0;
  // Whether one of the plug-in's conditions (its text as the plug-in's condition form builds it)
  // holds now. A plug-in without conditions answers false.
  virtual bool ConditionCheck(const std::string& /*cond_str*/) { return false; }
  // A menu entry the plug-in registered was chosen. A plug-in without menu entries ignores it.
  virtual void SelectMenu(const std::string& /*menu_name*/) {}
};

// The host application object. Any call may throw HostError.
class HostApplication {
 public:
  virtual ~HostApplication() = default;
  virtual void writelog(const std::string& category, const std::string& text) = 0;
  virtual void Speak(const std::string& text) = 0;
  // The host's folder, without a trailing separator.
  virtual std::string GetAppPath() = 0;
  // 2 or more enables splash texts, the menu and the web link.
  virtual int32_t InterfaceVersion() = 0;
  // Empty means the host is gone.
  virtual std::string Version() = 0;
  virtual void RegisterLink(HostedPlugin& plugin) = 0;
  // `device` is house code + device code ("A12"); `command` is "On", "Off", "Dim" or "Bright".
  virtual void ExecX10(const std::string& device, const std::string& command,
                       int32_t brightness = 0) = 0;
  virtual int32_t DeviceCount() = 0;
  // Takes a 1-based index (1 ... DeviceCount) or a reference returned by NewDevice.
  virtual std::shared_ptr<HostDevice> GetDevice(int32_t index_or_ref) = 0;
  virtual int32_t NewDevice(const std::string& name) = 0;
  virtual void DeleteDevice(int32_t ref) = 0;
  virtual std::string DeviceString(const std::string& code) = 0;
  virtual HostTime DeviceLastChange(const std::string& code) = 0;
  virtual void SetDeviceValue(const std::string& code, double value) = 0;
  virtual void SetDeviceStatus(const std::string& code, int32_t status) = 0;
  virtual void SetDeviceString(const std::string& code, const std::string& text) = 0;
  virtual void SetDeviceLastChange(const std::string& code, HostTime when) = 0;
  virtual std::string WEBLoggedInUser() = 0;
  // Marks a device's value as stale (its 1-Wire device is not present) or fresh again. Hosts
  // without such a state ignore it.
  virtual void SetDeviceStale(const std::string& /*code*/, bool /*stale*/) {}
};

// The callback object a host hands to the plug-in when it registers it.
class HostCallback {
 public:
  virtual ~HostCallback() = default;
  // The host application object; null when the host cannot provide it.
  virtual std::shared_ptr<HostApplication> GetHSIface() = 0;
  virtual void WriteSplash(const std::string& text) = 0;
  virtual void RegisterMenu(const std::string& title, const std::string& entry) = 0;
  virtual void ForceFront(int32_t window_handle) = 0;
  // The character code of a house code the host considers free; -1 when none is left.
  virtual int32_t GetNextFreeIOCode() = 0;
};

}  // namespace qb
