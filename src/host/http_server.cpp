#include "host/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "host/http_files.h"
#include "host/request_deadlines.h"
#include "host/work_pool.h"

namespace qb {

// What the server knows of one request while it arrives, from its first line to its answer.
struct HttpServer::Exchange {
  HttpRequest request;
  HttpResponse response;
  bool head_seen = false;
  bool answered = false;  // answered from its head alone: the body is not read
  bool body_too_large = false;
  bool set_aside = false;         // its answer is being made on a slow-work thread
  std::atomic<bool> made{false};  // ... and is ready to send
};

namespace {

std::string ClientAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return {};
  char text[INET6_ADDRSTRLEN] = {};
  const sockaddr* addr = info->client_addr;
  if (addr->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
  } else if (addr->sa_family == AF_INET6) {
    const auto* a6 = reinterpret_cast<const sockaddr_in6*>(addr);
    if (IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr)) {
      in_addr v4{};
      std::memcpy(&v4, a6->sin6_addr.s6_addr + 12, 4);
      inet_ntop(AF_INET, &v4, text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text);
    }
  }
  return text;
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* headers = static_cast<std::vector<std::pair<std::string, std::string>>*>(cls);
  headers->emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

bool RequestMediaIsForm(const HttpRequest& req) {
  std::string type = req.get_header_value("Content-Type");
  type = type.substr(0, type.find(';'));
  type.erase(std::remove_if(type.begin(), type.end(), [](char c) { return c == ' ' || c == '\t'; }),
             type.end());
  return strcasecmp(type.c_str(), "application/x-www-form-urlencoded") == 0;
}

void PlainAnswer(HttpResponse& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

// Faults in how a request is framed, which a server and a proxy in front of it could read
// differently (one request to one, two to the other): empty when there are none.
std::string FramingProblem(const HttpRequest& req) {
  for (const auto& [name, value] : req.headers) {
    if (name.empty() || name.find_first_of(" \t") != std::string::npos)
      return "A header name holds a blank (\"" + name + "\").";
  }
  std::string length;
  for (const auto& [name, value] : req.headers) {
    if (strcasecmp(name.c_str(), "Content-Length") != 0) continue;
    if (!length.empty() && value != length) return "The request gives two Content-Length values.";
    length = value;
  }
  return {};
}

// Whether the body a request announces with its Content-Length is larger than `limit` (a length
// too large to be a number counts as larger). A chunked body shows its length only as it comes.
bool AnnouncedBodyTooLarge(const HttpRequest& req, size_t limit) {
  if (!req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) return false;
  const std::string length = req.get_header_value("Content-Length");
  size_t bytes = 0;
  const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
  return error == std::errc::result_out_of_range ||
         (error == std::errc() && end == length.data() + length.size() && bytes > limit);
}

}  // namespace

// The C callbacks of the server library, forwarding to the server.
struct HttpServerCallbacks {
  // The first sight of a request: its target as the client sent it, before any decoding.
  static void* Begin(void*, const char* uri, MHD_Connection*) {
    auto* exchange = new HttpServer::Exchange;
    exchange->request.target = uri ? uri : "";
    return exchange;
  }

  static void Completed(void* cls, MHD_Connection* connection, void** context,
                        MHD_RequestTerminationCode code) {
    delete static_cast<HttpServer::Exchange*>(*context);
    *context = nullptr;
    auto& server = *static_cast<HttpServer*>(cls);
    if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK && server.deadlines_)
      server.deadlines_->Answered(connection);
  }

  // Makes the answer on a slow-work thread while the event loop serves the other connections,
  // then hands the connection back to the loop, which sends the answer.
  static void SetAside(MHD_Connection* connection, HttpServer& server,
                       HttpServer::Exchange& exchange) {
    exchange.set_aside = true;
    MHD_suspend_connection(connection);
    server.slow_work_->Run([connection, &exchange] {
      HttpResponse& res = exchange.response;
      const auto later = std::move(res.later);
      res.later = nullptr;
      try {
        later(exchange.request, res);
      } catch (const std::exception& e) {
        res = HttpResponse{};
        PlainAnswer(res, 500, std::string("The answer could not be made: ") + e.what());
      }
      exchange.made = true;
      MHD_resume_connection(connection);
    });
  }

  // Connections come and go: each is timed until its request has arrived.
  static void Connection(void* cls, MHD_Connection* connection, void**,
                         MHD_ConnectionNotificationCode code) {
    auto& server = *static_cast<HttpServer*>(cls);
    if (!server.deadlines_) return;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info) server.deadlines_->Opened(connection, info->connect_fd);
    } else {
      server.deadlines_->Closed(connection);
    }
  }

  static MHD_Result Send(MHD_Connection* connection, HttpServer& server,
                         HttpServer::Exchange& exchange) {
    HttpResponse& res = exchange.response;
    if (server.finisher_) server.finisher_(exchange.request, res);
    MHD_Response* response =
        MHD_create_response_from_buffer(res.body.size(), res.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    for (const auto& [name, value] : res.headers)
      MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(res.status), response);
    MHD_destroy_response(response);
    return queued;
  }

  static MHD_Result Access(void* cls, MHD_Connection* connection, const char*, const char* method,
                           const char* version, const char* upload_data, size_t* upload_size,
                           void** context) {
    auto& server = *static_cast<HttpServer*>(cls);
    auto* exchange = static_cast<HttpServer::Exchange*>(*context);
    if (!exchange) return MHD_NO;
    HttpRequest& req = exchange->request;
    HttpResponse& res = exchange->response;
    if (exchange->set_aside) {
      // The connection is back from the slow-work thread with its answer.
      return exchange->made ? Send(connection, server, *exchange) : MHD_YES;
    }

    if (!exchange->head_seen) {
      exchange->head_seen = true;
      req.method = method ? method : "";
      req.version = version ? version : "";
      const auto query = req.target.find('?');
      req.path = DecodePercent(req.target.substr(0, query), false);
      if (query != std::string::npos) req.params = ParseParams(req.target.substr(query + 1));
      MHD_get_connection_values(connection, MHD_HEADER_KIND, CollectHeader, &req.headers);
      req.remote_address = ClientAddress(connection);
      if (const std::string problem = FramingProblem(req); !problem.empty()) {
        PlainAnswer(res, 400, problem);
        exchange->answered = true;
      } else if (server.guard_ && server.guard_(req, res)) {
        exchange->answered = true;
      } else if (AnnouncedBodyTooLarge(req, server.limits_.max_body)) {
        // Whatever the method: a GET announcing a terabyte is not read and dropped.
        PlainAnswer(
            res, 413,
            "The body may be at most " + std::to_string(server.limits_.max_body) + " bytes.");
        exchange->answered = true;
      }
      if (exchange->answered) {
        if (server.deadlines_) server.deadlines_->Arrived(connection);
        // The body is left unread: nothing after it on this connection is taken as a request.
        res.set_header("Connection", "close");
        return Send(connection, server, *exchange);
      }
      return MHD_YES;
    }
    if (exchange->answered) {
      *upload_size = 0;
      return MHD_YES;
    }
    if (*upload_size > 0) {
      // The body is taken in pieces; a chunked one beyond the limit is read and dropped, and
      // refused whole (a larger announced length was refused from the head).
      if (!exchange->body_too_large && req.body.size() + *upload_size <= server.limits_.max_body) {
        req.body.append(upload_data, *upload_size);
      } else {
        exchange->body_too_large = true;
        req.body.clear();
      }
      *upload_size = 0;
      return MHD_YES;
    }
    if (server.deadlines_) server.deadlines_->Arrived(connection);
    if (exchange->body_too_large) {
      PlainAnswer(res, 413,
                  "The body may be at most " + std::to_string(server.limits_.max_body) + " bytes.");
      res.set_header("Connection", "close");
    } else {
      server.Dispatch(*exchange);
      if (res.later && server.slow_work_) {
        SetAside(connection, server, *exchange);
        return MHD_YES;
      }
    }
    return Send(connection, server, *exchange);
  }
};

HttpServer::HttpServer() = default;

HttpServer::~HttpServer() {
  Stop();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void HttpServer::Route(const std::string& method, const std::string& pattern, Handler handler) {
  routes_.push_back({method, std::regex(pattern), std::move(handler)});
}

void HttpServer::Mount(const std::string& prefix, const std::filesystem::path& folder) {
  mount_prefix_ = prefix;
  mount_folder_ = folder;
}

void HttpServer::SetTls(std::string certificate, std::string key) {
  tls_certificate_ = std::move(certificate);
  tls_key_ = std::move(key);
}

void HttpServer::Dispatch(Exchange& exchange) {
  HttpRequest& req = exchange.request;
  HttpResponse& res = exchange.response;
  if (req.method == "POST" && RequestMediaIsForm(req)) {
    for (auto& [name, value] : ParseParams(req.body)) req.params.emplace(name, value);
  }
  const bool get = req.method == "GET" || req.method == "HEAD";
  if (get && !mount_prefix_.empty() && req.path.rfind(mount_prefix_ + "/", 0) == 0) {
    ServeFile(mount_folder_, req.path.substr(mount_prefix_.size() + 1), req, res);
    return;
  }
  for (auto& route : routes_) {
    if (route.method != req.method && !(route.method == "GET" && req.method == "HEAD")) continue;
    std::smatch match;
    if (!std::regex_match(req.path, match, route.pattern)) continue;
    for (const auto& group : match) req.matches.push_back(group.str());
    route.handler(req, res);
    return;
  }
  PlainAnswer(res, 404, "There is nothing at " + req.path + ".");
}

std::string HttpServer::Bind(const std::string& address, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string host = address.size() > 2 && address.front() == '[' && address.back() == ']'
                               ? address.substr(1, address.size() - 2)
                               : address;
  if (getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints,
                  &found) != 0 ||
      !found) {
    return "the address is not one of this machine's";
  }
  std::string error = "the port is in use or the address is not one of this machine's";
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // SO_REUSEADDR only: SO_REUSEPORT would let a second program share a port in use.
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 511) != 0) {
      ::close(fd);
      continue;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                          : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    listen_fd_ = fd;
    error.clear();
    break;
  }
  freeaddrinfo(found);
  return error;
}

unsigned HttpServer::ConnectionLimit() const {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return limits_.max_connections;
  const rlim_t reserve = limits_.reserved_descriptors;
  const rlim_t usable =
      limit.rlim_cur > 2 * reserve ? limit.rlim_cur - reserve : limit.rlim_cur / 2;
  return static_cast<unsigned>(std::min<rlim_t>(limits_.max_connections, usable));
}

std::string HttpServer::Start() {
  if (listen_fd_ < 0) return "the server is not bound to an address";
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
  const bool tls = !tls_certificate_.empty();
  if (tls) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES)
      return "this build of the web server library has no HTTPS";
    flags |= MHD_USE_TLS;
  }
  // The certificate and key, when given, as an array the library reads with the rest.
  std::vector<MHD_OptionItem> tls_options;
  slow_work_ = std::make_unique<WorkPool>(std::max(1u, limits_.slow_threads));
  deadlines_ = std::make_unique<RequestDeadlines>(
      std::chrono::seconds(std::max(1u, limits_.request_timeout_seconds)));
  if (tls) {
    tls_options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, tls_certificate_.data()});
    tls_options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, tls_key_.data()});
  }
  tls_options.push_back({MHD_OPTION_END, 0, nullptr});
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &HttpServerCallbacks::Access, this,  //
      MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listen_fd_),   //
      MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(limits_.threads),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits_.idle_timeout_seconds),
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(ConnectionLimit()),
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(limits_.per_address),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(limits_.memory_per_connection),
      MHD_OPTION_URI_LOG_CALLBACK, &HttpServerCallbacks::Begin, static_cast<void*>(nullptr),
      MHD_OPTION_NOTIFY_COMPLETED, &HttpServerCallbacks::Completed, static_cast<void*>(this),
      MHD_OPTION_NOTIFY_CONNECTION, &HttpServerCallbacks::Connection, static_cast<void*>(this),
      MHD_OPTION_ARRAY, tls_options.data(), MHD_OPTION_END);
  if (!daemon_) {
    deadlines_.reset();
    slow_work_.reset();
    return tls ? "the web server could not start: the certificate or key is not usable (PEM "
                 "files of a matching pair are needed)"
               : "the web server could not start";
  }
  listen_fd_ = -1;  // the library closes it when it stops
  return {};
}

void HttpServer::Stop() {
  // Answers under way are finished first: their connections must be back with the event loops
  // before these stop.
  slow_work_.reset();
  if (daemon_) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  deadlines_.reset();
}

uint64_t HttpServer::DroppedSlowRequests() const {
  return deadlines_ ? deadlines_->Dropped() : 0;
}

}  // namespace qb
