#include "support/webdriver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/web_users.h"
#include "support/http_client.h"

extern char** environ;

namespace qb::test {

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// The key under which WebDriver replies carry an element reference.
constexpr const char* kElementKey = "element-6066-11e4-a52e-4f735466cecf";

std::string Describe(const std::string& command, const std::string& error,
                     const std::string& message) {
  return command + ": " + error + (message.empty() ? "" : ": " + message);
}

std::string StringField(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return {};
  return it->is_string() ? it->get<std::string>() : it->dump();
}

std::string AsString(const json& value, const std::string& command) {
  if (!value.is_string()) throw WebDriverError(command, "invalid reply", "expected a string");
  return value.get<std::string>();
}

// Percent-encodes one URL path segment (attribute and property names).
std::string PathSegment(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// Asks the kernel for a free TCP port on 127.0.0.1. Another program could take it before the
// driver binds it; the caller retries with a new port when the driver does not come up.
int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  const int err = errno;
  close(fd);
  if (!ok) throw std::runtime_error(std::string("no free loopback port: ") + std::strerror(err));
  return ntohs(addr.sin_port);
}

void RequireProgram(const std::string& path, const std::string& what, const std::string& package) {
  if (access(path.c_str(), X_OK) == 0) return;
  throw std::runtime_error("Browser tests need " + what + ", but " + path +
                           " is missing or not executable. Install the Debian package '" + package +
                           "' (apt-get install " + package +
                           "); scripts/bootstrap.sh installs it with the other packages the "
                           "build and tests need.");
}

std::string Tail(const std::string& text, size_t max) {
  return text.size() <= max ? text : "…" + text.substr(text.size() - max);
}

}  // namespace

WebDriverError::WebDriverError(std::string command, std::string error, std::string message)
    : std::runtime_error(Describe(command, error, message)),
      command_(std::move(command)),
      error_(std::move(error)),
      message_(std::move(message)) {}

// A temporary folder (mkdtemp) removed with its contents at the end.
class Browser::ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qb-browser-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      throw std::runtime_error("cannot create a temporary folder: " +
                               std::string(std::strerror(errno)));
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The chromedriver process. It runs in a process group of its own, so stopping it also ends a
// browser it started in that group; its output (and the browser's) goes to a log file rather
// than a pipe that nobody reads while a test runs and that would block the browser when full.
class Browser::Driver {
 public:
  // Runs `program` on `port`, writing its output to `dir`/chromedriver.log.
  Driver(const std::string& program, int port, const std::filesystem::path& dir) {
    const std::vector<std::string> argv = {program, "--port=" + std::to_string(port)};
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string log_path = (dir / "chromedriver.log").string();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // The browser keeps crash reports and caches under the user's configuration and cache
    // folders whatever its profile folder is; these point into the temporary folder instead.
    const std::vector<std::string> own_env = {"XDG_CONFIG_HOME=" + (dir / "config").string(),
                                              "XDG_CACHE_HOME=" + (dir / "cache").string()};
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0 &&
          std::strncmp(*e, "XDG_CACHE_HOME=", 15) != 0) {
        env.push_back(*e);
      }
    }
    for (const auto& e : own_env) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), env.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    }
  }
  ~Driver() { Stop(); }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // True while the driver runs. An ended driver is left unreaped until Stop, so its process
  // group id cannot be reused by an unrelated program before Stop signals the group.
  bool Running() {
    if (pid_ < 0) return false;
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

  // Asks the driver's group to end, waits a while, then kills what is left and reaps the driver.
  void Stop() {
    if (pid_ < 0) return;
    kill(-pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (Running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    kill(-pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

Browser::Browser(BrowserOptions options) : options_(std::move(options)) {
  RequireProgram(options_.chromium, "Chromium", "chromium");
  RequireProgram(options_.chromedriver, "chromedriver", "chromium-driver");
  dir_ = std::make_unique<ScratchDir>();
  StartDriver();
  CreateSession();
}

Browser::~Browser() {
  if (!session_.empty() && client_) {
    try {
      Send("DELETE", "/session/" + session_, nullptr);
    } catch (const std::exception&) {
      // The driver is stopped below either way, and the browser with it.
    }
  }
  client_.reset();
  driver_.reset();
  dir_.reset();
}

void Browser::StartDriver() {
  std::string failures;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    driver_ = std::make_unique<Driver>(options_.chromedriver, port_, dir_->path());
    client_ = std::make_unique<test::HttpClient>("127.0.0.1", port_);
    client_->set_connection_timeout(1s);
    client_->set_read_timeout(5s);
    const auto deadline = std::chrono::steady_clock::now() + options_.startup_timeout;
    while (driver_->Running() && std::chrono::steady_clock::now() < deadline) {
      if (auto r = client_->Get("/status"); r && r->status == 200) {
        const json reply = json::parse(r->body, nullptr, false);
        if (!reply.is_discarded() && reply.is_object() && reply.contains("value") &&
            reply["value"].is_object() && reply["value"].value("ready", false)) {
          // Commands such as a page load can take long; the driver's own timeouts are shorter.
          client_->set_read_timeout(options_.page_load_timeout + options_.startup_timeout);
          return;
        }
      }
      std::this_thread::sleep_for(50ms);
    }
    const bool ended = !driver_->Running();
    driver_.reset();
    client_.reset();
    failures += ended ? "chromedriver on port " + std::to_string(port_) + " ended at start; "
                      : "chromedriver on port " + std::to_string(port_) + " did not get ready; ";
    if (!ended) break;  // a driver that hangs would hang again; only a lost port is retried
  }
  throw std::runtime_error(failures + "its output:\n" + Tail(DriverLog(), 4000));
}

void Browser::CreateSession() {
  const std::string size = std::to_string(options_.width) + "," + std::to_string(options_.height);
  const auto page_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(options_.page_load_timeout).count();
  const json caps = {
      {"capabilities",
       {{"alwaysMatch",
         {{"browserName", "chrome"},
          {"pageLoadStrategy", "normal"},
          {"acceptInsecureCerts", options_.accept_insecure_certs},
          {"timeouts", {{"implicit", 0}, {"pageLoad", page_ms}, {"script", page_ms}}},
          {"goog:chromeOptions",
           {{"binary", options_.chromium},
            {"args",
             {"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=" + size, "--user-data-dir=" + (dir_->path() / "profile").string(),
              "--no-first-run", "--no-default-browser-check"}}}}}}}}};
  json value;
  try {
    value = Send("POST", "/session", caps);
  } catch (const WebDriverError& e) {
    throw WebDriverError(e.command(), e.error(),
                         e.message() + "\nchromedriver output:\n" + Tail(DriverLog(), 4000));
  }
  if (!value.is_object() || !value.contains("sessionId") || !value["sessionId"].is_string()) {
    throw WebDriverError("POST /session", "invalid reply", "no session id in " + value.dump());
  }
  session_ = value["sessionId"].get<std::string>();
}

json Browser::Send(const std::string& method, const std::string& path, const json& body) {
  const std::string command = method + " " + path;
  test::HttpResult r;
  if (method == "GET") {
    r = client_->Get(path.c_str());
  } else if (method == "POST") {
    r = client_->Post(path.c_str(), body.is_null() ? std::string("{}") : body.dump(),
                      "application/json");
  } else if (method == "DELETE") {
    r = client_->Delete(path.c_str());
  } else {
    throw std::invalid_argument("unsupported WebDriver method " + method);
  }
  if (!r) {
    throw std::runtime_error(command + ": no answer from chromedriver (" + r.error() + ")" +
                             (driver_ && !driver_->Running() ? "; the driver has ended" : ""));
  }
  json reply = json::parse(r->body, nullptr, false);
  if (reply.is_discarded() || !reply.is_object() || !reply.contains("value")) {
    throw WebDriverError(command, "invalid reply",
                         "HTTP " + std::to_string(r->status) + ": " + Tail(r->body, 500));
  }
  json& value = reply["value"];
  if (r->status != 200 || (value.is_object() && value.contains("error"))) {
    const std::string error = value.is_object() ? StringField(value, "error") : "";
    throw WebDriverError(command, error.empty() ? "unknown error" : error,
                         value.is_object() ? StringField(value, "message") : value.dump());
  }
  return std::move(value);
}

json Browser::Command(const std::string& method, const std::string& path, const json& body) {
  if (session_.empty()) throw std::logic_error("no browser session");
  return Send(method, "/session/" + session_ + path, body);
}

void Browser::Navigate(const std::string& url) {
  Command("POST", "/url", {{"url", url}});
}

std::string Browser::CurrentUrl() {
  return AsString(Command("GET", "/url"), "GET /url");
}

std::string Browser::Title() {
  return AsString(Command("GET", "/title"), "GET /title");
}

std::string Browser::PageSource() {
  return AsString(Command("GET", "/source"), "GET /source");
}

void Browser::Back() {
  Command("POST", "/back", json::object());
}

void Browser::Refresh() {
  Command("POST", "/refresh", json::object());
}

std::vector<Element> Browser::FindElements(const std::string& css) {
  const json found = Command("POST", "/elements", {{"using", "css selector"}, {"value", css}});
  if (!found.is_array()) throw WebDriverError("POST /elements", "invalid reply", found.dump());
  std::vector<Element> elements;
  for (const auto& ref : found) {
    if (!ref.is_object() || !ref.contains(kElementKey) || !ref[kElementKey].is_string()) {
      throw WebDriverError("POST /elements", "invalid reply", ref.dump());
    }
    elements.push_back(Element(*this, ref[kElementKey].get<std::string>()));
  }
  return elements;
}

Element Browser::FindElement(const std::string& css) {
  auto elements = FindElements(css);
  if (elements.empty()) {
    throw WebDriverError("find " + css, "no such element", "nothing matches " + css);
  }
  return elements.front();
}

json Browser::ExecuteScript(const std::string& script, const json& args) {
  return Command("POST", "/execute/sync", {{"script", script}, {"args", args}});
}

std::string Browser::Screenshot() {
  const std::string encoded = AsString(Command("GET", "/screenshot"), "GET /screenshot");
  auto png = DecodeBase64(encoded);
  if (!png)
    throw WebDriverError("GET /screenshot", "invalid reply", "the screenshot is not base64");
  return *png;
}

void Browser::SaveScreenshot(const std::filesystem::path& path) {
  const std::string png = Screenshot();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(png.data(), static_cast<std::streamsize>(png.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write the screenshot to " + path.string());
}

bool Browser::WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    try {
      if (predicate()) return true;
    } catch (const WebDriverError& e) {
      if (e.error() != "no such element" && e.error() != "stale element reference") throw;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
}

bool Browser::ClickAndWaitForNewPage(const std::string& css, std::chrono::milliseconds timeout) {
  // A mark on the current document: it is gone once another document has replaced it.
  ExecuteScript("window.qbOldPage = true;");
  FindElement(css).Click();
  return WaitFor(
      [&] {
        try {
          return ExecuteScript("return !window.qbOldPage && document.readyState == 'complete';")
              .get<bool>();
        } catch (const WebDriverError&) {
          return false;  // asked while the new page was being committed
        }
      },
      timeout, std::chrono::milliseconds(50));
}

std::string Browser::DriverLog() const {
  if (!dir_) return {};
  std::ifstream in(dir_->path() / "chromedriver.log", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Element::Path(const std::string& tail) const {
  return "/element/" + id_ + tail;
}

std::string Element::Text() const {
  return AsString(browser_->Command("GET", Path("/text")), "GET element text");
}

std::optional<std::string> Element::Attribute(const std::string& name) const {
  const json value = browser_->Command("GET", Path("/attribute/" + PathSegment(name)));
  if (value.is_null()) return std::nullopt;
  return value.is_string() ? value.get<std::string>() : value.dump();
}

json Element::Property(const std::string& name) const {
  return browser_->Command("GET", Path("/property/" + PathSegment(name)));
}

std::string Element::TagName() const {
  return AsString(browser_->Command("GET", Path("/name")), "GET element name");
}

void Element::Click() const {
  browser_->Command("POST", Path("/click"), json::object());
}

void Element::SendKeys(const std::string& text) const {
  browser_->Command("POST", Path("/value"), {{"text", text}});
}

void Element::Clear() const {
  browser_->Command("POST", Path("/clear"), json::object());
}

}  // namespace qb::test
