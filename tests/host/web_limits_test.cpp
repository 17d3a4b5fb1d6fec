// The real program's web server against clients that take more than their share: floods of
// headers, many connections, ambiguous framing, overlapping ranges, guessed passwords; and HTTPS.
#include <arpa/inet.h>
#include <crypt.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

// A connection from `from` (a loopback address) to 127.0.0.1:`port`.
class RawConnection {
 public:
  RawConnection(int port, const std::string& from = "127.0.0.1") {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
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
  // Everything the server sends until it closes the connection (or 10 s pass).
  std::string ReadToEnd() {
    std::string got;
    char buf[16384];
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
    return got;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// The statuses of the answers in `text`, in order.
std::vector<int> Statuses(const std::string& text) {
  std::vector<int> out;
  static const std::regex status("HTTP/1\\.[01] (\\d{3}) ");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), status);
       it != std::sregex_iterator(); ++it)
    out.push_back(std::stoi((*it)[1]));
  return out;
}

long RssKb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

struct Program {
  // `prefix` runs before the program (a limit on its descriptors); `listen` is ADDR:PORT.
  // `more_settings` is added to the settings file.
  explicit Program(const TempDir& dir, std::vector<std::string> extra = {},
                   const std::string& listen = "127.0.0.1:0", std::vector<std::string> prefix = {},
                   const std::string& more_settings = "") {
    WriteFile(dir.path() / "bus.json", R"({"devices": []})");
    WriteFile(dir.path() / "settings.ini",
              "[Settings]\nIntType=SIM\nIntPort=" + (dir.path() / "bus.json").string() +
                  "\nPollCycle=3\n" + more_settings);
    std::vector<std::string> argv = prefix;
    for (std::string a :
         {std::string(QB_PROGRAM_PATH), std::string("--standalone"), std::string("--app-dir"),
          (dir.path() / "app").string(), std::string("--settings"),
          (dir.path() / "settings.ini").string(), std::string("--http"), listen})
      argv.push_back(a);
    argv.insert(argv.end(), extra.begin(), extra.end());
    process = std::make_unique<ChildProcess>(argv);
    std::smatch m;
    const std::string line = process->WaitForLine("Web pages: ");
    if (std::regex_search(line, m, std::regex("https?://[^ ]*:(\\d+)/"))) port = std::stoi(m[1]);
  }
  std::unique_ptr<ChildProcess> process;
  int port = 0;
};

std::string Head(int port, const std::string& line, const std::string& headers = "") {
  return line + "\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + headers + "\r\n";
}

// A client that sends header after header is cut off after a few kilobytes, and the program's
// memory is back where it was once the connection is gone.
TEST(WebLimits, HeaderFloodIsCutOffAndItsMemoryReturned) {
  TempDir dir;
  Program program(dir);
  ASSERT_NE(program.port, 0) << program.process->output();
  const long before = RssKb(program.process->pid());
  RawConnection flood(program.port);
  ASSERT_TRUE(flood.Send("GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "X-Header-" + std::to_string(i) + ": a\r\n";
  size_t sent = 0;
  while (sent < 200 * 1000 * 1000 && flood.Send(many)) sent += many.size();
  EXPECT_LT(sent, 10u * 1000 * 1000) << "the server took 10 MB of headers";
  const std::vector<int> answers = Statuses(flood.ReadToEnd());
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_GE(answers[0], 400);
  EXPECT_LT(RssKb(program.process->pid()), before + 10 * 1024);
  HttpClient client("127.0.0.1", program.port);
  auto res = client.Get("/api/devices");
  ASSERT_TRUE(res) << res.error();
  EXPECT_EQ(res->status, 200);
}

// Requests whose length a proxy in front could read differently are refused; pipelined requests
// are each answered, in order.
TEST(WebLimits, FramingIsUnambiguous) {
  TempDir dir;
  Program program(dir);
  ASSERT_NE(program.port, 0) << program.process->output();
  const std::string json = "Content-Type: application/json\r\n";
  auto answers = [&](const std::string& bytes) {
    RawConnection c(program.port);
    c.Send(bytes);
    return Statuses(c.ReadToEnd());
  };
  EXPECT_THAT(answers(Head(program.port, "PATCH /api/devices/1 HTTP/1.1",
                           json + "Content-Length: 2\r\nContent-Length: 40\r\n") +
                      "{}GET /api/log HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"),
              ::testing::ElementsAre(400));
  EXPECT_THAT(answers(Head(program.port, "POST /api/devices/1/command HTTP/1.1",
                           json + "Transfer-Encoding : chunked\r\nContent-Length: 2\r\n") +
                      "{}"),
              ::testing::ElementsAre(400));
  const std::string get = Head(program.port, "GET /api/devices HTTP/1.1");
  const std::string last =
      Head(program.port, "GET /api/log?tail=1 HTTP/1.1", "Connection: close\r\n");
  EXPECT_THAT(answers(get + get + last), ::testing::ElementsAre(200, 200, 200));
}

// A file is sent once at most, whatever list of ranges is asked for.
TEST(WebLimits, OneRangeOrNone) {
  TempDir dir;
  Program program(dir);
  ASSERT_NE(program.port, 0) << program.process->output();
  std::string content;
  for (int i = 0; i < 1000; ++i) content += "0123456789";
  WriteFile(dir.path() / "app" / "html" / "1wire" / "chart.txt", content);
  const std::string path = "GET /1wire/chart.txt HTTP/1.1";
  std::string ranges = "Range: bytes=0-";
  for (int i = 0; i < 2700; ++i) ranges += ",0-";
  RawConnection many(program.port);
  many.Send(Head(program.port, path, ranges + "\r\nConnection: close\r\n"));
  const std::string whole = many.ReadToEnd();
  EXPECT_THAT(Statuses(whole), ::testing::ElementsAre(200));
  EXPECT_LT(whole.size(), content.size() + 2000);

  HttpClient client("127.0.0.1", program.port);
  auto one = client.Get("/1wire/chart.txt", {{"Range", "bytes=12-15"}});
  ASSERT_TRUE(one) << one.error();
  EXPECT_EQ(one->status, 206);
  EXPECT_EQ(one->body, "2345");
  EXPECT_EQ(one->get_header_value("Content-Range"), "bytes 12-15/10000");
  auto tail = client.Get("/1wire/chart.txt", {{"Range", "bytes=-3"}});
  EXPECT_EQ(tail->body, "789");
  EXPECT_EQ(client.Get("/1wire/chart.txt", {{"Range", "bytes=10000-"}})->status, 416);
}

// With few descriptors to open, the program takes no more connections than leave room for its
// own files (database, device table, log, charts), and says nothing of descriptors running out.
TEST(WebLimits, ConnectionsLeaveDescriptorsForFiles) {
  TempDir dir;
  Program program(dir, {}, "127.0.0.1:0", {"/usr/bin/prlimit", "--nofile=256:256", "--"});
  ASSERT_NE(program.port, 0) << program.process->output();
  auto open_descriptors = [&] {
    const auto fds = std::filesystem::path("/proc") / std::to_string(program.process->pid()) / "fd";
    return std::distance(std::filesystem::directory_iterator(fds),
                         std::filesystem::directory_iterator());
  };
  std::vector<std::unique_ptr<RawConnection>> crowd;
  for (int i = 0; i < 400; ++i) {
    crowd.push_back(
        std::make_unique<RawConnection>(program.port, "127.0.0." + std::to_string(2 + i % 8)));
    crowd.back()->Send("G");
  }
  std::this_thread::sleep_for(1s);  // the server takes in what it will
  EXPECT_LE(open_descriptors(), 256 - 100);
  crowd.clear();
  HttpClient client("127.0.0.1", program.port);
  auto res = client.Get("/api/log?tail=200");
  ASSERT_TRUE(res) << res.error();
  EXPECT_EQ(res->status, 200);
  EXPECT_THAT(program.process->output(), Not(HasSubstr("Too many open files")));
}

std::string Basic(const std::string& user, const std::string& password) {
  static const char* kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string in = user + ":" + password;
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kDigits[n & 63] : '=';
  }
  return "Basic " + out;
}

void WriteUsers(const TempDir& dir) {
  crypt_data data;
  std::memset(&data, 0, sizeof data);
  std::filesystem::create_directories(dir.path() / "app");
  WriteFile(dir.path() / "app" / "users",
            std::string("alice:") + crypt_r("s3cret", "$6$qbtestsalt$", &data) + "\n");
}

// Guessing from one address makes that address wait; alice's right password from another
// address goes straight through, and the log tells of the guessing once.
TEST(WebLimits, FailedLoginsSlowOnlyTheGuessingAddress) {
  TempDir dir;
  WriteUsers(dir);
  Program program(dir, {}, "0.0.0.0:0");
  ASSERT_NE(program.port, 0) << program.process->output();
  EXPECT_THAT(program.process->output(), HasSubstr("passwords travel in clear"));
  HttpClient guesser("127.0.0.1", program.port);
  HttpClient alice("127.0.0.1", program.port);
  alice.set_interface("127.0.0.2");
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(guesser.Get("/api/devices", {{"Authorization", Basic("alice", "guess")}})->status,
              401);
  for (int i = 0; i < 20; ++i) {
    auto refused = guesser.Get("/api/devices", {{"Authorization", Basic("alice", "guess")}});
    ASSERT_TRUE(refused) << refused.error();
    EXPECT_EQ(refused->status, 429);
    EXPECT_GE(std::stoi(refused->get_header_value("Retry-After")), 1);
  }
  // The right password from the guessing address waits too; from alice's address it does not.
  EXPECT_EQ(guesser.Get("/api/devices", {{"Authorization", Basic("alice", "s3cret")}})->status,
            429);
  auto res = alice.Get("/api/devices", {{"Authorization", Basic("alice", "s3cret")}});
  ASSERT_TRUE(res) << res.error();
  EXPECT_EQ(res->status, 200);
  program.process->WaitForLine("failed web logins", 5s);
  const std::string out = program.process->output();
  const size_t first = out.find("failed web logins from 127.0.0.1");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find("failed web logins", first + 1), std::string::npos) << out;
}

// With a certificate the pages and the API are served over HTTPS only.
TEST(WebLimits, ServesHttpsWithACertificate) {
  TempDir dir;
  const std::string cert = (dir.path() / "web.crt").string(),
                    key = (dir.path() / "web.key").string();
  std::string output;
  ASSERT_EQ(RunToEnd({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                      "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                      "-keyout", key, "-out", cert},
                     output),
            0)
      << output;
  Program program(dir, {"--tls-cert", cert, "--tls-key", key});
  ASSERT_NE(program.port, 0) << program.process->output();
  EXPECT_THAT(program.process->output(), HasSubstr("https://127.0.0.1:"));
  HttpClient secure("127.0.0.1", program.port, /*https=*/true, cert);
  auto res = secure.Get("/api/devices");
  ASSERT_TRUE(res) << res.error();
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
  HttpClient plain("127.0.0.1", program.port);
  plain.set_read_timeout(3s);
  auto clear = plain.Get("/api/devices");
  EXPECT_FALSE(clear && clear->status == 200);

  // A key that does not go with the certificate, or a missing file, stops the start with a reason.
  TempDir other;
  std::string message;
  EXPECT_NE(RunToEnd({QB_PROGRAM_PATH, "--standalone", "--app-dir", (other.path() / "app").string(),
                      "--settings", (other.path() / "s.ini").string(), "--http", "127.0.0.1:0",
                      "--tls-cert", cert, "--tls-key", (other.path() / "none.key").string()},
                     message),
            0);
  EXPECT_THAT(message, HasSubstr("none.key"));
  const std::string stranger = (other.path() / "stranger.key").string();
  ASSERT_EQ(RunToEnd({"/usr/bin/openssl", "genrsa", "-out", stranger, "2048"}, output), 0);
  EXPECT_EQ(RunToEnd({QB_PROGRAM_PATH, "--standalone", "--app-dir", (other.path() / "app").string(),
                      "--settings", (other.path() / "s.ini").string(), "--http", "127.0.0.1:0",
                      "--tls-cert", cert, "--tls-key", stranger},
                     message),
            1);
  EXPECT_THAT(message, HasSubstr("matching pair"));
  // That start still ends as any other: the adapter released, the devices and the log saved.
  const std::string log = ReadFile(other.path() / "app" / "quellbrook-1wire.log");
  EXPECT_THAT(log, HasSubstr("matching pair"));
  EXPECT_THAT(log, HasSubstr("\tHost\tStopped"));
}

// Relative file names under [Web] are taken from the settings file's folder, not from the
// folder the program runs in; and the README's certificate command, run as printed, gives a pair
// the program serves with.
TEST(WebLimits, HttpsFromTheSettingsFileWithTheReadmeCertificate) {
  TempDir dir;
  std::ifstream readme(std::filesystem::path(QB_DEMO_BUS).parent_path().parent_path() /
                       "README.md");
  const std::string text((std::istreambuf_iterator<char>(readme)),
                         std::istreambuf_iterator<char>());
  const size_t start = text.find("```sh\nopenssl req -x509");
  ASSERT_NE(start, std::string::npos) << "the README shows no certificate command";
  const size_t end = text.find("```", start + 5);
  const std::string commands = text.substr(start + 6, end - start - 6);
  std::string output;
  ASSERT_EQ(RunToEnd({"/bin/sh", "-ec", "cd \"$0\"\n" + commands, dir.path().string()}, output), 0)
      << commands << output;
  ASSERT_TRUE(std::filesystem::exists(dir.path() / "web.crt")) << output;
  EXPECT_EQ(
      std::filesystem::status(dir.path() / "web.key").permissions() & std::filesystem::perms::all,
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  Program program(dir, {}, "127.0.0.1:0", {}, "[Web]\nTlsCert=web.crt\nTlsKey=./web.key\n");
  ASSERT_NE(program.port, 0) << program.process->output();
  EXPECT_THAT(program.process->output(), HasSubstr("https://127.0.0.1:"));
  HttpClient secure("127.0.0.1", program.port, /*https=*/true);
  auto res = secure.Get("/api/devices");
  ASSERT_TRUE(res) << res.error();
  EXPECT_EQ(res->status, 200);
}

}  // namespace
}  // namespace qb::test
