#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qb {

// A few threads that run queued tasks in turn: the web server's answers that take long to make
// (charts drawn from the database), kept off its event loops. The threads run at a lower
// priority, so the plug-in thread and the event loops keep the processor when it is short.
class WorkPool {
 public:
  explicit WorkPool(unsigned threads);
  // Runs what is queued, then ends the threads.
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  void Run(std::function<void()> task);

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace qb
