// A plain keep-alive HTTP/1.1 client for the web benchmarks, on a socket of its own: the numbers
// measure the server, not a client library, and stay comparable when the server changes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// A TCP connection to 127.0.0.1:`port` without Nagle's delay, whose reads give up after
// `timeout_s` seconds; -1 when it cannot be made.
inline int ConnectLoopback(int port, int timeout_s) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  timeval tv{timeout_s, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// One connection to 127.0.0.1:`port`, reopened when the server closes it.
class HttpConnection {
 public:
  explicit HttpConnection(int port) : port_(port) {}
  ~HttpConnection() { Close(); }
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // GETs `path`; the status (0 when no answer came) and the body.
  int Get(const std::string& path, std::string* body = nullptr) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0 && !Open()) return 0;
      const std::string request =
          "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n";
      if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
        Close();
        continue;
      }
      int status = 0;
      if (ReadAnswer(status, body)) return status;
      Close();
      if (status != 0) return status;
    }
    return 0;
  }

 private:
  bool Open() {
    fd_ = ConnectLoopback(port_, 10);
    buffer_.clear();
    return fd_ >= 0;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool Fill() {
    char chunk[16384];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  // Reads one answer with a Content-Length or chunked body; false when the connection broke.
  bool ReadAnswer(int& status, std::string* body) {
    size_t head_end;
    while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos)
      if (!Fill()) return false;
    const std::string head = buffer_.substr(0, head_end);
    buffer_.erase(0, head_end + 4);
    if (head.size() < 12) return false;
    status = std::atoi(head.c_str() + 9);
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const bool closes = lower.find("\r\nconnection: close") != std::string::npos;
    std::string content;
    if (const auto at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
      const size_t length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
      while (buffer_.size() < length)
        if (!Fill()) return false;
      content = buffer_.substr(0, length);
      buffer_.erase(0, length);
    } else if (lower.find("\r\ntransfer-encoding: chunked") != std::string::npos) {
      for (;;) {
        size_t line_end;
        while ((line_end = buffer_.find("\r\n")) == std::string::npos)
          if (!Fill()) return false;
        const size_t size = std::strtoul(buffer_.c_str(), nullptr, 16);
        while (buffer_.size() < line_end + 2 + size + 2)
          if (!Fill()) return false;
        content.append(buffer_, line_end + 2, size);
        buffer_.erase(0, line_end + 2 + size + 2);
        if (size == 0) break;
      }
    } else {
      while (Fill()) {
      }
      content.swap(buffer_);
      Close();
    }
    if (body) body->swap(content);
    if (closes) Close();
    return true;
  }

  int port_;
  int fd_ = -1;
  std::string buffer_;
};

// Requests per second and latency percentiles of GET `path` from keep-alive clients.
struct LoadResult {
  double per_second = 0;
  double p50_ms = 0, p95_ms = 0, p99_ms = 0;
  long failed = 0;
};

inline LoadResult Load(int port, const std::string& path, int clients,
                       std::chrono::steady_clock::duration duration) {
  using Clock = std::chrono::steady_clock;
  std::mutex mutex;
  std::vector<double> all_ms;
  std::atomic<long> failed{0};
  const auto end = Clock::now() + duration;
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      HttpConnection connection(port);
      std::vector<double> ms;
      while (Clock::now() < end) {
        const auto start = Clock::now();
        const int status = connection.Get(path);
        if (status == 200)
          ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        else
          ++failed;
      }
      std::lock_guard lock(mutex);
      all_ms.insert(all_ms.end(), ms.begin(), ms.end());
    });
  }
  for (auto& t : threads) t.join();
  LoadResult result;
  result.failed = failed;
  result.per_second =
      static_cast<double>(all_ms.size()) / std::chrono::duration<double>(duration).count();
  if (!all_ms.empty()) {
    std::sort(all_ms.begin(), all_ms.end());
    auto at = [&](double q) {
      return all_ms[std::min(all_ms.size() - 1, static_cast<size_t>(all_ms.size() * q))];
    };
    result.p50_ms = at(0.50);
    result.p95_ms = at(0.95);
    result.p99_ms = at(0.99);
  }
  return result;
}

}  // namespace bench
