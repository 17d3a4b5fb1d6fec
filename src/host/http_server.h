#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "host/http_types.h"

struct MHD_Daemon;

namespace qb {

class RequestDeadlines;
class WorkPool;

// How much the web server lets its clients hold.
struct HttpServerLimits {
  unsigned threads = 4;                // event loops, each serving its share of the connections
  unsigned idle_timeout_seconds = 10;  // a connection that sends nothing for this long is closed
  // A request (head and body) must arrive whole within this long of the connection's start or of
  // its previous answer: a client trickling bytes just often enough to never be idle is dropped.
  unsigned request_timeout_seconds = 30;
  // All connections together, lowered to fit the descriptors the process may open. Kept with the
  // reserve below 1024: the MQTT client library waits with select(), which sees no descriptor
  // numbered past that.
  unsigned max_connections = 896;
  unsigned per_address = 128;                // connections one client address may hold at once
  size_t memory_per_connection = 32 * 1024;  // request line, headers and read buffer
  size_t max_body = 8 * 1024;                // the most any request body may carry
  unsigned reserved_descriptors = 128;       // kept free for the database, logs and files
  unsigned slow_threads = 4;  // threads for answers that take long to make (HttpResponse::later)
};

// The web server: an event loop per thread over the connections (a slow or idle client costs a
// few kilobytes, not a thread), requests dispatched to handlers by method and path pattern,
// files served from a mounted folder, and HTTPS when given a certificate.
class HttpServer {
 public:
  using Handler = std::function<void(HttpRequest&, HttpResponse&)>;
  // Runs when a request's head has arrived, before its body is read. Returns true when it
  // answered: the request goes no further, its body is not read and the connection is closed.
  using Guard = std::function<bool(HttpRequest&, HttpResponse&)>;
  // Runs on every answer before it is sent (headers every answer carries).
  using Finisher = std::function<void(const HttpRequest&, HttpResponse&)>;

  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // `pattern` must match the whole path; its groups reach the handler as matches[1...].
  void Get(const std::string& pattern, Handler handler) { Route("GET", pattern, handler); }
  void Post(const std::string& pattern, Handler handler) { Route("POST", pattern, handler); }
  void Put(const std::string& pattern, Handler handler) { Route("PUT", pattern, handler); }
  void Patch(const std::string& pattern, Handler handler) { Route("PATCH", pattern, handler); }
  void Route(const std::string& method, const std::string& pattern, Handler handler);
  // GET and HEAD below `prefix` ("/1wire") serve the regular files really inside `folder`.
  void Mount(const std::string& prefix, const std::filesystem::path& folder);
  void SetGuard(Guard guard) { guard_ = std::move(guard); }
  void SetFinisher(Finisher finisher) { finisher_ = std::move(finisher); }
  void SetLimits(const HttpServerLimits& limits) { limits_ = limits; }
  // PEM texts of the certificate (with its chain) and private key: the server speaks HTTPS.
  void SetTls(std::string certificate, std::string key);

  // Binds the listening socket (port 0 picks a free port). Returns an error text on failure.
  std::string Bind(const std::string& address, int port);
  int Port() const { return port_; }
  // Serves on threads of its own until Stop. Returns an error text on failure.
  std::string Start();
  void Stop();
  // The number of connections the server accepts at once, after the descriptor limit.
  unsigned ConnectionLimit() const;
  // Connections dropped for taking longer than the request timeout, since Start.
  uint64_t DroppedSlowRequests() const;

  // Called by the server's event loop (public for the C callbacks).
  struct Exchange;
  void Dispatch(Exchange& exchange);

 private:
  struct RouteEntry {
    std::string method;
    std::regex pattern;
    Handler handler;
  };
  std::vector<RouteEntry> routes_;
  std::string mount_prefix_;
  std::filesystem::path mount_folder_;
  Guard guard_;
  Finisher finisher_;
  HttpServerLimits limits_;
  std::string tls_certificate_, tls_key_;
  int listen_fd_ = -1;
  int port_ = 0;
  MHD_Daemon* daemon_ = nullptr;
  std::unique_ptr<RequestDeadlines> deadlines_;
  std::unique_ptr<WorkPool> slow_work_;

  friend struct HttpServerCallbacks;
};

}  // namespace qb
