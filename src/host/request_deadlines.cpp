#include "host/request_deadlines.h"

#include <sys/socket.h>

namespace qb {

RequestDeadlines::RequestDeadlines(std::chrono::milliseconds allowed)
    : allowed_(allowed), thread_([this] { Run(); }) {}

RequestDeadlines::~RequestDeadlines() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void RequestDeadlines::Opened(const void* connection, int fd) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections_[connection] = {fd, true, Clock::now() + allowed_};
  }
  wake_.notify_all();
}

void RequestDeadlines::Arrived(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = connections_.find(connection); it != connections_.end()) it->second.timed = false;
}

void RequestDeadlines::Answered(const void* connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only a connection still open: a closed one's socket number may already be another's.
    auto it = connections_.find(connection);
    if (it == connections_.end()) return;
    it->second.timed = true;
    it->second.deadline = Clock::now() + allowed_;
  }
  wake_.notify_all();
}

void RequestDeadlines::Closed(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(connection);
}

uint64_t RequestDeadlines::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void RequestDeadlines::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const auto now = Clock::now();
    auto next = Clock::time_point::max();
    for (auto& [connection, watched] : connections_) {
      if (!watched.timed) continue;
      if (watched.deadline <= now) {
        // The server sees the socket end and closes the connection itself, in its own thread;
        // the descriptor stays the connection's until it reports the close (under this lock).
        ::shutdown(watched.fd, SHUT_RDWR);
        watched.timed = false;
        ++dropped_;
      } else {
        next = std::min(next, watched.deadline);
      }
    }
    if (next == Clock::time_point::max())
      wake_.wait(lock);
    else
      wake_.wait_until(lock, next);
  }
}

}  // namespace qb
