#include "core/hspi.h"

#include <cmath>
#include <cstdio>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"

namespace qb {

namespace {

// Holds ExternalBusy for the lifetime of the guard, so every way out clears it. A page or command
// handled while another one waits puts back what it found, so the outer one keeps the bus.
class ExternalBusyGuard {
 public:
  ExternalBusyGuard() : before_(Plugin().ExternalBusy) { Plugin().ExternalBusy = true; }
  ~ExternalBusyGuard() { Plugin().ExternalBusy = before_; }
  ExternalBusyGuard(const ExternalBusyGuard&) = delete;
  ExternalBusyGuard& operator=(const ExternalBusyGuard&) = delete;

 private:
  bool before_;
};

constexpr int32_t kNavy = 128 << 16;  // red 0, green 0, blue 128

int32_t WholeSecondsSinceMidnight() {
  return static_cast<int32_t>(SecondsSinceMidnight(TheClock().Now()));
}

std::string SingleText(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.7g", value);
  return buf;
}

bool IsDeviceCode999(const std::string& devicecode) {
  return SettingToDouble(devicecode) == 999 &&
         devicecode.find_first_not_of(" 0123456789.") == std::string::npos;
}

void WriteStateDump() {
  PluginState& p = Plugin();
  const char* category = "1-Wire FORCE DEBUG";
  bool timer_enabled = false;
  Skip([&] { timer_enabled = p.parts.timers->PollTimerEnabled(); });
  WriteLog(LogClass::Always, category, std::string("Timer Enabled = ") + BoolText(timer_enabled));
  WriteLog(LogClass::Always, category, std::string("Timer Busy = ") + BoolText(p.TimerBusy));
  WriteLog(LogClass::Always, category, std::string("External Busy = ") + BoolText(p.ExternalBusy));
  WriteLog(LogClass::Always, category, "Timer Loop = " + std::to_string(p.TimerLoop));
  WriteLog(LogClass::Always, category, "TimerLoopWait = " + std::to_string(p.TimerLoopWait));
  WriteLog(LogClass::Always, category,
           "Windows Timer = " + SingleText(SecondsSinceMidnight(TheClock().Now())));
  p.TimerLoopWait = WholeSecondsSinceMidnight();
}

void DriveDevice(const ChannelRef& channel, int16_t command, int16_t brightness) {
  DeviceControl& devices = *Plugin().parts.devices;
  if (channel.caps & 0x100) {  // addressable switch
    devices.SetSwitch(channel, command == 2);
  } else if (channel.caps & 0x40) {  // digital potentiometer
    if (command == 4) {
      devices.SetPot(channel, RoundHalfEven((100 - brightness) * 255 / 100.0), false);
    } else if (command == 5) {
      devices.SetPot(channel, RoundHalfEven(brightness * 255 / 100.0), false);
    } else {
      devices.SetPot(channel, brightness, true);
    }
  } else if ((channel.caps & 0x08) &&
             channel.key.size() == 18) {  // quad A/D channel used as an output
    const int output = static_cast<int>(SettingToDouble(channel.key.substr(17)));
    const bool on = command == 2;
    devices.AD4Adjust(output, 5, on ? 1 : 0, channel.key);
    devices.UpdateHSDev(channel, on ? "On" : "Off");
  } else {
    devices.WriteOutput(channel, command, brightness);
  }
}

}  // namespace

int32_t RoundHalfEven(double value) {
  return static_cast<int32_t>(std::nearbyint(value));
}

std::string PluginPageTitle() {
  return std::string("<a href=\"https://quellbrook.example/1-wire\"><font size=\"5\">") +
         kPluginName + "</a></font>";
}

int DeviceTabForKey(const std::string& key) {
  if (key.empty()) return ChannelSetupTab("");
  return ChannelSetupTab(std::string(1, key.size() == 18 ? key[16] : key.back()));
}

void StartStandalone(hspi& plugin, std::shared_ptr<HostCallback> host) {
  PluginState& p = Plugin();
  p.Standalone = true;
  plugin.RegisterCallback(std::move(host));
  if (!p.host) return;
  p.parts.timers->Show();
  p.parts.timers->EnableStartupTimer();
  if (p.host->InterfaceVersion() >= 2) plugin.RegisterWithHost();
}

hspi::hspi() {
  ++Plugin().InstanceCount;
}

hspi::~hspi() {
  PluginState& p = Plugin();
  --p.InstanceCount;
  // A host that releases the plug-in ends its process; the stand-alone program ends on its own.
  if (!p.Standalone && p.parts.process) Skip([&] { p.parts.process->EndProcess(); });
}

void hspi::RegisterCallback(std::shared_ptr<HostCallback> frm) {
  PluginState& p = Plugin();
  p.callback = frm;
  std::shared_ptr<HostApplication> host;
  Skip([&] {
    if (frm) host = frm->GetHSIface();
  });
  p.host = host;
  if (!host) {
    Skip([] { UI().MessageBox("Unable to access HS interface", MessageIcon::None); });
    return;
  }
  WriteLog(LogClass::Always, "1-Wire I/F", "Register callback completed");
}

std::string hspi::InitIO(int32_t port) {
  PluginState& p = Plugin();
  if (p.InterfaceReady) return {};
  if (Host().InterfaceVersion() >= 2) {
    if (p.callback) p.callback->WriteSplash(std::string(kPluginName) + " Initializing...");
    UI().Sleep(std::chrono::milliseconds(500));
  }
  const std::string result = p.parts.adapter->InitHW(port);
  if (result.empty()) p.InterfaceReady = true;
  if (Host().InterfaceVersion() >= 2) RegisterWithHost();
  return result;
}

void hspi::RegisterWithHost() {
  PluginState& p = Plugin();
  if (p.callback) p.callback->RegisterMenu(kPluginName, kMenuEntry);
  link_ = kLinkName;
  linktext_ = kLinkName;
  page_title_ = PluginPageTitle();
  if (SettingToBool(Store().GetOr(kSettingsSection, "Web Page", "1"))) Host().RegisterLink(*this);
}

void hspi::ShutdownIO() {
  PluginState& p = Plugin();
  p.ShutdownRequested = true;
  p.InterfaceReady = false;
}

void hspi::ConfigIO() {
  PluginState& p = Plugin();
  if (p.InterfaceReady && p.AdapterReady) {
    Skip([&] { p.parts.dialog->ShowModeless(); });
    Skip([&] { p.parts.devices->AdoptHSDevices(false); });
    Skip([&] { p.parts.devices->GetDevices(); });
    Skip([&] { Loop().DoEvents(); });
  } else if (p.InterfaceReady) {
    Skip([&] { p.parts.dialog->ShowModeless(); });
  } else {
    Skip([] {
      UI().MessageBox("The interface has not been initialised\rPlease restart Hearthmoor",
                      MessageIcon::None);
    });
  }
}

void hspi::SetIO(HostDevice* dv, const std::string& housecode, const std::string& devicecode,
                 int16_t command, int16_t brightness, int16_t data1, int16_t data2) {
  PluginState& p = Plugin();
  if (!p.AdapterReady) return;
  for (int32_t i = 0; i <= p.gBaseCodes && i < static_cast<int32_t>(p.strHouseCodes.size()); ++i) {
    if (p.strHouseCodes[i] != housecode) continue;
    if (IsDeviceCode999(devicecode)) {
      WriteStateDump();
      continue;
    }
    if (command >= 19) {
      p.TimerBusy = false;
      continue;
    }
    const int32_t now = WholeSecondsSinceMidnight();
    if (now - p.TimerLoopWait > 120 || now < p.TimerLoopWait) p.TimerLoopWait = now;
    if (LogEnabled(LogClass::CycleInfo)) {
      WriteLog(LogClass::CycleInfo, "1-Wire (X10) Rcvd",
               "Device=" + housecode + devicecode + " Command=" + std::to_string(command) +
                   " Brightness=" + std::to_string(brightness) + " Data1=" + std::to_string(data1) +
                   " Data2=" + std::to_string(data2));
    }
    std::optional<ChannelRef> channel;
    Skip([&] { channel = p.parts.devices->BindHSDevice(dv, housecode, devicecode); });
    if (!channel) {
      WriteLog(LogClass::Updates, "1-Wire ERROR(SetIO)",
               "Device not yet found in collection: " + housecode + devicecode);
      continue;
    }
    ExternalBusyGuard busy;
    Skip([&] { DriveDevice(*channel, command, brightness); });
    WriteLog(LogClass::Updates, "1-Wire (X10) Rcvd",
             "Device updated: " + housecode + devicecode + " ROM=" + channel->key.substr(0, 16));
  }
}

void hspi::ConfigDevice(const std::string& hc, const std::string& dc) {
  PluginState& p = Plugin();
  SetupDialog& dialog = *p.parts.dialog;
  Skip([&] { dialog.ShowModeless(); });
  Skip([&] { dialog.BringToFront(); });
  std::optional<ChannelRef> channel;
  Skip([&] { channel = p.parts.devices->GetHSROM(hc, dc); });
  if (!channel) return;
  Skip([&] { dialog.ShowDeviceNode(channel->key.substr(0, 16), kNavy); });
  Skip([&] { dialog.SelectDeviceTab(DeviceTabForKey(channel->key)); });
}

void hspi::SelectMenu(const std::string& menu_name) {
  if (menu_name != kMenuEntry) return;
  Plugin().parts.dialog->ShowModeless();
}

void hspi::ButtonPress(const std::string& button_name) {
  Host().ExecX10(button_name.size() > 7 ? button_name.substr(7) : std::string(), "Off");
}

std::string hspi::ConditionUI(int16_t cond_num) {
  return Plugin().parts.conditions->ConditionUI(cond_num);
}

std::string hspi::ConditionUIFormat(const std::string& cond_str) {
  return Plugin().parts.conditions->ConditionUIFormat(cond_str);
}

bool hspi::ConditionCheck(const std::string& cond_str) {
  return Plugin().parts.conditions->ConditionCheck(cond_str);
}

std::string hspi::GenPage(const std::string& lnk) {
  ExternalBusyGuard busy;
  return Plugin().parts.pages->GenPage(lnk);
}

std::function<void()> hspi::PageGroundwork(const std::string& lnk) {
  ExternalBusyGuard busy;
  return Plugin().parts.pages->PageGroundwork(lnk);
}

std::string hspi::PagePut(const std::string& data) {
  return Plugin().parts.pages->PagePut(data);
}

PageAnswer hspi::LastPageAnswer() {
  return Plugin().parts.pages->LastPageAnswer();
}

}  // namespace qb
