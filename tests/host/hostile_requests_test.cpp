// The real program on a port of its own, probed as an attacker and a busy household would:
// cross-site requests, foreign host names, bodies too large or of unknown length, slow clients,
// overlong names, broken log lines, guests, odd paths and a settings path that is a folder.
#include <arpa/inet.h>
#include <crypt.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "access/rom.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

// A loopback connection that sends what the test writes and reads what the server answers.
class RawConnection {
 public:
  explicit RawConnection(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    timeval tv{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~RawConnection() {
    if (fd_ >= 0) close(fd_);
  }
  bool connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // The status code of the first answer (0 when none came within 10 s).
  int Status() {
    std::string got;
    char buf[4096];
    while (got.find("\r\n") == std::string::npos) {
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return 0;
      got.append(buf, static_cast<size_t>(n));
    }
    std::smatch m;
    return std::regex_search(got, m, std::regex("^HTTP/1\\.[01] (\\d{3})")) ? std::stoi(m[1]) : 0;
  }

  // Everything the server sends until it closes the connection (or 10 s pass).
  std::string ReadToEnd() {
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
    return got;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// A request of the given head (without the blank line) and `body`; the answer's status.
int Exchange(int port, const std::string& head, const std::string& body = "") {
  RawConnection c(port);
  if (!c.Send(head + "\r\n\r\n" + body)) return 0;
  return c.Status();
}

struct Program {
  explicit Program(const TempDir& dir, const json& devices = json::array(), int poll_cycle = 3,
                   const std::string& more_settings = "") {
    WriteFile(dir.path() / "bus.json", json{{"devices", devices}}.dump());
    WriteFile(dir.path() / "settings.ini",
              "[Settings]\nIntType=SIM\nIntPort=" + (dir.path() / "bus.json").string() +
                  "\nPollCycle=" + std::to_string(poll_cycle) + "\n" + more_settings);
    process = std::make_unique<ChildProcess>(std::vector<std::string>{
        QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir.path() / "app").string(), "--settings",
        (dir.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
    std::smatch m;
    const std::string line = process->WaitForLine("Web pages: ");
    if (std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
      port = std::stoi(m[1]);
    host = "127.0.0.1:" + std::to_string(port);
  }
  std::unique_ptr<ChildProcess> process;
  int port = 0;
  std::string host;
};

// The switch of a simulated DS2406 whose latch is on, once the program has created it.
json WaitForSwitch(test::HttpClient& client, const std::string& name, const std::string& state) {
  for (int attempt = 0; attempt < 60; ++attempt) {
    if (auto res = client.Get("/api/devices"); res && res->status == 200) {
      for (const auto& d : json::parse(res->body)) {
        if (d["name"] == name && d["string"] == state) return d;
      }
    }
    std::this_thread::sleep_for(500ms);
  }
  return nullptr;
}

TEST(HostileRequests, CommandsFromOtherSitesAndHostNamesAreRefusedOwnPagesAreNot) {
  TempDir dir;
  const std::string sw = access::RomId::Make(0x12, 31).ToString();
  Program program(dir, {{{"rom", sw}, {"latches", {true, false}}, {"levels", {false, true}}}});
  ASSERT_GT(program.port, 0) << program.process->output();
  test::HttpClient client("127.0.0.1", program.port);
  json device = WaitForSwitch(client, sw + "-Switch0", "On");
  ASSERT_FALSE(device.is_null()) << program.process->output();
  const std::string command =
      "/api/devices/" + std::to_string(device["ref"].get<int>()) + "/command";
  const std::string off = R"({"command": "Off"})";

  // What a page on another site can send without asking: a text/plain fetch or a form post.
  EXPECT_EQ(client.Post(command, {{"Origin", "http://evil.example"}}, off, "text/plain")->status,
            403);
  EXPECT_EQ(
      client.Post(command, {{"Origin", "http://evil.example"}}, off, "application/json")->status,
      403);
  EXPECT_EQ(
      client.Post(command, {{"Referer", "http://evil.example/x"}}, off, "application/json")->status,
      403);
  EXPECT_EQ(client.Post(command, off, "text/plain")->status, 415);
  EXPECT_EQ(client
                .Post("/1-Wire", {{"Origin", "http://evil.example"}}, "UpdateA16=On",
                      "application/x-www-form-urlencoded")
                ->status,
            403);
  // DNS rebinding: another name that happens to lead here.
  EXPECT_EQ(Exchange(program.port, "GET /api/devices HTTP/1.1\r\nHost: evil.example:" +
                                       std::to_string(program.port)),
            421);
  EXPECT_EQ(Exchange(program.port, "GET /api/devices HTTP/1.1\r\nHost: localhost:" +
                                       std::to_string(program.port)),
            200);
  std::this_thread::sleep_for(4s);  // more than a poll cycle: a switched latch would show
  EXPECT_EQ(WaitForSwitch(client, sw + "-Switch0", "On")["ref"], device["ref"]);

  // The program's own page (same origin) still switches it.
  EXPECT_EQ(
      client.Post(command, {{"Origin", "http://" + program.host}}, off, "application/json")->status,
      200);
  EXPECT_FALSE(WaitForSwitch(client, sw + "-Switch0", "Off").is_null());
  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

// A request that is refused before its body is read: the body may hold a second request, one
// without the headers the refusal looked at. It must not run: the connection ends after the
// refusal. The second request starts right after the first's head, or after the first 4,096
// bytes of the connection.
TEST(HostileRequests, ARequestHiddenInTheBodyOfARefusedOneDoesNotRun) {
  TempDir dir;
  const std::string sw = access::RomId::Make(0x12, 33).ToString();
  Program program(dir, {{{"rom", sw}, {"latches", {true, false}}, {"levels", {false, true}}}}, 2);
  ASSERT_GT(program.port, 0) << program.process->output();
  test::HttpClient client("127.0.0.1", program.port);
  json device = WaitForSwitch(client, sw + "-Switch0", "On");
  ASSERT_FALSE(device.is_null()) << program.process->output();
  const std::string command =
      "/api/devices/" + std::to_string(device["ref"].get<int>()) + "/command";
  const std::string hidden = "POST " + command +
                             " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: "
                             "17\r\n\r\n{\"command\":\"Off\"}";
  const std::string host = "Host: " + program.host + "\r\n";
  struct Case {
    std::string head;
    int status;
  };
  const std::vector<Case> cases = {
      {"POST " + command + " HTTP/1.1\r\n" + host +
           "Origin: http://127.0.0.1:1\r\nContent-Type: text/plain\r\n",
       403},
      {"POST " + command + " HTTP/1.1\r\nHost: evil.example\r\nContent-Type: application/json\r\n",
       421},
      {"POST " + command + " HTTP/1.1\r\n" + host + "Content-Type: text/plain\r\n", 415},
      {"POST /1-Wire%01 HTTP/1.1\r\n" + host +
           "Content-Type: application/x-www-form-urlencoded\r\n",
       400},
      {"POST /1-Wire HTTP/1.1\r\n" + host + "Content-Type: text/plain\r\n", 415},
  };
  for (const auto& c : cases) {
    for (bool padded : {false, true}) {
      std::string body = hidden;
      if (padded) {
        // Filler up to the 4,096th byte of the connection, then the hidden request.
        const size_t head_size = c.head.size() + std::string("Content-Length: 0000\r\n\r\n").size();
        body = std::string(4096 - head_size, 'x') + hidden;
      }
      char length[32];
      std::snprintf(length, sizeof length, "Content-Length: %04zu\r\n\r\n", body.size());
      RawConnection connection(program.port);
      ASSERT_TRUE(connection.Send(c.head + length + body));
      const std::string answers = connection.ReadToEnd();
      EXPECT_THAT(answers, ::testing::StartsWith("HTTP/1.1 " + std::to_string(c.status))) << c.head;
      EXPECT_THAT(answers, HasSubstr("Connection: close")) << c.head;
      // One answer only, and the connection closed after it.
      EXPECT_EQ(answers.find("HTTP/1.1 ", 1), std::string::npos) << answers;
    }
  }
  std::this_thread::sleep_for(3s);  // a few poll cycles: a switched latch would show
  auto res = client.Get("/api/devices");
  ASSERT_TRUE(res);
  for (const auto& d : json::parse(res->body)) {
    if (d["name"] == sw + "-Switch0") {
      EXPECT_EQ(d["string"], "On");
    }
  }
  // The same request sent openly still works on a kept-alive connection after a good request.
  RawConnection open(program.port);
  ASSERT_TRUE(open.Send("GET /api/devices HTTP/1.1\r\n" + host + "\r\n" + "POST " + command +
                        " HTTP/1.1\r\n" + host +
                        "Content-Type: application/json\r\nContent-Length: 17\r\n"
                        "Connection: close\r\n\r\n{\"command\":\"Off\"}"));
  const std::string both = open.ReadToEnd();
  EXPECT_NE(both.find("HTTP/1.1 200", 1), std::string::npos) << both;
  EXPECT_FALSE(WaitForSwitch(client, sw + "-Switch0", "Off").is_null());
  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

TEST(HostileRequests, LargeBodiesAreRefusedBeforeTheyAreRead) {
  TempDir dir;
  Program program(dir);
  ASSERT_GT(program.port, 0) << program.process->output();
  const std::string head = "POST /1-Wire HTTP/1.1\r\nHost: " + program.host +
                           "\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  // Announced but never sent: refused at once from the headers.
  EXPECT_EQ(Exchange(program.port, head + "Content-Length: 4000000"), 413);
  EXPECT_EQ(Exchange(program.port, head + "Content-Length: 99999999999999999999999"), 413);
  EXPECT_EQ(Exchange(program.port, head + "Transfer-Encoding: chunked", "5\r\nA=1&B\r\n0\r\n\r\n"),
            411);
  EXPECT_EQ(
      Exchange(program.port, "PATCH /api/devices/1 HTTP/1.1\r\nHost: " + program.host +
                                 "\r\nContent-Type: application/json\r\nContent-Length: 10485800"),
      413);
  // Whatever the method: a body announced too large is not read and dropped either.
  for (const char* line : {"GET /api/devices", "OPTIONS /api/devices", "GET /1wire/a.txt"}) {
    EXPECT_EQ(Exchange(program.port, std::string(line) + " HTTP/1.1\r\nHost: " + program.host +
                                         "\r\nContent-Length: 1000000000000"),
              413)
        << line;
  }
  // A form of the largest size allowed, all escapes and "=", is answered.
  std::string form;
  while (form.size() + 3 <= 8 * 1024) form += form.size() % 2 ? "%41" : "===";
  test::HttpClient client("127.0.0.1", program.port);
  auto res = client.Post("/1-Wire", form, "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);

  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

// A burst of page loads and posts while the demo bus is polled every two seconds: the requests
// are served inside the poll's pauses, and that time is not the poll's own work. (No tick of the
// demo bus works for three seconds itself, also not under the sanitizers.)
TEST(HostileRequests, ABurstOfPageLoadsDoesNotStretchThePollCycle) {
  TempDir dir;
  Program program(dir, json::parse(ReadFile(QB_DEMO_BUS)).at("devices"), 2,
                  "Debug=3\n");  // cycle information logged
  ASSERT_GT(program.port, 0) << program.process->output();
  test::HttpClient client("127.0.0.1", program.port);
  size_t devices = 0;
  // The program's output is read all along, so that its many cycle lines never fill the pipe.
  auto drain = [&](std::chrono::milliseconds time) { program.process->WaitForLine("\n", time); };
  for (int attempt = 0; attempt < 120 && devices < 12; ++attempt) {
    drain(500ms);
    const auto answer = client.Get("/api/devices");
    ASSERT_TRUE(answer) << answer.error() << program.process->output();
    devices = json::parse(answer->body).size();
  }
  ASSERT_GE(devices, 12u) << "the device list did not fill in";
  std::string form;
  while (form.size() + 3 <= 8 * 1024) form += form.size() % 2 ? "%41" : "===";
  std::vector<std::thread> burst;
  for (int t = 0; t < 20; ++t) {
    burst.emplace_back([&] {
      test::HttpClient c("127.0.0.1", program.port);
      const auto end = std::chrono::steady_clock::now() + 5s;
      while (std::chrono::steady_clock::now() < end) {
        c.Get("/1-Wire");
        c.Post("/1-Wire", form, "application/x-www-form-urlencoded");
      }
    });
  }
  drain(7s);
  for (auto& t : burst) t.join();
  const auto tail = client.Get("/api/log?tail=5000");
  ASSERT_TRUE(tail) << tail.error() << program.process->output();
  const std::string log = tail->body;
  EXPECT_THAT(log, Not(HasSubstr("Cycle timer extended"))) << log;
  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

TEST(HostileRequests, FiftySlowClientsLeaveAGetAnswered) {
  TempDir dir;
  Program program(dir);
  ASSERT_GT(program.port, 0) << program.process->output();
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < 50; ++i) {
    slow.push_back(std::make_unique<RawConnection>(program.port));
    ASSERT_TRUE(slow.back()->connected());
    slow.back()->Send("G");  // a request begun and never finished
  }
  std::this_thread::sleep_for(200ms);
  test::HttpClient client("127.0.0.1", program.port);
  client.set_read_timeout(3, 0);  // a starved server would keep it waiting far longer
  auto res = client.Get("/api/devices");
  ASSERT_TRUE(res) << "no answer with 50 slow clients open";
  EXPECT_EQ(res->status, 200);
  slow.clear();  // a worker reading a slow client lets go only at the read timeout
  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

TEST(HostileRequests, NamesHaveLimitsAndBrokenLogLinesDoNotBreakTheLog) {
  TempDir dir;
  // A log written by an older version, holding bytes that are not UTF-8.
  std::filesystem::create_directories(dir.path() / "app");
  WriteFile(dir.path() / "app" / "quellbrook-1wire.log",
            "2026-12-01 10:00:00.000\tHost ERROR\tdevices.json: bad byte \xFF\xC3 here\n");
  const std::string sw = access::RomId::Make(0x12, 32).ToString();
  Program program(dir, {{{"rom", sw}, {"latches", {true, false}}, {"levels", {false, true}}}});
  ASSERT_GT(program.port, 0) << program.process->output();
  test::HttpClient client("127.0.0.1", program.port);
  json device = WaitForSwitch(client, sw + "-Switch0", "On");
  ASSERT_FALSE(device.is_null()) << program.process->output();
  const std::string path = "/api/devices/" + std::to_string(device["ref"].get<int>());

  auto res = client.Patch(path, json{{"name", std::string(257, 'n')}}.dump(), "application/json");
  EXPECT_EQ(res->status, 400);
  EXPECT_THAT(res->body, HasSubstr("at most 256 characters"));
  EXPECT_EQ(client.Patch(path, json{{"Location", "a\nb"}}.dump(), "application/json")->status, 400);
  EXPECT_EQ(client.Patch(path, "{\"name\": \"\xC3\x28\"}", "application/json")->status, 400);
  // 256 characters of two bytes each is within the limit.
  std::string cellar;
  for (int i = 0; i < 256; ++i) cellar += "\xC3\xA4";
  EXPECT_EQ(client.Patch(path, json{{"name", cellar}}.dump(), "application/json")->status, 200);

  res = client.Get("/api/log?tail=5000");
  ASSERT_EQ(res->status, 200);
  EXPECT_THAT(res->body, HasSubstr("bad byte \xEF\xBF\xBD\xEF\xBF\xBD here"));
  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

TEST(HostileRequests, OddPathsLinksOutOfTheImageFolderAndStaleFiles) {
  TempDir dir;
  const auto images = dir.path() / "app" / "html" / "1wire";
  std::filesystem::create_directories(images);
  WriteFile(images / "a.txt", "plain");
  WriteFile(dir.path() / "secret", "secret");
  WriteFile(images.parent_path() / "secret", "secret");  // one folder above the images
  std::filesystem::create_symlink(dir.path() / "secret", images / "out.txt");
  std::filesystem::create_directory_symlink(dir.path(), images / "up");
  WriteFile(dir.path() / "app" / "devices.json.tmp-AbC123", "{half");
  Program program(dir);
  ASSERT_GT(program.port, 0) << program.process->output();
  test::HttpClient client("127.0.0.1", program.port);
  EXPECT_EQ(client.Get("/1wire/a.txt")->body, "plain");
  EXPECT_EQ(Exchange(program.port, "GET /1wire/a.txt%00.html HTTP/1.1\r\nHost: " + program.host),
            400);
  EXPECT_EQ(Exchange(program.port, "GET /1wire/a.txt%0d HTTP/1.1\r\nHost: " + program.host), 400);
  EXPECT_EQ(client.Get("/1wire/out.txt")->status, 404);
  EXPECT_EQ(client.Get("/1wire/up/secret")->status, 404);
  for (const char* path : {"/1wire/../secret", "/1wire/%2e%2e/secret", "/1wire//etc/passwd"}) {
    EXPECT_EQ(
        Exchange(program.port, std::string("GET ") + path + " HTTP/1.1\r\nHost: " + program.host),
        404)
        << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "app" / "devices.json.tmp-AbC123"));
  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

std::string Basic(const std::string& scheme, const std::string& user, const std::string& password) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string in = user + ":" + password;
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += k[(n >> 18) & 63];
    out += k[(n >> 12) & 63];
    out += i + 1 < in.size() ? k[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? k[n & 63] : '=';
  }
  return scheme + " " + out;
}

TEST(HostileRequests, AGuestInAnyCaseChangesNothingThroughTheApi) {
  TempDir dir;
  crypt_data data;
  std::memset(&data, 0, sizeof data);
  const std::string hash = crypt_r("pw", "$6$qbtestsalt$", &data);
  std::filesystem::create_directories(dir.path() / "app");
  WriteFile(dir.path() / "app" / "users", "Guest:" + hash + "\nowner:" + hash + "\n");
  Program program(dir);
  ASSERT_GT(program.port, 0) << program.process->output();
  test::HttpClient client("127.0.0.1", program.port);
  auto as = [](const std::string& auth) { return test::Headers{{"Authorization", auth}}; };
  // Lower-case scheme name: the scheme is case-insensitive.
  EXPECT_EQ(client.Get("/api/devices", as(Basic("basic", "owner", "pw")))->status, 200);
  auto res = client.Patch("/api/devices/1", as(Basic("Basic", "Guest", "pw")), R"({"name": "x"})",
                          "application/json");
  EXPECT_EQ(res->status, 403);
  res = client.Post("/api/devices/1/command", as(Basic("Basic", "Guest", "pw")),
                    R"({"command": "On"})", "application/json");
  EXPECT_EQ(res->status, 403);
  EXPECT_EQ(client
                .Patch("/api/devices/1", as(Basic("Basic", "owner", "pw")), R"({"name": "x"})",
                       "application/json")
                ->status,
            404);  // the owner gets as far as the device table
  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

// A guest walks every form and route that changes something: the settings form (the post the
// settings page makes), the device list's buttons, a potentiometer's level, a clock's button and
// link, the API and the host menu. Nothing changes: not the settings file, not a device, not the
// events, not the device table's names.
TEST(HostileRequests, AGuestChangesNothingThroughAnyFormOrRoute) {
  TempDir dir;
  crypt_data data;
  std::memset(&data, 0, sizeof data);
  const std::string hash = crypt_r("pw", "$6$qbtestsalt$", &data);
  std::filesystem::create_directories(dir.path() / "app");
  WriteFile(dir.path() / "app" / "users", "guest:" + hash + "\nowner:" + hash + "\n");
  const std::string sw = access::RomId::Make(0x12, 34).ToString();
  const std::string pot = access::RomId::Make(0x2C, 35).ToString();
  const std::string clock = access::RomId::Make(0x04, 36).ToString();
  Program program(dir,
                  {{{"rom", sw}, {"latches", {true, false}}, {"levels", {false, true}}},
                   {{"rom", pot}, {"wiper", 100}},
                   {{"rom", clock}, {"clock", 0}, {"running", false}}},
                  2);
  ASSERT_GT(program.port, 0) << program.process->output();
  test::HttpClient owner("127.0.0.1", program.port);
  owner.set_default_headers({{"Authorization", Basic("Basic", "owner", "pw")}});
  test::HttpClient guest("127.0.0.1", program.port);
  guest.set_default_headers({{"Authorization", Basic("Basic", "guest", "pw")}});
  json device = WaitForSwitch(owner, sw + "-Switch0", "On");
  ASSERT_FALSE(device.is_null()) << program.process->output();
  ASSERT_FALSE(WaitForSwitch(owner, pot + "-Pot", "100").is_null());
  const std::string code = device["hc"].get<std::string>() + device["dc"].get<std::string>();
  const std::string ref = std::to_string(device["ref"].get<int>());
  const auto settings_before = ReadFile(dir.path() / "settings.ini");
  const std::string form = "application/x-www-form-urlencoded";

  // The settings form as the page posts it, with every field changed.
  auto res = guest.Post("/1-Wire",
                        "ref_page=1-Wire&SETTINGS=On&speechOL=x&bFahren=True&polltime=65535&"
                        "pollTemp=0&DBLog=&ShowPage0=&button=Update",
                        form);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  EXPECT_THAT(res->body, HasSubstr("Guest cannot make changes"));
  // The device list's buttons, the level form, the clock button and the clock link.
  EXPECT_EQ(guest.Post("/1-Wire", "Update" + code + "=Off&ref_page=1-Wire", form)->status, 403);
  res = guest.Post("/1-Wire", "Level=7&SetLevel=" + pot + "T", form);
  EXPECT_EQ(res->status, 403);
  EXPECT_EQ(guest.Post("/1-Wire", "SetTime=" + clock, form)->status, 403);
  EXPECT_EQ(guest.Get("/1-Wire?ROMID=" + clock + "Y&SetTime=ON")->status, 200);
  EXPECT_EQ(owner.Get("/1-Wire?ROMID=" + clock + "Y&SetTime=ON")->status, 200);
  // The API and the host menu.
  EXPECT_EQ(guest.Patch("/api/devices/" + ref, R"({"name": "x"})", "application/json")->status,
            403);
  EXPECT_EQ(
      guest.Post("/api/devices/" + ref + "/command", R"({"command": "Off"})", "application/json")
          ->status,
      403);
  EXPECT_EQ(guest
                .Put("/api/events",
                     R"({"events": [{"name": "e", "trigger": {"device": ")" + code +
                         R"(", "above": 1}, "actions": [{"log": "x"}]}]})",
                     "application/json")
                ->status,
            403);
  EXPECT_EQ(guest.Post("/host/menu", "entry=Setup", form)->status, 403);

  std::this_thread::sleep_for(3s);  // a few poll cycles: a change would show
  EXPECT_EQ(ReadFile(dir.path() / "settings.ini"), settings_before);
  EXPECT_EQ(WaitForSwitch(owner, sw + "-Switch0", "On")["name"], sw + "-Switch0");
  EXPECT_FALSE(WaitForSwitch(owner, pot + "-Pot", "100").is_null());
  EXPECT_EQ(json::parse(owner.Get("/api/events")->body)["events"], json::array());
  EXPECT_THAT(owner.Get("/1-Wire?ROMID=" + clock + "Y")->body, HasSubstr("<b>Time: 1970-01-01"));
  EXPECT_THAT(owner.Get("/api/log?tail=5000")->body, Not(HasSubstr("set to PC time")));

  // The owner's settings post is taken, and the page says so.
  res = owner.Post("/1-Wire",
                   "ref_page=1-Wire&SETTINGS=On&polltime=7&ShowPage0=ON&ShowPage1=ON&"
                   "ShowPage2=ON&ShowPage3=ON&button=Update",
                   form);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(res->get_header_value("Location"), "/1-Wire?PAGE=2&saved=1");
  EXPECT_THAT(ReadFile(dir.path() / "settings.ini"), HasSubstr("PollCycle=7"));
  EXPECT_THAT(owner.Get("/1-Wire?PAGE=2&saved=1")->body, HasSubstr("Settings saved."));
  EXPECT_THAT(owner.Get("/1-Wire?PAGE=2")->body, Not(HasSubstr("Settings saved.")));
  EXPECT_EQ(program.process->Stop(SIGTERM), 0);
}

TEST(HostileRequests, ASettingsPathThatIsAFolderStopsTheStart) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "settings-folder");
  std::string out;
  EXPECT_EQ(
      RunToEnd({QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir.path() / "app").string(),
                "--settings", (dir.path() / "settings-folder").string(), "--http", "127.0.0.1:0"},
               out),
      1);
  EXPECT_THAT(out, HasSubstr("cannot use the settings file"));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

}  // namespace
}  // namespace qb::test
