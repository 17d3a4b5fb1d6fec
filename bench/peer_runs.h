// Whole-program runs for the benchmarks that set the program beside owserver: a bus file served
// as a DS2480B on a pseudo-terminal by `quellbrook-bus serve --pty`, the program or owserver on
// that terminal, and small clients for the JSON API and owserver's own protocol.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http_load.h"

namespace qb::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadAll(const fs::path& path);
// Writes `text` beside `path` and renames it over `path`, as an editor saves: the emulator that
// follows the file never reads half of it.
void ReplaceFile(const fs::path& path, const std::string& text);

// The ROM id text of a device: CRC first, family last, as the bus file writes it.
std::string RomText(uint8_t family, uint32_t serial);
// owfs's name of the same device: family, a dot, the six serial number bytes in wire order.
std::string OwfsName(const std::string& rom_text);

double SecondsSince(Clock::time_point start);

// A child process with its output (stdout and stderr) in a file; stopped when destroyed.
class Child {
 public:
  Child() = default;
  Child(const std::vector<std::string>& args, const fs::path& output,
        const std::string& preload = {});
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept : pid_(other.pid_), output_(std::move(other.output_)) {
    other.pid_ = -1;
  }
  Child& operator=(Child&& other) noexcept;

  bool Alive();
  void Stop();  // SIGTERM, then SIGKILL after 5 s
  std::string Output() const { return ReadAll(output_); }

 private:
  pid_t pid_ = -1;
  fs::path output_;
};

// `quellbrook-bus serve --bus BUS --pty LINK`; empty problem once the terminal exists.
Child ServeDs2480b(const std::string& bus_tool, const fs::path& bus, const fs::path& link,
                   std::string& problem);

// The program stand-alone with `settings` (the [Settings] section's lines and any other
// sections), its web server on a free loopback port; port 0 and a problem when it did not start.
struct ProgramRun {
  Child process;
  int port = 0;
  std::unique_ptr<::bench::HttpConnection> client;
};
ProgramRun StartProgram(const std::string& program, const fs::path& dir,
                        const std::string& settings, std::string& problem);

// The `string` of every host device of the JSON API by its key (iomisc), and its `ref`.
struct ShownDevice {
  std::string text;
  int ref = 0;
};
std::map<std::string, ShownDevice> Shown(::bench::HttpConnection& client);

// POSTs a JSON body on a connection of its own; the status (0 when no answer came).
int PostJson(int port, const std::string& path, const std::string& body, std::string* answer);

// owserver on `link` (the pty drain shim preloaded where built), listening on a free port.
struct Owserver {
  Child process;
  std::string address;  // "127.0.0.1:PORT"
};
Owserver StartOwserver(const fs::path& link, const fs::path& dir);
bool OwserverInstalled();

// One owserver read (message type 2) of `path`; false when owserver did not answer it.
bool OwRead(const std::string& address, const std::string& path, std::string& value);
// One owserver write (message type 3) of `value` to `path`.
bool OwWrite(const std::string& address, const std::string& path, const std::string& value);
// The directory listing of `path` (message type 7, one name per entry).
std::vector<std::string> OwDir(const std::string& address, const std::string& path);

}  // namespace qb::bench
