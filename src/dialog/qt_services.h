#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/user_interface.h"

class QTimer;

namespace qb::dialog {

// The event loop of the desktop build: Qt's own loop drives the plug-in, so the Setup dialog's
// events and the plug-in's timers run on one thread. DoEvents lets Qt process pending events.
// Create it on the thread that owns the QApplication.
class QtEventLoop : public EventLoop {
 public:
  QtEventLoop();
  ~QtEventLoop() override;

  TimerId AddTimer(std::chrono::milliseconds interval, std::function<void()> tick) override;
  void SetTimerEnabled(TimerId id, bool enabled) override;
  bool TimerEnabled(TimerId id) const override;
  void SetTimerInterval(TimerId id, std::chrono::milliseconds interval) override;
  void DoEvents() override;
  std::chrono::nanoseconds TimeInDoEvents() const override { return time_in_do_events_; }
  void Post(std::function<void()> task) override;
  bool Invoke(std::function<void()> task) override;
  void Run() override;
  void Quit() override;

 private:
  void StopWaiters();
  struct Timer {
    QTimer* timer = nullptr;
    std::function<void()> tick;
    bool running = false;
  };
  struct Waiter;

  void Fire(TimerId id);

  std::thread::id loop_thread_;
  std::map<TimerId, std::unique_ptr<Timer>> timers_;
  TimerId next_timer_ = 1;
  int do_events_depth_ = 0;
  std::chrono::nanoseconds time_in_do_events_{0};
  // Threads waiting in Invoke: woken with "not run" when the loop stops.
  std::mutex mutex_;
  std::set<std::shared_ptr<Waiter>> waiters_;
  bool stopped_ = false;
};

// Message boxes, questions and input boxes as real Qt dialogs.
class QtUserInterface : public UserInterface {
 public:
  explicit QtUserInterface(Clock& clock) : clock_(clock) {}
  void MessageBox(const std::string& text, MessageIcon icon,
                  const std::string& title = {}) override;
  bool Ask(const Question& question) override;
  std::string InputBox(const std::string& prompt, const std::string& fallback) override;
  void Beep() override;
  void Sleep(std::chrono::milliseconds duration) override;

 private:
  Clock& clock_;
};

// Whether this process can show windows: a display (DISPLAY or WAYLAND_DISPLAY) or an explicit
// Qt platform that needs none (QT_QPA_PLATFORM=offscreen).
bool DisplayAvailable();

}  // namespace qb::dialog

class QApplication;

namespace qb::dialog {

class SetupWindow;

// The desktop of the program: the Qt application, its event loop and user interface, and the
// Setup dialog. Create it on the thread that runs the plug-in.
class DesktopSession {
 public:
  explicit DesktopSession(Clock& clock);
  ~DesktopSession();
  EventLoop& Loop() { return *loop_; }
  UserInterface& UI() { return *ui_; }
  std::shared_ptr<SetupWindow> Dialog() { return dialog_; }

 private:
  int argc_ = 1;
  char name_[17] = "quellbrook-1wire";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
  std::unique_ptr<QtEventLoop> loop_;
  std::unique_ptr<QtUserInterface> ui_;
  std::shared_ptr<SetupWindow> dialog_;
};

// The desktop when a display is available; null otherwise.
std::unique_ptr<DesktopSession> OpenDesktop(Clock& clock);

}  // namespace qb::dialog
