// Peers read a simulated bus through `quellbrook-bus serve --passive`, the emulated passive serial
// adapter (DS9097E) on a pseudo-terminal: digitemp_DS9097 and owserver's passive mode, unmodified.
// Each must read the bus file's values at the ends of the thermometers' ranges, and so must we
// through the same emulation.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "access/rom.h"
#include "platform/clock.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "tools/bus_tool.h"

namespace qb {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::string Which(const std::string& program) {
  std::istringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin:/usr/sbin");
  for (std::string dir; std::getline(path, dir, ':');) {
    const auto candidate = std::filesystem::path(dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

std::string Trim(const std::string& s) {
  const auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  return s.substr(begin, s.find_last_not_of(" \t\r\n") - begin + 1);
}

class PassivePeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The thermometers at the ends of their ranges and just below zero, externally powered (a
    // passive adapter has no strong pull-up for parasite-powered ones).
    const std::vector<std::pair<uint8_t, double>> thermometers = {
        {0x28, -55}, {0x28, 125}, {0x28, -0.0625}, {0x22, -10.125}, {0x10, 85}, {0x10, -55}};
    uint64_t serial = 0x100;
    for (const auto& [family, celsius] : thermometers) {
      const auto rom = access::RomId::Make(family, ++serial);
      devices.push_back({{"rom", rom.ToString()}, {"temperature", celsius}});
      expected[rom] = celsius;
    }
    devices.push_back({{"rom", access::RomId::Make(0x2C, 0x2890).ToString()}, {"wiper", 0}});
    const auto bus_file = dir.path() / "bus.json";
    link = (dir.path() / "ttyDS9097").string();
    test::WriteFile(bus_file, json{{"devices", devices}}.dump(2));
    serve = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        QB_BUS_TOOL_PATH, "serve", "--bus", bus_file.string(), "--passive", "--pty", link});
    ASSERT_NE(serve->WaitForLine("serving", 10s), "") << serve->output();
  }

  void TearDown() override {
    if (owserver) owserver->Stop(SIGTERM, 10s);
    if (serve) {
      EXPECT_EQ(serve->Stop(SIGTERM, 10s), 0) << serve->output();
    }
  }

  // Our own reading of a thermometer through the same emulation, with the bus tool.
  double OurReading(const access::RomId& rom) {
    SystemClock clock;
    std::ostringstream out, err;
    EXPECT_EQ(RunBusTool({"--adapter", "DS9097E", "--port", link, "read", rom.ToString()}, out, err,
                         clock),
              0)
        << err.str();
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("temperature=", 0) == 0) return std::stod(line.substr(12));
    }
    ADD_FAILURE() << rom.ToString() << ": no temperature in\n" << out.str() << err.str();
    return NAN;
  }

  test::TempDir dir;
  json devices = json::array();
  std::map<access::RomId, double> expected;
  std::string link;
  std::unique_ptr<test::ChildProcess> serve, owserver;
};

TEST_F(PassivePeerTest, DigitempFindsAndReadsTheThermometersAsWeDo) {
  const std::string digitemp = Which("digitemp_DS9097");
  ASSERT_FALSE(digitemp.empty()) << "digitemp is not installed (scripts/bootstrap.sh installs it)";
  const std::string config = (dir.path() / "digitemp.conf").string();
  std::string out;
  ASSERT_EQ(test::RunToEnd({digitemp, "-q", "-s", link, "-i", "-c", config}, out), 0) << out;
  ASSERT_EQ(test::RunToEnd({digitemp, "-q", "-c", config, "-a", "-o", "%R %.4C"}, out), 0) << out;
  // digitemp writes a ROM id in wire order: family code first.
  std::map<std::string, double> read;
  std::istringstream lines(out);
  const std::regex form("^([0-9A-F]{16}) (-?[0-9.]+)$");
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, form)) read[m[1]] = std::stod(m[2]);
  }
  ASSERT_EQ(read.size(), expected.size()) << out;
  for (const auto& [rom, celsius] : expected) {
    const std::string name = access::BytesToHexText(rom.bytes.data(), rom.bytes.size());
    ASSERT_TRUE(read.count(name)) << name << "\n" << out;
    // digitemp reads the DS18S20 to its half degree; the others to 1/16.
    EXPECT_NEAR(read.at(name), celsius, rom.family() == 0x10 ? 0.5 : 0.0001) << name;
    EXPECT_EQ(OurReading(rom), celsius) << rom.ToString();
  }
}

TEST_F(PassivePeerTest, OwserverInPassiveModeReadsWhatWeRead) {
  const std::string owserver_path = Which("owserver"), owread = Which("owread");
  ASSERT_FALSE(owserver_path.empty() || owread.empty())
      << "owserver and ow-shell are not installed (scripts/bootstrap.sh installs them)";
  const std::string server = "127.0.0.1:" + std::to_string(FreePort());
  owserver = std::make_unique<test::ChildProcess>(
      std::vector<std::string>{owserver_path, "--foreground", "--passive=" + link, "-p", server});
  std::map<access::RomId, double> theirs;
  for (const auto& [rom, celsius] : expected) {
    const std::string path = "/uncached/" + access::BytesToHexText(&rom.bytes[0], 1) + "." +
                             access::BytesToHexText(&rom.bytes[1], 6) + "/temperature";
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    bool read = false;
    while (!read && std::chrono::steady_clock::now() < deadline) {
      if (test::RunToEnd({owread, "-s", server, path}, out) == 0 && !Trim(out).empty()) {
        theirs[rom] = std::stod(Trim(out));
        read = true;
      } else {
        std::this_thread::sleep_for(200ms);  // owserver still starting
      }
    }
    ASSERT_TRUE(read) << path << ": " << out << "\n" << owserver->output();
    EXPECT_NEAR(theirs[rom], celsius, 0.0001) << path;
  }
  // The port is ours once owserver let it go.
  owserver->Stop(SIGTERM, 10s);
  owserver.reset();
  for (const auto& [rom, celsius] : theirs) EXPECT_EQ(OurReading(rom), celsius) << rom.ToString();
}

}  // namespace
}  // namespace qb
