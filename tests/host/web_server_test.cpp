#include "host/web_server.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/hspi.h"
#include "host/builtin_host.h"
#include "host/http_server.h"
#include "host/web_users.h"
#include "platform/event_loop.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using nlohmann::json;
using test::TempDir;

// A plug-in that answers pages with what it was given and who asked.
class PagePlugin : public HostedPlugin {
 public:
  explicit PagePlugin(BuiltInHost& host) : host_(host) {}
  std::string PluginName() const override { return kPluginName; }
  std::string link() const override { return "1-Wire"; }
  std::string linktext() const override { return "1-Wire"; }
  std::string page_title() const override { return "<b>Quellbrook</b> & co"; }
  std::string GenPage(const std::string& lnk) override {
    on_thread = std::this_thread::get_id();
    return "<p>page for [" + lnk + "] user [" + host_.WEBLoggedInUser() + "]</p>";
  }
  std::string PagePut(const std::string& data) override { return "<p>posted [" + data + "]</p>"; }
  void SetIO(HostDevice*, const std::string& hc, const std::string& dc, int16_t command, int16_t,
             int16_t, int16_t) override {
    commands.push_back(hc + dc + ":" + std::to_string(command));
  }
  void SelectMenu(const std::string& menu_name) override { chosen.push_back(menu_name); }
  std::vector<std::string> commands, chosen;
  std::thread::id on_thread;

 private:
  BuiltInHost& host_;
};

std::string Hash(const std::string& password) {
  crypt_data data;
  std::memset(&data, 0, sizeof data);
  return crypt_r(password.c_str(), "$6$qbtestsalt$", &data);
}

class WebServerTest : public ::testing::Test {
 protected:
  void Start() {
    host = std::make_shared<BuiltInHost>(dir.str(), clock, false);
    host->Start();
    ASSERT_EQ(users.Load(dir.path() / "users"), "");
    server = std::make_unique<HostWebServer>(*host, loop, users, dir.path() / "html" / "1wire");
    ASSERT_EQ(server->Bind("127.0.0.1", 0), "");
    server->Start();
    loop_thread = std::thread([this] { loop.Run(); });
    std::promise<void> running;
    loop.Post([&] { running.set_value(); });
    running.get_future().wait();
    client = std::make_unique<test::HttpClient>("127.0.0.1", server->Port());
  }
  void TearDown() override {
    if (server) server->Stop();
    loop.Quit();
    if (loop_thread.joinable()) loop_thread.join();
  }

  TempDir dir;
  SystemClock clock;
  HeadlessEventLoop loop{clock};
  WebUsers users;
  std::shared_ptr<BuiltInHost> host;
  std::unique_ptr<HostWebServer> server;
  std::unique_ptr<test::HttpClient> client;
  std::thread loop_thread;
};

TEST_F(WebServerTest, PluginPagesAreFramedAndAnsweredOnThePluginThread) {
  Start();
  PagePlugin plugin(*host);
  auto res = client->Get("/1-Wire?PAGE=0");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);  // no link registered yet

  loop.Invoke([&] { host->RegisterLink(plugin); });
  res = client->Get("/1-Wire?PAGE=0&x=%20y");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("<p>page for [1-Wire?PAGE=0&x=%20y] user []</p>"), std::string::npos)
      << res->body;
  EXPECT_NE(res->body.find("<title>Quellbrook &amp; co</title>"), std::string::npos);
  EXPECT_NE(res->body.find("<div class=\"pagetitle\"><b>Quellbrook</b> & co</div>"),
            std::string::npos);
  EXPECT_NE(res->body.find("href=\"/style.css\""), std::string::npos);
  EXPECT_EQ(plugin.on_thread, loop_thread.get_id());
  EXPECT_EQ(client->Get("/1-Wire")->body.find("[1-Wire]") != std::string::npos, true);

  res = client->Post("/1-Wire", "Update A12=Update&DEBUG=1", "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("posted [Update A12=Update&DEBUG=1]"), std::string::npos);

  auto css = client->Get("/style.css");
  for (const char* cls :
       {"tableheader", "tablecolumn", "tableroweven", "tablerowodd", "tablecelldim", "tablecelloff",
        "tablecellon", "tablecellcustom", "tablecellwav", "formbutton", ".text"}) {
    EXPECT_NE(css->body.find(cls), std::string::npos) << cls;
  }
  EXPECT_EQ(client->Get("/nothing-here")->status, 404);
}

// A plug-in whose charts page (PAGE=1) has a slow part, held by the test until it lets it go.
class SlowChartPlugin : public PagePlugin {
 public:
  using PagePlugin::PagePlugin;
  std::function<void()> PageGroundwork(const std::string& lnk) override {
    if (lnk.find("PAGE=1") == std::string::npos) return {};
    return [this] {
      std::unique_lock<std::mutex> lock(mutex_);
      ++drawing_;
      changed_.notify_all();
      if (!changed_.wait_for(lock, std::chrono::seconds(30), [this] { return released_; })) return;
      drawn_on_.push_back(std::this_thread::get_id());
    };
  }
  // Waits until `count` charts are being drawn at once; false after 20 s.
  bool WaitDrawing(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return drawing_ >= count; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::thread::id> DrawnOn() {
    std::lock_guard<std::mutex> lock(mutex_);
    return drawn_on_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int drawing_ = 0;
  bool released_ = false;
  std::vector<std::thread::id> drawn_on_;
};

// Charts are drawn on the server's own threads: while as many as it allows are under way, the
// plug-in thread and the other connections are free (the device list answers), another chart
// from an address that has its share is refused with 429, and one beyond the total with 503.
TEST_F(WebServerTest, SlowChartsHoldNeitherThePluginThreadNorOtherClients) {
  Start();
  SlowChartPlugin plugin(*host);
  loop.Invoke([&] { host->RegisterLink(plugin); });
  auto chart_from = [this](const std::string& address, int n) {
    test::HttpClient from("127.0.0.1", server->Port());
    from.set_interface(address);
    auto res = from.Get("/1-Wire?PAGE=1&n=" + std::to_string(n));
    return res ? std::make_pair(res->status, res->body + res->get_header_value("Retry-After"))
               : std::make_pair(0, res.error());
  };
  std::vector<std::future<std::pair<int, std::string>>> held;
  // Let go before the requests are waited for, should the test stop early.
  const std::shared_ptr<void> release_at_end(nullptr, [&](void*) { plugin.Release(); });
  for (int n = 0; n < 4; ++n)
    held.push_back(
        std::async(std::launch::async, chart_from, n < 2 ? "127.0.0.1" : "127.0.0.2", n));
  ASSERT_TRUE(plugin.WaitDrawing(4)) << "the charts' slow parts did not all start";

  client->set_read_timeout(std::chrono::seconds(10));
  auto devices = client->Get("/api/devices");
  ASSERT_TRUE(devices) << devices.error();
  EXPECT_EQ(devices->status, 200);
  const auto third = chart_from("127.0.0.1", 4);
  EXPECT_EQ(third.first, 429) << third.second;
  EXPECT_NE(third.second.find("try again"), std::string::npos) << third.second;
  const auto fifth = chart_from("127.0.0.3", 5);
  EXPECT_EQ(fifth.first, 503) << fifth.second;

  plugin.Release();
  for (int n = 0; n < 4; ++n) {
    const auto [status, body] = held[static_cast<size_t>(n)].get();
    EXPECT_EQ(status, 200) << body;
    EXPECT_NE(body.find("page for [1-Wire?PAGE=1&n=" + std::to_string(n) + "]"), std::string::npos)
        << body;
  }
  for (const auto& id : plugin.DrawnOn()) EXPECT_NE(id, loop_thread.get_id());
  EXPECT_EQ(plugin.DrawnOn().size(), 4u);
  // The places are given back.
  EXPECT_EQ(chart_from("127.0.0.1", 6).first, 200);
}

// Pages may not be framed by another site nor load anything from one, no answer is sniffed for
// another type, and API answers are never cached.
TEST_F(WebServerTest, AnswersCarryTheirSafetyHeaders) {
  Start();
  PagePlugin plugin(*host);
  loop.Invoke([&] { host->RegisterLink(plugin); });
  auto page = client->Get("/1-Wire");
  ASSERT_TRUE(page);
  const std::string policy = page->get_header_value("Content-Security-Policy");
  EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
  EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
  for (const char* loose : {"*", "http:", "https:", "data:", "'unsafe-eval'"})
    EXPECT_EQ(policy.find(loose), std::string::npos) << loose << " in " << policy;
  EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(page->get_header_value("Referrer-Policy"), "same-origin");
  EXPECT_EQ(page->get_header_value("Cache-Control"), "");

  for (const char* path : {"/api/devices", "/api/log", "/api/events"}) {
    auto api = client->Get(path);
    ASSERT_TRUE(api) << path;
    EXPECT_EQ(api->get_header_value("Cache-Control"), "no-store") << path;
    EXPECT_EQ(api->get_header_value("X-Content-Type-Options"), "nosniff") << path;
  }
  // Refusals too: a 404 of the API is not cached either.
  EXPECT_EQ(client->Patch("/api/devices/99", "{\"name\": \"x\"}", "application/json")
                ->get_header_value("Cache-Control"),
            "no-store");
}

// The host's menu entries open desktop windows, so the pages offer them only with a desktop; a
// choice reaches the plug-in that registered the entry, and guests and unknown entries are refused.
TEST_F(WebServerTest, MenuEntriesAreOfferedWithADesktopAndReachThePlugin) {
  Start();
  PagePlugin plugin(*host);
  loop.Invoke([&] {
    host->AttachPlugin(&plugin);
    host->RegisterLink(plugin);
    host->RegisterMenu(kPluginName, "Setup <1-Wire>...");
  });
  const auto form = "application/x-www-form-urlencoded";
  EXPECT_EQ(client->Get("/1-Wire")->body.find("hostmenu"), std::string::npos);
  EXPECT_EQ(client->Post("/host/menu", "entry=Setup+%3C1-Wire%3E...", form)->status, 409);

  loop.Invoke([&] { host->SetDesktop(true); });
  const std::string page = client->Get("/1-Wire")->body;
  EXPECT_NE(page.find("value=\"Setup &lt;1-Wire&gt;...\">Setup &lt;1-Wire&gt;...</button>"),
            std::string::npos)
      << page;
  auto res = client->Post("/host/menu", "entry=Setup+%3C1-Wire%3E...", form);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(res->get_header_value("Location"), "/1-Wire");
  EXPECT_EQ(client->Post("/host/menu", "entry=Format+disk", form)->status, 404);
  loop.Invoke([&] { host->AttachPlugin(nullptr); });
  EXPECT_EQ(plugin.chosen, std::vector<std::string>{"Setup <1-Wire>..."});
}

TEST_F(WebServerTest, JsonApiListsRenamesAndCommandsDevices) {
  Start();
  PagePlugin plugin(*host);
  int32_t ref = 0;
  loop.Invoke([&] {
    host->AttachPlugin(&plugin);
    ref = host->NewDevice("28AA000000000001M");
    auto d = host->GetDevice(ref);
    d->set_hc("A");
    d->set_dc("7");
    d->set_interface(kPluginName);
    host->SetDeviceString("A7", "On");
    host->NewDevice("no code yet");
  });
  auto res = client->Get("/api/devices");
  ASSERT_TRUE(res);
  const json list = json::parse(res->body);
  ASSERT_EQ(list.size(), 2u);
  for (const char* key :
       {"ref", "name", "Location", "hc", "dc", "interface", "iomisc", "iotype", "can_dim",
        "dev_type_string", "Status", "Buttons", "misc", "string", "value", "lastChange"}) {
    EXPECT_TRUE(list[0].contains(key)) << key;
  }
  EXPECT_EQ(list[0]["string"], "On");
  const std::string base = "/api/devices/" + std::to_string(ref);

  res = client->Patch(base, R"({"name": "Cellar", "Location": "Basement"})", "application/json");
  ASSERT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body)["Location"], "Basement");
  EXPECT_EQ(client->Patch(base, "{not json", "application/json")->status, 400);
  EXPECT_EQ(client->Patch(base, R"({"name": 5})", "application/json")->status, 400);
  EXPECT_EQ(client->Patch(base, R"({"other": "x"})", "application/json")->status, 400);
  EXPECT_EQ(client->Patch("/api/devices/42", R"({"name": "x"})", "application/json")->status, 404);

  res = client->Post(base + "/command", R"({"command": "Off"})", "application/json");
  ASSERT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body)["Status"], 3);
  EXPECT_EQ(
      client->Post(base + "/command", R"({"command": "Explode"})", "application/json")->status,
      400);
  EXPECT_EQ(client->Post(base + "/command", R"([])", "application/json")->status, 400);
  EXPECT_EQ(client
                ->Post("/api/devices/" + std::to_string(ref + 1) + "/command",
                       R"({"command": "On"})", "application/json")
                ->status,
            409);
  loop.Invoke([&] {
    ASSERT_EQ(plugin.commands.size(), 1u);
    EXPECT_EQ(plugin.commands[0], "A7:3");
    EXPECT_EQ(host->GetDevice(ref)->name(), "Cellar");
    host->AttachPlugin(nullptr);
  });

  res = client->Get("/api/log?tail=2");
  const json log = json::parse(res->body);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0].contains("time") && log[0].contains("category") && log[0].contains("text"));
  EXPECT_EQ(client->Get("/api/log?tail=abc")->status, 400);
}

TEST_F(WebServerTest, WebUsersNeedTheirPasswordAndGuestsChangeNothing) {
  test::WriteFile(dir.path() / "users",
                  "# web users\nalice:" + Hash("s3cret") + "\nguest:" + Hash("guest") + "\n");
  std::filesystem::create_directories(dir.path() / "html" / "1wire");
  test::WriteFile(dir.path() / "html" / "1wire" / "chart.jpg", "JPEGDATA");
  Start();
  PagePlugin plugin(*host);
  int32_t ref = 0;
  loop.Invoke([&] {
    host->RegisterLink(plugin);
    ref = host->NewDevice("x");
  });

  EXPECT_EQ(client->Get("/1-Wire")->status, 401);
  EXPECT_EQ(client->Get("/1wire/chart.jpg")->status, 401);
  client->set_basic_auth("alice", "wrong");
  EXPECT_EQ(client->Get("/api/devices")->status, 401);

  client->set_basic_auth("alice", "s3cret");
  auto res = client->Get("/1-Wire");
  ASSERT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("user [alice]"), std::string::npos);
  EXPECT_EQ(client->Get("/1wire/chart.jpg")->body, "JPEGDATA");

  client->set_basic_auth("guest", "guest");
  EXPECT_NE(client->Get("/1-Wire")->body.find("user [guest]"), std::string::npos);
  EXPECT_EQ(
      client->Patch("/api/devices/" + std::to_string(ref), R"({"name": "y"})", "application/json")
          ->status,
      403);
  // Nor may a guest open the desktop's Setup dialog through the host menu.
  loop.Invoke([&] {
    host->AttachPlugin(&plugin);
    host->RegisterMenu(kPluginName, "Setup...");
    host->SetDesktop(true);
  });
  EXPECT_EQ(
      client->Post("/host/menu", "entry=Setup...", "application/x-www-form-urlencoded")->status,
      403);
  loop.Invoke([&] { host->AttachPlugin(nullptr); });
  EXPECT_TRUE(plugin.chosen.empty());
  loop.Invoke([&] { EXPECT_EQ(host->WEBLoggedInUser(), ""); });  // only during a request
}

// The status of the answer to `target`, sent as is (no client's tidying of "..") to 127.0.0.1.
int RawGetStatus(int port, const std::string& target) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string got;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buf[512];
    ssize_t n;
    while (got.size() < 12 && (n = recv(fd, buf, sizeof buf, 0)) > 0)
      got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return got.size() >= 12 && got.rfind("HTTP/1.", 0) == 0 ? std::stoi(got.substr(9, 3)) : 0;
}

// The server itself (no guard in front) serves only regular files inside its folder, whatever
// the path: "..", its escaped form, an absolute name after a double slash, links out, folders.
TEST(HttpServerFiles, OnlyRegularFilesInsideTheFolder) {
  TempDir dir;
  const auto root = dir.path() / "html";
  std::filesystem::create_directories(root / "sub");
  std::filesystem::create_directories(dir.path() / "html-old");
  test::WriteFile(root / "a.txt", "plain");
  test::WriteFile(dir.path() / "secret", "secret");
  test::WriteFile(dir.path() / "html-old" / "b.txt", "old");
  std::filesystem::create_symlink(dir.path() / "secret", root / "out.txt");
  std::filesystem::create_symlink(root / "a.txt", root / "sub" / "in.txt");
  HttpServer server;
  server.Mount("/files", root);
  ASSERT_EQ(server.Bind("127.0.0.1", 0), "");
  ASSERT_EQ(server.Start(), "");
  const int port = server.Port();
  EXPECT_EQ(RawGetStatus(port, "/files/a.txt"), 200);
  EXPECT_EQ(RawGetStatus(port, "/files/sub/../a.txt"), 200);
  EXPECT_EQ(RawGetStatus(port, "/files/sub/in.txt"), 200);  // a link that stays inside
  for (const char* target :
       {"/files/../secret", "/files/%2e%2e/secret", "/files/sub/../../secret", "/files//etc/passwd",
        "/files/../html-old/b.txt", "/files/out.txt", "/files/sub", "/files/", "/files/none.txt"}) {
    EXPECT_EQ(RawGetStatus(port, target), 404) << target;
  }
}

// Sends `request` a byte every 50 ms on `fd` until the server closes the connection; returns
// how many bytes went out before it did.
size_t Trickle(int fd, const std::string& request) {
  size_t sent = 0;
  for (; sent < request.size(); ++sent) {
    if (send(fd, &request[sent], 1, MSG_NOSIGNAL) != 1) break;
    pollfd ready{fd, POLLIN, 0};
    char c;
    if (poll(&ready, 1, 50) > 0 && recv(fd, &c, 1, 0) <= 0) break;
  }
  return sent;
}

int ConnectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

// A client never silent long enough for the idle timeout, but whose request takes longer than
// the request time to arrive, is dropped: on a fresh connection, and on one kept alive after an
// answer. Prompt clients are served all the while.
TEST(HttpServerLimits, TricklingRequestsAreDropped) {
  HttpServer server;
  HttpServerLimits limits;
  limits.request_timeout_seconds = 1;
  server.SetLimits(limits);
  server.Get("/x",
             [](const HttpRequest&, HttpResponse& res) { res.set_content("x", "text/plain"); });
  ASSERT_EQ(server.Bind("127.0.0.1", 0), "");
  ASSERT_EQ(server.Start(), "");
  const int port = server.Port();
  // About 12 s to send at 50 ms a byte: far beyond the second allowed.
  const std::string request =
      "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + std::string(200, 'a') + "\r\n\r\n";

  const int fresh = ConnectTo(port);
  EXPECT_LT(Trickle(fresh, request), request.size()) << "a trickled request was read to its end";
  close(fresh);
  EXPECT_EQ(server.DroppedSlowRequests(), 1u);

  const int kept = ConnectTo(port);
  const std::string prompt = "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(send(kept, prompt.data(), prompt.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(prompt.size()));
  char buf[512];
  const ssize_t n = recv(kept, buf, sizeof buf, 0);
  ASSERT_GT(n, 12);
  EXPECT_EQ(std::string(buf, 12), "HTTP/1.1 200");
  EXPECT_EQ(RawGetStatus(port, "/x"), 200);
  EXPECT_LT(Trickle(kept, request), request.size()) << "a kept-alive connection trickled";
  close(kept);
  EXPECT_EQ(server.DroppedSlowRequests(), 2u);
  EXPECT_EQ(RawGetStatus(port, "/x"), 200);
}

TEST(WebUsers, FilesAndHeaders) {
  TempDir dir;
  WebUsers users;
  EXPECT_EQ(users.Load(dir.path() / "users"), "");
  EXPECT_FALSE(users.Enabled());
  test::WriteFile(dir.path() / "users", "bob:plaintext\n");
  EXPECT_NE(users.Load(dir.path() / "users"), "");
  EXPECT_TRUE(users.Enabled());  // asked for, so never served unprotected
  test::WriteFile(dir.path() / "users", "# nobody\n");
  EXPECT_NE(users.Load(dir.path() / "users"), "");
  EXPECT_EQ(DecodeBase64("YWxpY2U6czNjcmV0"), "alice:s3cret");
  EXPECT_EQ(DecodeBase64(""), "");
  EXPECT_EQ(DecodeBase64("Zg=="), "f");
  EXPECT_EQ(DecodeBase64("Zm8="), "fo");
  EXPECT_EQ(DecodeBase64("Zm9vYg"), "foob");  // padding may be left out
  EXPECT_EQ(DecodeBase64("//79"), std::string("\xff\xfe\xfd", 3));
  for (const char* bad : {"YW=xp", "Zm9v!mFy", "Zm9vY", "Zg===", "Zg=a"})
    EXPECT_FALSE(DecodeBase64(bad).has_value()) << bad;
  EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
  EXPECT_TRUE(IsLoopbackAddress("127.8.9.1"));
  EXPECT_TRUE(IsLoopbackAddress("::1"));
  EXPECT_FALSE(IsLoopbackAddress("0.0.0.0"));
  EXPECT_FALSE(IsLoopbackAddress("192.168.1.5"));
}

}  // namespace
}  // namespace qb
