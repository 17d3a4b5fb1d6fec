#include "core/timer_window.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "core/host_calls.h"
#include "core/hspi.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "platform/clock.h"
#include "platform/user_interface.h"
#include "qb/version.h"

namespace qb {

namespace {

double Now() {
  return SecondsSinceMidnight(TheClock().Now());
}

std::string VersionText() {
  return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
         std::to_string(kVersionRevision);
}

}  // namespace

frm1Wire::frm1Wire(EventLoop& loop)
    : loop_(loop),
      timer1_(loop.AddTimer(std::chrono::milliseconds(250), [this] { PollTick(); })),
      timer2_(loop.AddTimer(std::chrono::milliseconds(2000), [this] { Timer2Tick(); })) {}

frm1Wire::~frm1Wire() {
  loop_.SetTimerEnabled(timer1_, false);
  loop_.SetTimerEnabled(timer2_, false);
}

void frm1Wire::Load() {
  loaded_ = true;
  Skip([] {
    const std::filesystem::path images =
        std::filesystem::path(Plugin().host->GetAppPath()) / "html" / "1wire";
    std::filesystem::create_directories(images);  // chart images go there
  });
  lbl_ver_ = "Version " + VersionText();
  // Loading the Setup dialog loads the settings.
  LoadProcessSettings();
  if (Plugin().settings.Display) Skip([] { Plugin().parts.dialog->ShowModeless(); });
}

void frm1Wire::Show() {
  if (!loaded_) Load();
  visible_ = true;
}

void frm1Wire::EnableStartupTimer() {
  loop_.SetTimerEnabled(timer2_, true);
}

bool frm1Wire::PollTimerEnabled() const {
  return loop_.TimerEnabled(timer1_);
}

void frm1Wire::SetPollTimerEnabled(bool enabled) {
  loop_.SetTimerEnabled(timer1_, enabled);
}

void frm1Wire::ShowAbout() {
  about_ = true;
  loop_.SetTimerEnabled(timer2_, false);
  info_ = std::string(kPluginName) + "\rVersion " + VersionText() +
          "\rA 1-Wire network for the Hearthmoor host";
  visible_ = true;
}

void frm1Wire::CloseAbout() {
  about_ = false;
  visible_ = false;
  loop_.SetTimerEnabled(timer2_, true);
}

void frm1Wire::Timer2Tick() {
  PluginState& p = Plugin();
  Skip([this] { loop_.DoEvents(); });
  if (p.ShutdownRequested) {
    ShutDown();
    return;
  }
  if (startup_step_ < 5) ++startup_step_;
  switch (startup_step_) {
    case 1:
      break;
    case 2:
      visible_ = false;
      if (p.Standalone && !p.InterfaceReady) {
        std::string result;
        Skip([&] { result = p.parts.adapter->InitHW(0); });
        if (!result.empty()) {
          WriteLog(LogClass::Always, "1-Wire I/F ERROR:", result);
          Skip([] {
            UI().MessageBox("Initialization of 1-Wire Interface failed!\nCheck your settings...",
                            MessageIcon::Critical);
          });
          p.InterfaceReady = false;
          Skip([&] { p.parts.dialog->ShowModeless(); });
        } else {
          p.InterfaceReady = true;
        }
      }
      break;
    case 3:
      if (!p.settings.Speech.empty()) Skip([&] { p.host->Speak(p.settings.Speech); });
      break;
    case 4:
      if (p.InterfaceReady) {
        WriteLog(LogClass::Always, "1-Wire I/F", "Polling devices begins...");
        SetPollTimerEnabled(p.settings.chkTimer);
        p.PollingStarted = true;
      }
      break;
    default: {
      visible_ = false;
      std::string version = "?";
      Skip([&] { version = p.host->Version(); });
      if (version.empty()) {
        ShutDown();
        return;
      }
      s_.PollFromStartupTimer = true;
      PollTick();
      s_.PollFromStartupTimer = false;
    }
  }
}

void frm1Wire::PollTick() {
  PluginState& p = Plugin();
  if (!p.AdapterReady) return;
  if (p.TimerBusy || p.ExternalBusy) {
    if (!s_.PollFromStartupTimer)
      WriteLog(LogClass::CycleDetail, "1-Wire Timer", "Plug-in busy, timer loop skipped.");
    if (++s_.BusySkipCount < 20) return;
    s_.BusySkipCount = 0;
    p.TimerBusy = false;
    p.ExternalBusy = false;
    Skip([&] { p.parts.adapter->EndExclusive(); });
    WriteLog(LogClass::CycleInfo, "1-Wire Timer", "Reset busy flags, timeout exeeded.");
  }
  s_.BusySkipCount = 0;
  p.TimerBusy = true;
  std::string version = "?";
  Skip([&] { version = p.host->Version(); });
  if (p.ShutdownRequested || version.empty()) {
    p.TimerBusy = false;  // this tick has not touched the bus: the adapter can be released
    ShutDown();
    return;
  }

  const double now = Now();
  const auto work_start = TheClock().MonotonicNow();
  const auto paused_before = loop_.TimeInDoEvents();
  p.TimerLoopWait = static_cast<int32_t>(now);
  if (s_.cycle_before_extension > 0 && p.settings.CycleSeconds != s_.extended_cycle)
    s_.cycle_before_extension = 0;  // the cycle was set anew (settings page): that one counts
  int32_t extension = 0;
  if (s_.last_tick > 0) {
    // Only the bus work of the previous tick stretches the cycle; web requests answered inside
    // its pauses do not, or a burst of page loads would slow the poll for good.
    extension = static_cast<int32_t>(std::floor(s_.last_tick_work));
    s_.peak_work = std::max(s_.peak_work, extension);
    if (extension > p.settings.CycleSeconds && extension <= 30) {
      WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F Cycle",
               "Cycle timer extended to " + std::to_string(extension) + " seconds");
      if (s_.cycle_before_extension == 0) s_.cycle_before_extension = p.settings.CycleSeconds;
      p.settings.CycleSeconds = extension;
      s_.extended_cycle = extension;
    }
  }
  s_.last_tick = now;

  if (!p.ExternalBusy) {
    Skip([&] { p.parts.devices->GetDevices(); });
    if ((p.settings.Presence && !p.settings.Alarming) || p.TimerLoop == 0)
      Skip([&] { p.parts.cycle->CheckPresence(); });
    if (static_cast<int32_t>(now) % 4 == 0) {
      Skip([&] {
        if (p.parts.dialog->IsOpen()) p.parts.dialog->RefreshDisplay();
      });
    }
  }
  ++p.TimerLoop;

  if (s_.last_cycle_info - now > p.settings.CycleSeconds)
    s_.last_cycle_info = 0;  // the clock wrapped
  if (s_.last_cycle_info + 1 < now && LogEnabled(LogClass::CycleInfo)) {
    s_.last_cycle_info = now;
    const double left = p.settings.CycleSeconds - (now - s_.last_poll);
    const int32_t remaining = left > 0 ? static_cast<int32_t>(left) : 0;
    WriteLog(LogClass::CycleInfo, "1-Wire Cycle Info",
             "Main timer cycle = " + std::to_string(p.TimerLoop) +
                 ", time to next poll = " + std::to_string(remaining) + " seconds");
  }

  if (now < s_.last_poll || now - s_.last_poll >= p.settings.CycleSeconds ||
      p.TimerLoop > 65535 / (extension + 1)) {
    s_.last_poll = now;
    p.TimerLoop = 0;
    ++p.PollCycles;
    // A cycle whose ticks all worked less than the extended cycle brings it back down, as far
    // as the longest of them needs and never below the configured cycle.
    if (s_.cycle_before_extension > 0 && s_.peak_work < p.settings.CycleSeconds) {
      const int32_t back = std::max(s_.cycle_before_extension, s_.peak_work);
      WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F Cycle",
               "Cycle timer back to " + std::to_string(back) + " seconds");
      p.settings.CycleSeconds = back;
      s_.extended_cycle = back;
      if (back == s_.cycle_before_extension) s_.cycle_before_extension = 0;
    }
    s_.peak_work = 0;
    if (!p.ExternalBusy) Skip([&] { p.parts.cycle->ReadNet(); });
  }
  const auto took = TheClock().MonotonicNow() - work_start;
  const auto paused = loop_.TimeInDoEvents() - paused_before;
  s_.last_tick_work = std::chrono::duration<double>(took - paused).count();
  p.TimerBusy = false;
}

void frm1Wire::ShutDown() {
  PluginState& p = Plugin();
  p.settings.DebugLevel = 0;
  p.ShutdownRequested = true;
  loop_.SetTimerEnabled(timer1_, false);
  loop_.SetTimerEnabled(timer2_, false);
  // A shut-down can arrive while a bus operation waits for events (a stop request handled in
  // the middle of a scan): that operation still holds the adapter, so it is released when the
  // process ends instead of under its feet.
  if (!p.TimerBusy && !p.ExternalBusy) Skip([&] { p.parts.adapter->ReleaseAdapter(); });
  visible_ = false;
  Skip([&] { p.parts.process->EndProcess(); });
}

}  // namespace qb
