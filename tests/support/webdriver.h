#pragma once

// A small W3C WebDriver client for browser tests: it starts chromedriver, opens one headless
// Chromium session through it and drives pages over the driver's HTTP interface.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/http_client.h"

namespace qb::test {

// An error reply from the driver ("error" and "message" of the W3C error object), or an answer
// that is not a WebDriver reply at all (error "invalid reply").
class WebDriverError : public std::runtime_error {
 public:
  WebDriverError(std::string command, std::string error, std::string message);
  // The W3C error code, e.g. "no such element", "javascript error", "stale element reference".
  const std::string& error() const { return error_; }
  const std::string& message() const { return message_; }
  // The request that failed, e.g. "POST /session/…/url".
  const std::string& command() const { return command_; }

 private:
  std::string command_;
  std::string error_;
  std::string message_;
};

struct BrowserOptions {
  std::string chromium = "/usr/bin/chromium";
  std::string chromedriver = "/usr/bin/chromedriver";
  int width = 1280;
  int height = 900;
  // How long chromedriver may take to answer and the browser to start.
  std::chrono::milliseconds startup_timeout = std::chrono::seconds(30);
  // Longest wait for a page load or a script; the driver reports "timeout" after it.
  std::chrono::milliseconds page_load_timeout = std::chrono::seconds(30);
  // Loads HTTPS pages whose certificate no authority signed (a test's own self-signed one).
  bool accept_insecure_certs = false;
};

class Browser;

// An element of the current page. It goes stale when the page changes; calls on it then throw
// WebDriverError with error() "stale element reference".
class Element {
 public:
  std::string Text() const;  // the rendered text, as a user sees it
  // The attribute's value, or nothing when the element has no such attribute.
  std::optional<std::string> Attribute(const std::string& name) const;
  // A DOM property (e.g. "value" or "checked" of an input), as JSON; null when there is none.
  nlohmann::json Property(const std::string& name) const;
  std::string TagName() const;
  void Click() const;
  void SendKeys(const std::string& text) const;  // types into an input or text area
  void Clear() const;
  const std::string& id() const { return id_; }

 private:
  friend class Browser;
  Element(Browser& browser, std::string id) : browser_(&browser), id_(std::move(id)) {}
  std::string Path(const std::string& tail) const;
  Browser* browser_;
  std::string id_;
};

// Owns a chromedriver process on a free loopback port and one headless Chromium session with a
// profile in a fresh temporary folder. The destructor ends the session, stops the driver and
// removes the profile, also when a test has failed.
class Browser {
 public:
  explicit Browser(BrowserOptions options = {});
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  void Navigate(const std::string& url);  // returns when the page has loaded
  std::string CurrentUrl();
  std::string Title();
  std::string PageSource();
  void Back();
  void Refresh();

  // Elements matching a CSS selector, in document order; empty when none match.
  std::vector<Element> FindElements(const std::string& css);
  // The first match; throws WebDriverError ("no such element") when there is none.
  Element FindElement(const std::string& css);

  // Runs `script` as the body of a function (use `return`); `args` are its arguments. Returns
  // the result as JSON; DOM elements in it come back as WebDriver element references.
  nlohmann::json ExecuteScript(const std::string& script,
                               const nlohmann::json& args = nlohmann::json::array());

  // The visible part of the page as PNG bytes.
  std::string Screenshot();
  void SaveScreenshot(const std::filesystem::path& path);

  // Calls `predicate` until it returns true or `timeout` has passed; returns its last answer.
  // A predicate that throws "no such element" or "stale element reference" (the page changing
  // under it) counts as false; other exceptions pass through.
  bool WaitFor(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(15),
               std::chrono::milliseconds interval = std::chrono::milliseconds(50));

  // Clicks the first match of `css` (a submit button or a link) and returns once the page it
  // leads to has replaced the current one and finished loading; false when that does not happen
  // within `timeout`. Reading right after a bare click may still see the old page while the
  // server answers the post.
  bool ClickAndWaitForNewPage(const std::string& css,
                              std::chrono::milliseconds timeout = std::chrono::seconds(15));

  // A raw WebDriver command on this session: `path` is relative to /session/{id} (e.g. "/url"),
  // `body` is sent with POST. Returns the reply's "value".
  nlohmann::json Command(const std::string& method, const std::string& path,
                         const nlohmann::json& body = nullptr);

  // What chromedriver and Chromium have written so far, for diagnosing failures.
  std::string DriverLog() const;
  int driver_port() const { return port_; }

 private:
  class ScratchDir;
  class Driver;
  nlohmann::json Send(const std::string& method, const std::string& path,
                      const nlohmann::json& body);
  void StartDriver();
  void CreateSession();

  BrowserOptions options_;
  std::unique_ptr<ScratchDir> dir_;  // profile and driver log; declared first, removed last
  std::unique_ptr<Driver> driver_;
  std::unique_ptr<test::HttpClient> client_;
  int port_ = 0;
  std::string session_;
};

}  // namespace qb::test
