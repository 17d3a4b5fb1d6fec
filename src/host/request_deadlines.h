#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace qb {

// Drops connections that take too long to deliver a request. The server's idle timeout only
// counts silence, so a client sending one byte every few seconds could hold a connection for
// ever; here each connection gets a deadline for its whole request (from when it was accepted,
// or from its previous answer), and one still unfinished then is shut down. A thread of its own
// sleeps until the earliest deadline, and not at all while no request is under way.
class RequestDeadlines {
 public:
  explicit RequestDeadlines(std::chrono::milliseconds allowed);
  ~RequestDeadlines();
  RequestDeadlines(const RequestDeadlines&) = delete;
  RequestDeadlines& operator=(const RequestDeadlines&) = delete;

  // A connection was accepted on socket `fd`: its first request must arrive within the time.
  void Opened(const void* connection, int fd);
  // A request arrived whole: the connection is not timed while it is answered.
  void Arrived(const void* connection);
  // A request was answered; the next one on the same connection must arrive within the time.
  void Answered(const void* connection);
  // The connection is closed: forgotten (its socket is never touched again).
  void Closed(const void* connection);
  // Connections shut down for being too slow, since the start.
  uint64_t Dropped() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Watched {
    int fd = -1;
    bool timed = false;
    Clock::time_point deadline;
  };
  void Run();

  const std::chrono::milliseconds allowed_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<const void*, Watched> connections_;
  uint64_t dropped_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace qb
