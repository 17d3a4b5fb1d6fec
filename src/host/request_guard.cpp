#include "host/request_guard.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "host/web_users.h"

namespace qb {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The host name of a "Host" header value: without the port, without the brackets of an IPv6
// address, lower case. Empty when the value is malformed.
std::string HostName(const std::string& header) {
  std::string host = Lower(Trim(header));
  if (host.empty()) return {};
  if (host[0] == '[') {
    const auto close = host.find(']');
    if (close == std::string::npos) return {};
    const std::string rest = host.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return {};
    return host.substr(1, close - 1);
  }
  const auto colon = host.find(':');
  if (colon != std::string::npos) {
    const std::string port = host.substr(colon + 1);
    if (port.empty() || !std::all_of(port.begin(), port.end(), ::isdigit)) return {};
    host.resize(colon);
  }
  if (!host.empty() && host.back() == '.') host.pop_back();  // "localhost." is "localhost"
  return host;
}

bool IsIpAddress(const std::string& text) {
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

std::string MachineName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return Lower(name);
}

}  // namespace

RequestGuard::RequestGuard(std::string listen_address)
    : listen_(Lower(listen_address)),
      loopback_(IsLoopbackAddress(listen_)),
      wildcard_(listen_.empty() || listen_ == "0.0.0.0" || listen_ == "::" || listen_ == "[::]") {}

bool RequestGuard::HostAllowed(const std::string& host_header) const {
  const std::string host = HostName(host_header);
  if (host.empty()) return false;
  if (host == listen_) return true;
  if (IsLoopbackAddress(host)) return loopback_ || wildcard_;
  if (loopback_) return false;
  if (wildcard_ && IsIpAddress(host)) return true;
  // On the network, this machine's own name, also with its domain ("pi", "pi.local",
  // "pi.home.arpa"). A name someone else chose for it is not accepted.
  const std::string machine = MachineName();
  return !machine.empty() && (host == machine || host.rfind(machine + ".", 0) == 0);
}

std::string RequestGuard::CrossSiteProblem(const std::string& host_header,
                                           const std::string& origin, const std::string& referer) {
  const std::string own = "http://" + Lower(Trim(host_header));
  if (!origin.empty()) {
    if (Lower(Trim(origin)) == own) return {};
    return "this request came from the page of another site (" + origin +
           "); changes are only taken from this program's own pages";
  }
  if (!referer.empty()) {
    const std::string from = Lower(Trim(referer));
    if (from == own || from.rfind(own + "/", 0) == 0 || from.rfind(own + "?", 0) == 0) return {};
    return "this request came from the page of another site; changes are only taken from this "
           "program's own pages";
  }
  return {};
}

std::string RequestGuard::MediaType(const std::string& content_type) {
  return Lower(Trim(content_type.substr(0, content_type.find(';'))));
}

bool RequestGuard::PrintablePath(const std::string& path) {
  return std::none_of(path.begin(), path.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  });
}

}  // namespace qb
