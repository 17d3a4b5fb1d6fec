#include "core/plugin_parts.h"

#include "core/log.h"
#include "core/plugin_state.h"

namespace qb {

namespace {

class NoAdapter : public AdapterStartup {
 public:
  std::string InitHW(int32_t) override { return {}; }
  void EndExclusive() override {}
  void ReleaseAdapter() override {}
};

class NoTimers : public TimerWindow {
 public:
  // Loading the window loads the settings (through the Setup dialog, once there is one).
  void Show() override { LoadProcessSettings(); }
  void Hide() override {}
  void EnableStartupTimer() override {}
  bool PollTimerEnabled() const override { return false; }
  void SetPollTimerEnabled(bool) override {}
  void ShutDown() override {
    PluginState& p = Plugin();
    p.settings.DebugLevel = 0;
    p.ShutdownRequested = true;
    if (p.parts.process) p.parts.process->EndProcess();
  }
};

class NoDialog : public SetupDialog {
 public:
  void ShowModeless() override {
    WriteLog(LogClass::Updates, "1-Wire I/F", "The Setup dialog is not available in this build");
  }
  void BringToFront() override {}
  void ShowDeviceNode(const std::string&, int32_t) override {}
  void SelectDeviceTab(int) override {}
  bool IsOpen() const override { return false; }
  void RefreshDisplay() override {}
  void Unload() override {}
  void RefreshMemory(const std::string&) override {}
};

class NoCycle : public BusCycle {
 public:
  void CheckPresence() override {}
  void ReadNet() override {}
};

class NoDatabase : public ValueLog {
 public:
  void LogValue(const std::string&, double) override {}
};

class NoAlarms : public AlarmReaction {
 public:
  void DeviceAlarming(const std::string&, const std::function<void()>&) override {}
  void DeviceNotAlarming(const std::string&) override {}
};

class NoPages : public WebPages {
 public:
  std::string GenPage(const std::string&) override { return Unavailable(); }
  std::string PagePut(const std::string&) override { return Unavailable(); }

 private:
  static std::string Unavailable() {
    return "<hr><p>The 1-Wire pages are not available in this build yet.</p>";
  }
};

class NoConditions : public AlarmConditions {
 public:
  std::string ConditionUI(int16_t) override { return {}; }
  std::string ConditionUIFormat(const std::string&) override { return {}; }
  bool ConditionCheck(const std::string&) override { return false; }
};

class NoProcess : public ProcessControl {
 public:
  void EndProcess() override {}
};

}  // namespace

PluginParts PlaceholderParts() {
  PluginParts parts;
  parts.adapter = std::make_shared<NoAdapter>();
  parts.timers = std::make_shared<NoTimers>();
  parts.dialog = std::make_shared<NoDialog>();
  parts.devices = std::make_shared<PendingDeviceControl>();
  parts.cycle = std::make_shared<NoCycle>();
  parts.database = std::make_shared<NoDatabase>();
  parts.alarms = std::make_shared<NoAlarms>();
  parts.pages = std::make_shared<NoPages>();
  parts.conditions = std::make_shared<NoConditions>();
  parts.process = std::make_shared<NoProcess>();
  return parts;
}

}  // namespace qb
