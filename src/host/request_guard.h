#pragma once

#include <cstddef>
#include <string>

namespace qb {

// Checks the web server makes on every request before any handler runs: whose host name the
// request names (DNS rebinding), which site sent it (cross-site requests), what type and size its
// body has, and whether its path is printable.
class RequestGuard {
 public:
  // `listen_address` is the address the server was bound to ("127.0.0.1", "0.0.0.0", "::1",
  // "myhost.lan").
  explicit RequestGuard(std::string listen_address);

  // True when the "Host" header names this server: the address it listens on, "localhost" and
  // the loopback addresses when it listens on loopback; on the network this machine's own name
  // (with or without a domain), and for a wildcard address also any IP address. A host name
  // chosen by someone else (DNS rebinding) is not.
  bool HostAllowed(const std::string& host_header) const;

  // Empty when a request that changes something may go ahead; otherwise why not. A browser names
  // the page that sent the request in "Origin" (or, without it, "Referer"): it must be one of
  // this server's own pages. Programs that send neither (curl, scripts) are let through.
  static std::string CrossSiteProblem(const std::string& host_header, const std::string& origin,
                                      const std::string& referer);

  // The media type of a Content-Type header, lower case, without parameters.
  static std::string MediaType(const std::string& content_type);

  // True when every byte of `path` is printable (no NUL, no control characters).
  static bool PrintablePath(const std::string& path);

 private:
  std::string listen_;
  bool loopback_ = false;
  bool wildcard_ = false;
};

// The largest body each kind of request may carry.
constexpr size_t kMaxJsonBody = 4 * 1024;
constexpr size_t kMaxFormBody = 8 * 1024;  // also the web library's own limit for forms

}  // namespace qb
