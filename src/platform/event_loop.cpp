#include "platform/event_loop.h"

#include <vector>

namespace qb {

struct InvokeState {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  bool ran = false;
};

HeadlessEventLoop::HeadlessEventLoop(Clock& clock)
    : clock_(clock), loop_thread_(std::this_thread::get_id()) {}

HeadlessEventLoop::~HeadlessEventLoop() {
  CancelPending();
}

bool HeadlessEventLoop::OnLoopThread() const {
  std::lock_guard lock(mutex_);
  return loop_thread_ == std::this_thread::get_id();
}

void HeadlessEventLoop::AdoptCurrentThread() {
  std::lock_guard lock(mutex_);
  loop_thread_ = std::this_thread::get_id();
}

TimerId HeadlessEventLoop::AddTimer(std::chrono::milliseconds interval,
                                    std::function<void()> tick) {
  const TimerId id = next_timer_++;
  timers_[id] = Timer{interval, std::move(tick)};
  return id;
}

void HeadlessEventLoop::SetTimerEnabled(TimerId id, bool enabled) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  if (enabled && !it->second.enabled) it->second.due = clock_.MonotonicNow() + it->second.interval;
  it->second.enabled = enabled;
  wake_.notify_all();
}

bool HeadlessEventLoop::TimerEnabled(TimerId id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second.enabled;
}

void HeadlessEventLoop::SetTimerInterval(TimerId id, std::chrono::milliseconds interval) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second.interval = interval;
  it->second.due = clock_.MonotonicNow() + interval;
}

void HeadlessEventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(Task{std::move(task), nullptr});
  }
  wake_.notify_all();
}

bool HeadlessEventLoop::Invoke(std::function<void()> task) {
  if (OnLoopThread()) {
    task();
    return true;
  }
  auto state = std::make_shared<InvokeState>();
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    tasks_.push_back(Task{std::move(task), state});
  }
  wake_.notify_all();
  std::unique_lock lock(state->mutex);
  state->done_cv.wait(lock, [&] { return state->done; });
  return state->ran;
}

bool HeadlessEventLoop::RunPostedTasks() {
  // Most calls find nothing to run (every registry lookup yields here): they end at once, before
  // the batch is made (an empty deque still allocates).
  std::unique_lock lock(mutex_);
  if (tasks_.empty()) return false;
  std::deque<Task> batch;
  batch.swap(tasks_);
  lock.unlock();
  for (auto& task : batch) {
    bool ran = false;
    try {
      task.fn();
      ran = true;
    } catch (...) {
      // A task reports its own failures; the loop must survive whatever it throws.
    }
    if (task.waiter) {
      std::lock_guard lock(task.waiter->mutex);
      task.waiter->done = true;
      task.waiter->ran = ran;
      task.waiter->done_cv.notify_all();
    }
  }
  return true;
}

bool HeadlessEventLoop::RunDueTimers() {
  return RunDueTimersAt(clock_.MonotonicNow());
}

bool HeadlessEventLoop::RunDueTimersAt(Clock::Monotonic now) {
  std::vector<TimerId> due;
  for (auto& [id, timer] : timers_) {
    if (timer.enabled && !timer.running && timer.due <= now) due.push_back(id);
  }
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end() || !it->second.enabled || it->second.running) continue;
    Timer& timer = it->second;
    // The next tick is counted from now, as a window timer does after a late tick.
    timer.due = now + timer.interval;
    timer.running = true;
    auto tick = timer.tick;  // the timer may be changed while it runs
    try {
      tick();
    } catch (...) {
    }
    auto again = timers_.find(id);
    if (again != timers_.end()) again->second.running = false;
  }
  return !due.empty();
}

void HeadlessEventLoop::DoEvents() {
  const auto start = clock_.MonotonicNow();
  nested_time_.push_back(std::chrono::nanoseconds{0});
  const bool tasks = RunPostedTasks();
  // The clock is read again only when something ran: a yield with nothing to do (nearly all of
  // them) costs one clock read and adds nothing to the time spent in yields.
  const bool timers = RunDueTimersAt(tasks ? clock_.MonotonicNow() : start);
  const auto took =
      tasks || timers
          ? std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.MonotonicNow() - start)
          : std::chrono::nanoseconds{0};
  time_in_do_events_ += took - nested_time_.back();
  nested_time_.pop_back();
  if (!nested_time_.empty()) nested_time_.back() += took;
}

void HeadlessEventLoop::RunDue() {
  RunPostedTasks();
  RunDueTimers();
}

void HeadlessEventLoop::AdvanceAndRun(SimulatedClock& clock, std::chrono::milliseconds total,
                                      std::chrono::milliseconds step) {
  for (std::chrono::milliseconds done{0}; done < total; done += step) {
    clock.Advance(step);
    RunDue();
  }
}

void HeadlessEventLoop::Run() {
  AdoptCurrentThread();
  for (;;) {
    // Not a yield: what runs here is the loop's own work, not a pause inside an operation.
    RunPostedTasks();
    RunDueTimers();
    std::unique_lock lock(mutex_);
    if (quit_) break;
    if (!tasks_.empty()) continue;
    Clock::Monotonic next = clock_.MonotonicNow() + std::chrono::seconds(1);
    for (const auto& [id, timer] : timers_) {
      if (timer.enabled && timer.due < next) next = timer.due;
    }
    const auto wait = next - clock_.MonotonicNow();
    if (wait > Clock::Monotonic::duration::zero()) {
      wake_.wait_for(lock, wait, [&] { return quit_ || !tasks_.empty(); });
    }
    if (quit_) break;
  }
  CancelPending();
}

void HeadlessEventLoop::Quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
}

void HeadlessEventLoop::CancelPending() {
  std::deque<Task> left;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    left.swap(tasks_);
  }
  for (auto& task : left) {
    if (task.waiter) {
      std::lock_guard lock(task.waiter->mutex);
      task.waiter->done = true;
      task.waiter->ran = false;
      task.waiter->done_cv.notify_all();
    }
  }
}

}  // namespace qb
