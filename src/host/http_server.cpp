#include "host/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace qb {

namespace {

// Set on a worker thread by a handler that refused its request; read once the answer is out.
thread_local bool close_after_answer = false;

// Waits until `fd` is ready for `events` or `timeout` has passed.
bool WaitFor(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd p{fd, events, 0};
  int n;
  do {
    n = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

std::chrono::milliseconds Milliseconds(time_t sec, time_t usec) {
  return std::chrono::milliseconds(sec * 1000 + usec / 1000);
}

void Address(const sockaddr_storage& addr, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    port = ntohs(a.sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
    inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    port = ntohs(a.sin6_port);
  }
  ip = text;
}

// One accepted connection, read and written with the server's time limits.
class Connection : public httplib::Stream {
 public:
  Connection(int fd, std::chrono::milliseconds read_timeout,
             std::chrono::milliseconds write_timeout)
      : fd_(fd), read_timeout_(read_timeout), write_timeout_(write_timeout) {}

  bool is_readable() const override {
    return begin_ != end_ || WaitFor(fd_, POLLIN, read_timeout_);
  }
  bool is_writable() const override { return WaitFor(fd_, POLLOUT, write_timeout_); }
  // Reads through a buffer: the library reads a request's head a byte at a time.
  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      if (!WaitFor(fd_, POLLIN, read_timeout_)) return -1;
      ssize_t n;
      do {
        n = ::recv(fd_, buffer_, sizeof buffer_, 0);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }
  // Whether bytes of a next request already wait in the buffer.
  bool Buffered() const { return begin_ != end_; }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do {
      n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Address(addr, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Address(addr, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  int fd_;
  std::chrono::milliseconds read_timeout_, write_timeout_;
  char buffer_[4096];
  size_t begin_ = 0, end_ = 0;
};

}  // namespace

void HttpServer::CloseAfterAnswer() {
  close_after_answer = true;
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  Connection connection(sock, Milliseconds(read_timeout_sec_, read_timeout_usec_),
                        Milliseconds(write_timeout_sec_, write_timeout_usec_));
  const auto idle = std::chrono::seconds(keep_alive_timeout_sec_);
  bool ok = false;
  // Kept alive for up to the library's number of requests, each arriving within the idle time,
  // while the server runs; a wait is cut into short slices so that a stop is seen soon.
  for (size_t count = keep_alive_max_count_; count > 0 && is_running(); --count) {
    bool ready = connection.Buffered();
    for (auto waited = std::chrono::milliseconds(0); !ready && waited < idle && is_running();
         waited += std::chrono::milliseconds(100)) {
      ready = WaitFor(sock, POLLIN, std::chrono::milliseconds(100));
    }
    if (!ready) break;
    close_after_answer = false;
    bool closed = false;
    ok = process_request(connection, count == 1, closed, nullptr);
    if (!ok || closed || close_after_answer) break;
  }
  if (close_after_answer) {
    // The refused request's body may still be arriving. Closing with unread data would reset
    // the connection, and the client could lose the answer: stop sending, then read and drop
    // what comes for a moment, until the client closes its side.
    ::shutdown(sock, SHUT_WR);
    char discard[4096];
    size_t dropped = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (dropped < 1024 * 1024 && std::chrono::steady_clock::now() < until &&
           WaitFor(sock, POLLIN, std::chrono::milliseconds(100))) {
      const ssize_t n = ::recv(sock, discard, sizeof discard, 0);
      if (n <= 0) break;
      dropped += static_cast<size_t>(n);
    }
  }
  close_after_answer = false;
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace qb
