#pragma once

#include <cstdint>
#include <string>

#include "core/plugin_parts.h"
#include "platform/event_loop.h"

namespace qb {

// The poll scheduler's state (one instance, on the plug-in thread; reset with the window).
struct SchedulerState {
  int32_t BusySkipCount = 0;
  double last_poll = 0;  // seconds since midnight when the last network read started
  double last_tick = 0;  // start of the previous tick (0 before the first)
  double last_cycle_info = 0;
  // The cycle extension counts the poll's own work only: the time a tick took, less the time
  // spent inside its pauses serving web requests and other events.
  double last_tick_work = 0;  // seconds the previous tick worked itself
  int32_t peak_work = 0;      // the largest whole seconds of work since the last network read
  int32_t cycle_before_extension = 0;  // the configured cycle while extended, else 0
  int32_t extended_cycle = 0;          // the cycle the extension set
  bool PollFromStartupTimer = false;
};

// The hidden timer window: Timer2 (every 2 s) runs the start-up steps and then the poll tick;
// Timer1 (every 250 ms, setting "chkTimer") runs the poll tick too. Also the about window.
class frm1Wire : public TimerWindow {
 public:
  explicit frm1Wire(EventLoop& loop);
  ~frm1Wire() override;

  // TimerWindow
  void Show() override;
  void Hide() override { visible_ = false; }
  void EnableStartupTimer() override;
  bool PollTimerEnabled() const override;
  void SetPollTimerEnabled(bool enabled) override;
  void ShutDown() override;

  // The Timer2 and Timer1 handlers.
  void Timer2Tick();
  void PollTick();

  // About mode (from the Setup dialog): Timer2 stops and the version information shows; Close
  // leaves it.
  void ShowAbout();
  void CloseAbout();

  int StartupStep() const { return startup_step_; }
  bool Visible() const { return visible_; }
  const std::string& lblVer() const { return lbl_ver_; }
  const std::string& InfoText() const { return info_; }
  SchedulerState& scheduler() { return s_; }

 private:
  void Load();

  EventLoop& loop_;
  TimerId timer1_;
  TimerId timer2_;
  uint8_t startup_step_ = 0;
  bool loaded_ = false;
  bool visible_ = false;
  bool about_ = false;
  std::string lbl_ver_;
  std::string info_;
  SchedulerState s_;
};

}  // namespace qb
