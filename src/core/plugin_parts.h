#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/host_interface.h"

namespace qb {

class HostDevice;

// What the plug-in object needs to know of a channel record when it drives a device.
struct ChannelRef {
  std::string key;    // ROM id, optionally followed by a channel letter and digit
  uint32_t caps = 0;  // capability bits of the physical device
};

// The adapter start-up: opens the 1-Wire adapter; returns an empty text on success, otherwise
// the error text.
class AdapterStartup {
 public:
  virtual ~AdapterStartup() = default;
  virtual std::string InitHW(int32_t port) = 0;
  // Ends the adapter's exclusive hold (a stale hold after 20 busy ticks).
  virtual void EndExclusive() = 0;
  // Releases the adapter's port and the access provider (shut-down).
  virtual void ReleaseAdapter() = 0;
};

// The hidden timer window with its start-up timer (Timer2) and poll timer (Timer1).
class TimerWindow {
 public:
  virtual ~TimerWindow() = default;
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual void EnableStartupTimer() = 0;
  virtual bool PollTimerEnabled() const = 0;
  virtual void SetPollTimerEnabled(bool enabled) = 0;
  // Ends the plug-in: stops logging, releases the adapter, closes the database, ends the process.
  virtual void ShutDown() = 0;
};

// The desktop Setup dialog.
class SetupDialog {
 public:
  virtual ~SetupDialog() = default;
  virtual void ShowModeless() = 0;
  virtual void BringToFront() = 0;
  // Shows a physical device's information and selects its node; `highlight` is a colour.
  virtual void ShowDeviceNode(const std::string& rom, int32_t highlight) = 0;
  virtual void SelectDeviceTab(int tab) = 0;
  virtual bool IsOpen() const = 0;
  // Redraws the values shown (every few seconds while the dialog is open).
  virtual void RefreshDisplay() = 0;
  // The stored settings were changed elsewhere: an open dialog closes without storing what it
  // shows, and the dialog reads the stored settings afresh when it is next shown.
  virtual void Unload() = 0;
  // The memory of a device was read elsewhere: an open dialog showing that device's memory
  // reads it again.
  virtual void RefreshMemory(const std::string& rom) = 0;
};

// The device registry and the device operations the plug-in object calls.
class DeviceControl {
 public:
  virtual ~DeviceControl() = default;
  virtual void AdoptHSDevices(bool refresh) = 0;
  virtual void GetDevices() = 0;
  virtual std::optional<ChannelRef> GetHSROM(const std::string& hc, const std::string& dc) = 0;
  // Finds the channel of a host code and writes its key into the host device's iomisc.
  virtual std::optional<ChannelRef> BindHSDevice(HostDevice* device, const std::string& hc,
                                                 const std::string& dc) = 0;
  virtual void SetSwitch(const ChannelRef& channel, bool on) = 0;
  virtual void SetPot(const ChannelRef& channel, int32_t wiper, bool unscaled) = 0;
  virtual void AD4Adjust(int channel, int setting, double value, const std::string& key) = 0;
  virtual void UpdateHSDev(const ChannelRef& channel, const std::string& value) = 0;
  // Any other device: the generic output write.
  virtual void WriteOutput(const ChannelRef& channel, int16_t command, int16_t brightness) = 0;
};

// The per-tick work on the bus that the poll tick drives.
class BusCycle {
 public:
  virtual ~BusCycle() = default;
  // The presence check of the devices.
  virtual void CheckPresence() = 0;
  // The network read cycle.
  virtual void ReadNet() = 0;
};

// Database logging of readings.
class ValueLog {
 public:
  virtual ~ValueLog() = default;
  // Appends one reading of a channel (its key) to the readings table. Temperatures (keys ending in
  // "M") come in °C whatever the scale shown, so that each series keeps one unit.
  virtual void LogValue(const std::string& key, double value) = 0;
  // Gives the rows of each first identifier the second one (a replaced sensor's history goes to
  // its successor), all in one transaction: every rename or none. Returns the rows changed;
  // throws on a failure, which leaves the rows as they were. Without a database, nothing to do.
  virtual int64_t RenameRows(const std::vector<std::pair<std::string, std::string>>& /*renames*/) {
    return 0;
  }
};

// The reaction to a thermometer in alarm found by the read cycle.
class AlarmReaction {
 public:
  virtual ~AlarmReaction() = default;
  // `rom` is the ROM id of the alarming device; `read_now` reads it at once (the read cycle's
  // read of its temperature), for the reaction to call when the settings ask for it.
  virtual void DeviceAlarming(const std::string& rom, const std::function<void()>& read_now) = 0;
  // The read cycle found the thermometer `rom` not in alarm.
  virtual void DeviceNotAlarming(const std::string& rom) = 0;
};

// Device control whose operations do nothing yet: the base of parts that provide some of them.
class PendingDeviceControl : public DeviceControl {
 public:
  void AdoptHSDevices(bool) override {}
  void GetDevices() override {}
  std::optional<ChannelRef> GetHSROM(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<ChannelRef> BindHSDevice(HostDevice*, const std::string&,
                                         const std::string&) override {
    return std::nullopt;
  }
  void SetSwitch(const ChannelRef&, bool) override {}
  void SetPot(const ChannelRef&, int32_t, bool) override {}
  void AD4Adjust(int, int, double, const std::string&) override {}
  void UpdateHSDev(const ChannelRef&, const std::string&) override {}
  void WriteOutput(const ChannelRef&, int16_t, int16_t) override {}
};

// The plug-in's web pages.
class WebPages {
 public:
  virtual ~WebPages() = default;
  virtual std::string GenPage(const std::string& lnk) = 0;
  // The page's part that may run away from the plug-in thread (see HostedPlugin).
  virtual std::function<void()> PageGroundwork(const std::string& /*lnk*/) { return {}; }
  virtual std::string PagePut(const std::string& data) = 0;
  // How to answer the page the last GenPage or PagePut returned.
  virtual PageAnswer LastPageAnswer() { return {}; }
};

// The host's "1-Wire Temperature Alarm" condition type.
class AlarmConditions {
 public:
  virtual ~AlarmConditions() = default;
  virtual std::string ConditionUI(int16_t cond_num) = 0;
  virtual std::string ConditionUIFormat(const std::string& cond_str) = 0;
  virtual bool ConditionCheck(const std::string& cond_str) = 0;
};

// How the process ends when the plug-in asks it to (the program quits its event loop).
class ProcessControl {
 public:
  virtual ~ProcessControl() = default;
  virtual void EndProcess() = 0;
};

// The parts of the plug-in that the plug-in object calls. Each starts as a placeholder that does
// nothing and reports what is not there yet, and is replaced when its part is built.
struct PluginParts {
  std::shared_ptr<AdapterStartup> adapter;
  std::shared_ptr<TimerWindow> timers;
  std::shared_ptr<SetupDialog> dialog;
  std::shared_ptr<DeviceControl> devices;
  std::shared_ptr<BusCycle> cycle;
  std::shared_ptr<ValueLog> database;
  std::shared_ptr<AlarmReaction> alarms;
  std::shared_ptr<WebPages> pages;
  std::shared_ptr<AlarmConditions> conditions;
  std::shared_ptr<ProcessControl> process;
};

// The placeholders.
PluginParts PlaceholderParts();

}  // namespace qb
