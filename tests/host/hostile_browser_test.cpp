// A page of another site, opened in headless Chromium, tries to switch a device of the program:
// its request is refused (403), and a second request hidden in the refused request's body must
// not run either.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "access/rom.h"
#include "host/http_server.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"
#include "support/webdriver.h"

namespace qb::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Serves the hostile page; a second one on another port takes the browser's request of the same
// shape as the attack's and tells (GET /head) how long its head was: the browser sends the same
// headers to both, the port being of the same length.
class HostileSite {
 public:
  explicit HostileSite(const std::string& page) {
    server_.Get(
        "/", [page](const HttpRequest&, HttpResponse& res) { res.set_content(page, "text/html"); });
    server_.Post(
        R"(/api/devices/(\d+)/command)", [this](const HttpRequest& req, HttpResponse& res) {
          size_t head = req.method.size() + 1 + req.target.size() + 1 + req.version.size() + 2 + 2;
          for (const auto& [name, value] : req.headers) {
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
                name == "LOCAL_PORT")
              continue;
            head += name.size() + 2 + value.size() + 2;
          }
          {
            std::lock_guard lock(mutex_);
            head_ = head;
          }
          res.set_content("", "text/plain");
        });
    server_.Get("/head", [this](const HttpRequest&, HttpResponse& res) {
      std::lock_guard lock(mutex_);
      res.set_header("Access-Control-Allow-Origin", "*");
      res.set_content(std::to_string(head_), "text/plain");
    });
    if (!server_.Bind("127.0.0.1", 0).empty() || !server_.Start().empty())
      throw std::runtime_error("test web server cannot start");
    port_ = server_.Port();
  }
  ~HostileSite() { server_.Stop(); }
  int port() const { return port_; }

 private:
  HttpServer server_;
  int port_ = 0;
  std::mutex mutex_;
  size_t head_ = 0;
};

TEST(HostileBrowser, APageOfAnotherSiteCannotSwitchADeviceThroughAHiddenRequest) {
  TempDir dir;
  const std::string sw = access::RomId::Make(0x12, 51).ToString();
  WriteFile(
      dir.path() / "bus.json",
      json{{"devices", {{{"rom", sw}, {"latches", {true, false}}, {"levels", {false, true}}}}}}
          .dump());
  WriteFile(
      dir.path() / "settings.ini",
      "[Settings]\nIntType=SIM\nIntPort=" + (dir.path() / "bus.json").string() + "\nPollCycle=1\n");
  ChildProcess program({QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir.path() / "app").string(),
                        "--settings", (dir.path() / "settings.ini").string(), "--http",
                        "127.0.0.1:0"});
  std::smatch m;
  const std::string line = program.WaitForLine("Web pages: ");
  ASSERT_TRUE(std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")));
  const int port = std::stoi(m[1]);
  test::HttpClient api("127.0.0.1", port);
  auto latch = [&]() -> json {
    if (auto res = api.Get("/api/devices"); res && res->status == 200) {
      for (const auto& d : json::parse(res->body)) {
        if (d["iomisc"] == sw + "S0") return d;
      }
    }
    return nullptr;
  };
  json device;
  for (int i = 0; i < 60 && (device.is_null() || device["string"] != "On"); ++i) {
    program.WaitForLine("\n", 250ms);
    device = latch();
  }
  ASSERT_FALSE(device.is_null()) << program.output();
  ASSERT_EQ(device["string"], "On");
  const std::string command =
      "/api/devices/" + std::to_string(device["ref"].get<int>()) + "/command";

  // The page sends, as a cross-site "simple" request the browser makes without asking, a
  // text/plain post whose body holds a second request: once right after the head, once after
  // the first 4,096 bytes of the connection (its head measured on a look-alike server).
  const std::string target = "http://127.0.0.1:" + std::to_string(port) + command;
  const std::string page = R"(<!DOCTYPE html><html><head><title>Cat pictures</title></head><body>
<p id="status">working</p><script>
const hidden = "POST )" + command +
                           R"( HTTP/1.1\r\nContent-Type: application/json\r\n" +
               "Content-Length: 17\r\n\r\n{\"command\":\"Off\"}";
async function send(url, body) {
  try { await fetch(url, {method: "POST", mode: "no-cors", body: body,
                          headers: {"Content-Type": "text/plain"}}); } catch (e) {}
}
async function attack(lookalike, lookalike_head, target) {
  const total = 6000;
  const pad = (n) => "x".repeat(Math.max(0, n));
  await send(target, hidden + pad(total - hidden.length));
  await send(lookalike, pad(total));
  const head = parseInt(await (await fetch(lookalike_head)).text());
  const before = 4096 - head;
  await send(target, pad(before) + hidden + pad(total - before - hidden.length));
  document.getElementById("status").textContent = "done " + head;
}
</script></body></html>)";
  HostileSite site(page), twin("");
  ASSERT_GT(site.port(), 0);
  ASSERT_GT(twin.port(), 0);
  Browser browser;
  browser.Navigate("http://127.0.0.1:" + std::to_string(site.port()) + "/");
  const std::string twin_url = "http://127.0.0.1:" + std::to_string(twin.port());
  browser.ExecuteScript("attack(arguments[0], arguments[1], arguments[2]); return true;",
                        json::array({twin_url + command, twin_url + "/head", target}));
  ASSERT_TRUE(browser.WaitFor(
      [&] {
        program.WaitForLine("\n", 10ms);
        return browser.FindElement("#status").Text().rfind("done", 0) == 0;
      },
      20s))
      << browser.PageSource();
  // A few poll cycles: a switched latch would show.
  for (int i = 0; i < 12; ++i) program.WaitForLine("\n", 250ms);
  EXPECT_EQ(latch()["string"], "On") << program.output();
  EXPECT_EQ(program.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace qb::test
