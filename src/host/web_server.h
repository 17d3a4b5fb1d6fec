#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qb {

class BuiltInHost;
class ConcurrencyLimit;
class HttpServer;
class LoginThrottle;
struct HttpRequest;
struct HttpResponse;
class EventLoop;
class WebUsers;

// The stand-alone host's web server: the plug-in's pages under its registered link, the web
// image folder under /1wire/, the host's style sheet and a JSON API. Requests arrive on worker
// threads and are answered on the plug-in thread through the event loop.
class RequestGuard;

class HostWebServer {
 public:
  HostWebServer(BuiltInHost& host, EventLoop& loop, const WebUsers& users,
                std::filesystem::path html_dir);
  ~HostWebServer();

  // Binds the listening socket (port 0 picks a free port). Returns an error text on failure.
  std::string Bind(const std::string& address, int port);
  int Port() const { return port_; }
  // Serves HTTPS with the PEM certificate (with its chain) and private key in these files.
  // Returns an error text when they cannot be read; call before Start.
  std::string UseTls(const std::filesystem::path& certificate, const std::filesystem::path& key);
  bool Tls() const { return tls_; }
  // Serves on threads of its own until Stop. Returns an error text on failure.
  std::string Start();
  void Stop();

 private:
  void Routes();
  // Path, host, size, login, site and type checks of a request, before any handler runs.
  bool Refuse(HttpRequest& req, HttpResponse& res) const;

  BuiltInHost& host_;
  EventLoop& loop_;
  const WebUsers& users_;
  std::filesystem::path html_dir_;
  std::unique_ptr<HttpServer> server_;
  std::unique_ptr<RequestGuard> guard_;
  std::unique_ptr<LoginThrottle> throttle_;
  // Pages with a slow part (charts) under way, per client address and in all.
  std::unique_ptr<ConcurrencyLimit> slow_pages_;
  int port_ = 0;
  bool tls_ = false;
  // Requests answered by status, for the metrics; counted on the worker threads.
  std::mutex answered_mutex_;
  std::map<int, int64_t> answered_;
};

// The host's style sheet: every CSS class the plug-in's pages use.
const char* HostStyleSheet();
// The pages' script that keeps the values of an open device list or device page current.
const char* LivePageScript();

// The plug-in's HTML framed as a full page under the plug-in's page title, with the host's menu
// (already HTML, may be empty) above it.
std::string FramePage(const std::string& page_title, const std::string& body,
                      const std::string& host_menu = {});
// The host's menu bar: one button per registered menu entry, posting to /host/menu. Empty without
// entries.
std::string HostMenuBar(const std::vector<std::string>& entries);

}  // namespace qb
