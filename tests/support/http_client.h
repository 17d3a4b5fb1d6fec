// An HTTP client for tests and benchmarks, on libcurl: one kept-alive connection to a server on
// this machine, HTTP or HTTPS, with the calls the tests make.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qb::test {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpAnswer {
  int status = 0;
  std::string body;
  Headers headers;
  // Header names compare without regard to case.
  bool has_header(const std::string& name) const;
  std::string get_header_value(const std::string& name) const;
};

// What a request gives: an answer, or why there is none.
class HttpResult {
 public:
  HttpResult() = default;
  explicit HttpResult(HttpAnswer answer)
      : answer_(std::make_unique<HttpAnswer>(std::move(answer))) {}
  explicit HttpResult(std::string error) : error_(std::move(error)) {}
  explicit operator bool() const { return answer_ != nullptr; }
  const HttpAnswer* operator->() const { return answer_.get(); }
  const HttpAnswer& operator*() const { return *answer_; }
  const std::string& error() const { return error_; }

 private:
  std::unique_ptr<HttpAnswer> answer_;
  std::string error_;
};

class HttpClient {
 public:
  // `host` is an address ("127.0.0.1", "::1"); `https` speaks TLS, trusting `ca_file` (or any
  // certificate when it is empty: the tests make their own).
  HttpClient(std::string host, int port, bool https = false, std::string ca_file = {});
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResult Get(const std::string& path, const Headers& headers = {});
  HttpResult Delete(const std::string& path, const Headers& headers = {});
  HttpResult Post(const std::string& path, const std::string& body,
                  const std::string& content_type) {
    return Send("POST", path, {}, body, content_type);
  }
  HttpResult Post(const std::string& path, const Headers& headers, const std::string& body,
                  const std::string& content_type) {
    return Send("POST", path, headers, body, content_type);
  }
  HttpResult Put(const std::string& path, const std::string& body,
                 const std::string& content_type) {
    return Send("PUT", path, {}, body, content_type);
  }
  HttpResult Put(const std::string& path, const Headers& headers, const std::string& body,
                 const std::string& content_type) {
    return Send("PUT", path, headers, body, content_type);
  }
  HttpResult Patch(const std::string& path, const std::string& body,
                   const std::string& content_type) {
    return Send("PATCH", path, {}, body, content_type);
  }
  HttpResult Patch(const std::string& path, const Headers& headers, const std::string& body,
                   const std::string& content_type) {
    return Send("PATCH", path, headers, body, content_type);
  }
  HttpResult Send(const std::string& method, const std::string& path, const Headers& headers,
                  const std::string& body, const std::string& content_type);

  void set_basic_auth(const std::string& user, const std::string& password);
  void set_default_headers(Headers headers) { default_headers_ = std::move(headers); }
  void set_read_timeout(std::chrono::milliseconds timeout) { read_timeout_ = timeout; }
  void set_read_timeout(long seconds, long microseconds) {
    read_timeout_ = std::chrono::milliseconds(seconds * 1000 + microseconds / 1000);
  }
  void set_connection_timeout(std::chrono::milliseconds timeout) { connect_timeout_ = timeout; }
  // The client's own address for the connection ("127.0.0.2"): another client, to the server.
  void set_interface(const std::string& address) { interface_ = address; }
  void set_keep_alive(bool) {}  // connections are always kept alive

 private:
  std::string base_;
  std::string ca_file_;
  std::string interface_;
  Headers default_headers_;
  std::string user_password_;
  std::chrono::milliseconds read_timeout_{30000};
  std::chrono::milliseconds connect_timeout_{5000};
  void* curl_ = nullptr;
};

}  // namespace qb::test
