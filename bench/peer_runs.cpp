#include "peer_runs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "owserver_reads.h"

extern char** environ;

namespace qb::bench {

using namespace std::chrono_literals;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void ReplaceFile(const fs::path& path, const std::string& text) {
  const fs::path temp = path.string() + ".new";
  std::ofstream(temp) << text;
  fs::rename(temp, path);
}

namespace {

uint8_t Crc8(const uint8_t* data, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    uint8_t byte = data[i];
    for (int b = 0; b < 8; ++b) {
      const bool mix = (crc ^ byte) & 1;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      byte >>= 1;
    }
  }
  return crc;
}

}  // namespace

std::string RomText(uint8_t family, uint32_t serial) {
  uint8_t b[8] = {family};
  for (int i = 0; i < 6; ++i) b[1 + i] = static_cast<uint8_t>(uint64_t{serial} >> (8 * i));
  b[7] = Crc8(b, 7);
  char text[17];
  for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", b[7 - i]);
  return text;
}

std::string OwfsName(const std::string& rom_text) {
  // The text holds the bytes last to first: the family is its last pair, the serial number the
  // six pairs before it, the last of them first on the wire.
  std::string name = rom_text.substr(14, 2) + ".";
  for (int i = 6; i >= 1; --i) name += rom_text.substr(static_cast<size_t>(2 * i), 2);
  return name;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// --- Processes -------------------------------------------------------------------------------

Child::Child(const std::vector<std::string>& args, const fs::path& output,
             const std::string& preload)
    : output_(output) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e)
    if (preload.empty() || std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env_text.push_back(*e);
  if (!preload.empty()) env_text.push_back("LD_PRELOAD=" + preload);
  std::vector<char*> env;
  for (auto& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (posix_spawnp(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), env.data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    Stop();
    pid_ = other.pid_;
    output_ = std::move(other.output_);
    other.pid_ = -1;
  }
  return *this;
}

bool Child::Alive() {
  int status = 0;
  return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;
}

void Child::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(50ms);
  if (waitpid(pid_, &status, WNOHANG) == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

Child ServeDs2480b(const std::string& bus_tool, const fs::path& bus, const fs::path& link,
                   std::string& problem) {
  const fs::path output = link.string() + ".out";
  Child serve({bus_tool, "serve", "--bus", bus.string(), "--pty", link.string()}, output);
  const auto until = Clock::now() + 10s;
  while (!fs::is_symlink(link) && serve.Alive() && Clock::now() < until)
    std::this_thread::sleep_for(20ms);
  if (!fs::is_symlink(link)) problem = "the emulator made no terminal: " + serve.Output();
  return serve;
}

ProgramRun StartProgram(const std::string& program, const fs::path& dir,
                        const std::string& settings, std::string& problem) {
  ProgramRun run;
  fs::create_directories(dir / "app");
  std::ofstream(dir / "settings.ini") << settings;
  run.process = Child({program, "--standalone", "--app-dir", (dir / "app").string(), "--settings",
                       (dir / "settings.ini").string(), "--http", "127.0.0.1:0"},
                      dir / "program.out");
  const auto until = Clock::now() + 30s;
  std::smatch m;
  while (Clock::now() < until) {
    const std::string text = run.process.Output();
    if (std::regex_search(text, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/"))) {
      run.port = std::stoi(m[1]);
      run.client = std::make_unique<::bench::HttpConnection>(run.port);
      return run;
    }
    if (!run.process.Alive()) break;
    std::this_thread::sleep_for(50ms);
  }
  problem = "the program did not start its web server:\n" + run.process.Output();
  return run;
}

std::map<std::string, ShownDevice> Shown(::bench::HttpConnection& client) {
  std::map<std::string, ShownDevice> shown;
  std::string body;
  if (client.Get("/api/devices", &body) != 200) return shown;
  const nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
  const nlohmann::json& list = doc.is_object() && doc.contains("devices") ? doc["devices"] : doc;
  if (!list.is_array()) return shown;
  for (const auto& d : list) {
    if (!d.is_object() || !d.contains("iomisc") || !d.contains("string")) continue;
    ShownDevice& s = shown[d["iomisc"].get<std::string>()];
    s.text = d["string"].get<std::string>();
    if (d.contains("ref") && d["ref"].is_number_integer()) s.ref = d["ref"].get<int>();
  }
  return shown;
}

namespace {

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, char* into, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = recv(fd, into + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// One owserver exchange: a request of `type` with `payload`, the answer's data. owserver's
// messages are six big-endian 32-bit words (version, payload length, type or return value,
// flags, size, offset) and the payload; while it works it may send keep-alive headers with a
// negative payload length, which carry nothing.
bool OwExchange(const std::string& address, int32_t type, const std::string& payload, int32_t size,
                std::string& data) {
  const int port = std::atoi(address.substr(address.rfind(':') + 1).c_str());
  const int fd = ::bench::ConnectLoopback(port, 20);
  if (fd < 0) return false;
  // Flags: the client speaks the network protocol (0x100); Celsius and the family.serial name
  // format are the zero defaults.
  const int32_t header[6] = {0, static_cast<int32_t>(payload.size()), type, 0x100, size, 0};
  std::string request(sizeof header, '\0');
  for (int i = 0; i < 6; ++i) {
    const uint32_t word = htonl(static_cast<uint32_t>(header[i]));
    std::memcpy(request.data() + 4 * i, &word, 4);
  }
  request += payload;
  bool ok = SendAll(fd, request);
  while (ok) {
    uint32_t answer[6];
    ok = ReceiveAll(fd, reinterpret_cast<char*>(answer), sizeof answer);
    if (!ok) break;
    const int32_t length = static_cast<int32_t>(ntohl(answer[1]));
    const int32_t ret = static_cast<int32_t>(ntohl(answer[2]));
    if (length < 0) continue;  // keep-alive
    std::string body(static_cast<size_t>(length), '\0');
    ok = ReceiveAll(fd, body.data(), body.size()) && ret >= 0;
    const int32_t used = static_cast<int32_t>(ntohl(answer[4]));
    if (ok) data = body.substr(0, static_cast<size_t>(std::min<int32_t>(used, length)));
    break;
  }
  close(fd);
  return ok;
}

}  // namespace

int PostJson(int port, const std::string& path, const std::string& body, std::string* answer) {
  const int fd = ::bench::ConnectLoopback(port, 20);
  if (fd < 0) return 0;
  const std::string request = "POST " + path +
                              " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nContent-Type: application/json\r\nConnection: close\r\n"
                              "Content-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  std::string text;
  if (SendAll(fd, request)) {
    char chunk[4096];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;)
      text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  int status = 0;
  if (text.rfind("HTTP/1.", 0) == 0 && text.size() > 12) status = std::atoi(text.c_str() + 9);
  if (answer) {
    const size_t at = text.find("\r\n\r\n");
    *answer = at == std::string::npos ? text : text.substr(at + 4);
  }
  return status;
}

bool OwserverInstalled() {
  return Installed("owserver");
}

Owserver StartOwserver(const fs::path& link, const fs::path& dir) {
  Owserver o;
  o.address = "127.0.0.1:" + std::to_string(FreePort());
  std::string preload;
#ifdef QB_PTY_DRAIN_SHIM
  // tcdrain and tcflush on the pseudo-terminal as on a serial line (see the shim's source).
  preload = QB_PTY_DRAIN_SHIM;
#endif
  o.process = Child({"owserver", "--foreground", "--device=" + link.string(), "-p", o.address},
                    dir / "owserver.out", preload);
  return o;
}

bool OwRead(const std::string& address, const std::string& path, std::string& value) {
  return OwExchange(address, 2, path + std::string(1, '\0'), 8192, value);
}

bool OwWrite(const std::string& address, const std::string& path, const std::string& value) {
  std::string ignored;
  return OwExchange(address, 3, path + std::string(1, '\0') + value,
                    static_cast<int32_t>(value.size()), ignored);
}

std::vector<std::string> OwDir(const std::string& address, const std::string& path) {
  std::string text;
  std::vector<std::string> names;
  if (!OwExchange(address, 7, path + std::string(1, '\0'), 0, text)) return names;
  std::istringstream list(text);
  for (std::string name; std::getline(list, name, ',');) {
    while (!name.empty() && name.back() == '\0') name.pop_back();
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

}  // namespace qb::bench
