#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace qb {

using TimerId = int;

// The plug-in's single thread: timers, a yield that lets pending events run, and a way for other
// threads (web server workers, the pseudo-terminal server) to hand work to that thread.
class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // Creates a timer, disabled. The tick runs on the loop thread every `interval` while enabled.
  virtual TimerId AddTimer(std::chrono::milliseconds interval, std::function<void()> tick) = 0;
  virtual void SetTimerEnabled(TimerId id, bool enabled) = 0;
  virtual bool TimerEnabled(TimerId id) const = 0;
  virtual void SetTimerInterval(TimerId id, std::chrono::milliseconds interval) = 0;
  // Lets pending work run: posted tasks and due timers (a timer never re-enters its own tick).
  virtual void DoEvents() = 0;
  // The total time spent inside DoEvents running what was pending (requests, other timers),
  // counted once for nested yields. A long operation subtracts it from its own duration to learn
  // how long it worked itself.
  virtual std::chrono::nanoseconds TimeInDoEvents() const = 0;
  // Queues `task` for the loop thread. Any thread.
  virtual void Post(std::function<void()> task) = 0;
  // Runs `task` on the loop thread and waits for it. Any thread; on the loop thread it runs at
  // once. Returns false when the loop stopped before the task could run.
  virtual bool Invoke(std::function<void()> task) = 0;
  // Runs until Quit.
  virtual void Run() = 0;
  // Ends Run. Any thread.
  virtual void Quit() = 0;
};

// The event loop used without a desktop: a condition variable and a timer list. With a
// SimulatedClock, tests advance the clock and call RunDue() instead of Run().
class HeadlessEventLoop : public EventLoop {
 public:
  explicit HeadlessEventLoop(Clock& clock);
  ~HeadlessEventLoop() override;

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

  // Runs the posted tasks and every timer tick that is due by the clock's current time.
  void RunDue();
  // Advances a simulated clock step by step, firing timers in order (for tests).
  void AdvanceAndRun(class SimulatedClock& clock, std::chrono::milliseconds total,
                     std::chrono::milliseconds step);
  // Makes the calling thread the loop thread (Run does this too).
  void AdoptCurrentThread();

 private:
  struct Timer {
    std::chrono::milliseconds interval;
    std::function<void()> tick;
    bool enabled = false;
    bool running = false;
    Clock::Monotonic due{};
  };
  struct Task {
    std::function<void()> fn;
    std::shared_ptr<struct InvokeState> waiter;
  };

  bool OnLoopThread() const;
  // Each returns whether it ran anything.
  bool RunPostedTasks();
  bool RunDueTimers();
  bool RunDueTimersAt(Clock::Monotonic now);
  void CancelPending();

  Clock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool quit_ = false;
  bool stopped_ = false;
  std::thread::id loop_thread_;
  std::map<TimerId, Timer> timers_;  // loop thread only
  TimerId next_timer_ = 1;
  // Per DoEvents in progress, the time its nested DoEvents took (loop thread only): each adds only
  // its own share, so nested yields are counted once and finished ones at once.
  std::vector<std::chrono::nanoseconds> nested_time_;
  std::chrono::nanoseconds time_in_do_events_{0};
};

}  // namespace qb
