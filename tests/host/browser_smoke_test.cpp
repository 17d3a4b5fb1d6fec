// The WebDriver client against a small local web server: pages, elements, a real form post,
// scripts, driver errors and screenshots in headless Chromium.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "host/http_server.h"
#include "support/temp_dir.h"
#include "support/webdriver.h"
#include "web/html.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

// A page with a form; posting it answers a page that greets the posted name.
class GreetingServer {
 public:
  GreetingServer() {
    server_.Get("/", [](const HttpRequest&, HttpResponse& res) {
      res.set_content(
          "<!DOCTYPE html><html><head><title>Greeting form</title></head><body>"
          "<p id=\"status\">No greeting yet</p>"
          "<form method=\"post\" action=\"/greet\">"
          "<input id=\"name\" name=\"name\" value=\"\" data-kind=\"text\">"
          "<button id=\"send\" type=\"submit\">Send</button></form></body></html>",
          "text/html");
    });
    server_.Post("/greet", [this](const HttpRequest& req, HttpResponse& res) {
      const std::string name = req.get_param_value("name");
      {
        std::lock_guard lock(mutex_);
        posted_.push_back(name);
      }
      res.set_content(
          "<!DOCTYPE html><html><head><title>Greeted</title></head><body>"
          "<p id=\"status\">Hello, " +
              EscapeHtml(name) + "!</p></body></html>",
          "text/html");
    });
    if (!server_.Bind("127.0.0.1", 0).empty() || !server_.Start().empty())
      throw std::runtime_error("test web server cannot start");
    port_ = server_.Port();
  }
  ~GreetingServer() { server_.Stop(); }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> posted() {
    std::lock_guard lock(mutex_);
    return posted_;
  }

 private:
  HttpServer server_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> posted_;
};

uint32_t BigEndian32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

class BrowserSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override { browser = std::make_unique<Browser>(); }

  GreetingServer server;
  std::unique_ptr<Browser> browser;
};

TEST_F(BrowserSmokeTest, FormPostChangesThePageAndScreenshotIsPng) {
  browser->Navigate(server.url("/"));
  EXPECT_EQ(browser->Title(), "Greeting form");
  EXPECT_THAT(browser->PageSource(), HasSubstr("id=\"send\""));
  EXPECT_EQ(browser->FindElement("#status").Text(), "No greeting yet");
  EXPECT_TRUE(browser->FindElements("#nothing-like-this").empty());

  const auto fields = browser->FindElements("form input, form button");
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].TagName(), "input");
  EXPECT_EQ(fields[0].Attribute("data-kind"), "text");
  EXPECT_EQ(fields[0].Attribute("data-missing"), std::nullopt);
  EXPECT_EQ(fields[1].Text(), "Send");

  // Markup in the name must reach the server as typed and come back as text, not as markup.
  const std::string name = "Ada <b>& co";
  fields[0].SendKeys(name);
  EXPECT_EQ(fields[0].Property("value"), name);
  fields[1].Click();
  ASSERT_TRUE(browser->WaitFor([&] { return browser->Title() == "Greeted"; }))
      << browser->PageSource();
  EXPECT_EQ(browser->FindElement("#status").Text(), "Hello, " + name + "!");
  EXPECT_TRUE(browser->FindElements("b").empty());
  EXPECT_EQ(browser->CurrentUrl(), server.url("/greet"));
  EXPECT_EQ(server.posted(), std::vector<std::string>{name});

  // The screenshot decodes to a PNG of the viewport (device pixels).
  const std::string png = browser->Screenshot();
  ASSERT_GE(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), kPngSignature);
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  const json viewport = browser->ExecuteScript(
      "return [Math.round(window.innerWidth * window.devicePixelRatio),"
      "        Math.round(window.innerHeight * window.devicePixelRatio)];");
  EXPECT_EQ(json({BigEndian32(png, 16), BigEndian32(png, 20)}), viewport);

  TempDir dir;
  browser->SaveScreenshot(dir.path() / "page.png");
  EXPECT_THAT(ReadFile(dir.path() / "page.png"), StartsWith(kPngSignature));
}

TEST_F(BrowserSmokeTest, ScriptsReturnJsonAndDriverErrorsCarryTheirCode) {
  browser->Navigate(server.url("/"));
  EXPECT_EQ(browser->ExecuteScript("return [arguments[0] + 1, document.title, null, {a: 'x'}];",
                                   json::array({41})),
            json::parse(R"([42, "Greeting form", null, {"a": "x"}])"));

  try {
    browser->ExecuteScript("throw new Error('boom from the page');");
    ADD_FAILURE() << "a script error must throw";
  } catch (const WebDriverError& e) {
    EXPECT_EQ(e.error(), "javascript error");
    EXPECT_THAT(e.message(), HasSubstr("boom from the page"));
    EXPECT_THAT(e.what(), HasSubstr("javascript error"));
  }

  try {
    browser->FindElement("#nothing-like-this");
    ADD_FAILURE() << "a missing element must throw";
  } catch (const WebDriverError& e) {
    EXPECT_EQ(e.error(), "no such element");
  }

  // An element of a page that has been replaced is stale; waiting on it ends with false rather
  // than an exception, while other errors in the predicate pass through.
  const Element status = browser->FindElement("#status");
  browser->Refresh();
  try {
    status.Text();
    ADD_FAILURE() << "an element of a replaced page must be stale";
  } catch (const WebDriverError& e) {
    EXPECT_EQ(e.error(), "stale element reference");
  }
  EXPECT_FALSE(
      browser->WaitFor([&] { return !status.Text().empty(); }, std::chrono::milliseconds(200)));
  EXPECT_THROW(browser->WaitFor([&] { return browser->ExecuteScript("throw 1;").is_null(); }),
               WebDriverError);
}

TEST(BrowserSetupTest, MissingProgramsNameTheirPackageAndTheBootstrap) {
  const auto message_for = [](BrowserOptions options) -> std::string {
    try {
      Browser browser(std::move(options));
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  };
  const std::string no_browser = message_for({.chromium = "/nonexistent/chromium"});
  EXPECT_THAT(no_browser, HasSubstr("'chromium'"));
  EXPECT_THAT(no_browser, HasSubstr("scripts/bootstrap.sh"));
  const std::string no_driver = message_for({.chromedriver = "/nonexistent/chromedriver"});
  EXPECT_THAT(no_driver, HasSubstr("'chromium-driver'"));
  EXPECT_THAT(no_driver, HasSubstr("scripts/bootstrap.sh"));
}

}  // namespace
}  // namespace qb::test
