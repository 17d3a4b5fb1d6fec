// Peers read a simulated bus through `quellbrook-bus serve --ds2490`, the emulated DS9490R USB
// adapter: owserver with its USB option, unmodified, on libusb under umockdev. It must read the
// bus file's values at the ends of the thermometers' ranges, a parasite-powered one included (the
// adapter's strong pull-up), and so must we through the same emulation. Unplugging the adapter
// while a program holds it, and plugging it in again, is tried with our bus tool.

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
#include "support/child_process.h"
#include "support/temp_dir.h"

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

// owfs names a device FF.SSSSSSSSSSSS: the family code, then the serial number in wire order.
std::string OwName(const access::RomId& rom) {
  return access::BytesToHexText(&rom.bytes[0], 1) + "." + access::BytesToHexText(&rom.bytes[1], 6);
}

class DS2490PeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::pair<uint8_t, double>> thermometers = {
        {0x28, -55}, {0x28, 125}, {0x28, -0.0625}, {0x22, -10.125}, {0x10, 85}};
    uint64_t serial = 0x200;
    for (const auto& [family, celsius] : thermometers) {
      const auto rom = access::RomId::Make(family, ++serial);
      devices.push_back({{"rom", rom.ToString()}, {"temperature", celsius}});
      expected[rom] = celsius;
    }
    // Parasite powered: it converts only with the adapter's strong pull-up.
    parasite = access::RomId::Make(0x10, 0x2490);
    devices.push_back({{"rom", parasite.ToString()}, {"temperature", -55}, {"power", "parasite"}});
    expected[parasite] = -55;
    bus_file = (dir.path() / "bus.json").string();
    test::WriteFile(bus_file, json{{"devices", devices}}.dump(2));
  }

  test::TempDir dir;
  json devices = json::array();
  std::map<access::RomId, double> expected;
  access::RomId parasite;
  std::string bus_file;
};

TEST_F(DS2490PeerTest, OwserverOverUsbReadsWhatWeRead) {
  const std::string owserver_path = Which("owserver"), owread = Which("owread"),
                    owdir = Which("owdir");
  ASSERT_FALSE(owserver_path.empty() || owread.empty() || owdir.empty())
      << "owserver and ow-shell are not installed (scripts/bootstrap.sh installs them)";
  const std::string server = "127.0.0.1:" + std::to_string(FreePort());
  test::ChildProcess serve({QB_BUS_TOOL_PATH, "serve", "--bus", bus_file, "--ds2490", "--",
                            owserver_path, "--foreground", "-u", "-p", server});
  std::string listing;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (test::RunToEnd({owdir, "-s", server, "/uncached"}, listing) == 0 &&
        listing.find("/uncached/81.") != std::string::npos)
      break;
    std::this_thread::sleep_for(200ms);  // owserver still starting
  }
  // Every device and the adapter's own ID chip (family 81).
  for (const auto& [rom, celsius] : expected)
    EXPECT_NE(listing.find("/uncached/" + OwName(rom)), std::string::npos)
        << OwName(rom) << "\n"
        << listing << serve.output();
  EXPECT_NE(listing.find("/uncached/81."), std::string::npos) << listing;
  std::map<access::RomId, double> theirs;
  for (const auto& [rom, celsius] : expected) {
    std::string out;
    ASSERT_EQ(
        test::RunToEnd({owread, "-s", server, "/uncached/" + OwName(rom) + "/temperature"}, out), 0)
        << OwName(rom) << ": " << out << serve.output();
    theirs[rom] = std::stod(Trim(out));
    EXPECT_NEAR(theirs[rom], celsius, 0.0001) << OwName(rom);
  }
  EXPECT_GE(serve.Stop(SIGTERM, 10s), 0) << "serve ends when its command ends";

  // Ours, in one serve run: the search, then each device's values after a line naming it.
  const std::string tool = std::string(QB_BUS_TOOL_PATH) + " --adapter DS2490 --port USB ";
  std::string script = tool + "search";
  for (const auto& [rom, celsius] : theirs)
    script += "; echo device=" + rom.ToString() + "; " + tool + "read " + rom.ToString();
  std::string out;
  ASSERT_EQ(test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", bus_file, "--ds2490", "--",
                            "/bin/sh", "-c", script},
                           out),
            0)
      << out;
  for (const auto& [rom, celsius] : theirs) {
    EXPECT_NE(out.find(rom.ToString() + "\n"), std::string::npos) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        out, m, std::regex("device=" + rom.ToString() + "\n(?:[^\n]*\n)*?temperature=(-?[0-9.]+)")))
        << out;
    EXPECT_EQ(std::stod(m[1]), celsius) << rom.ToString();
  }
}

TEST_F(DS2490PeerTest, AnUnpluggedAdapterFailsAndServesAgainWhenReplugged) {
  // A shell reads the device, signals serve to unplug, reads (fails), to replug, reads again.
  const std::string tool =
      std::string(QB_BUS_TOOL_PATH) + " --adapter DS2490 --port USB read " + parasite.ToString();
  // After each signal the shell waits (a bounded number of tries) until the bus tool sees the
  // change, then reads once more for the record.
  const std::string script = tool + "; echo first=$?; kill -USR1 $PPID; i=0; while " + tool +
                             " >/dev/null 2>&1 && [ $i -lt 100 ]; do i=$((i+1)); done; " + tool +
                             "; echo unplugged=$?; kill -USR2 $PPID; i=0; until " + tool +
                             " >/dev/null 2>&1 || [ $i -ge 100 ]; do i=$((i+1)); done; " + tool +
                             "; echo replugged=$?";
  std::string out;
  EXPECT_EQ(test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", bus_file, "--ds2490", "--",
                            "/bin/sh", "-c", script},
                           out),
            0)
      << out;
  EXPECT_NE(out.find("first=0"), std::string::npos) << out;
  EXPECT_NE(out.find("unplugged=1"), std::string::npos) << out;
  EXPECT_NE(out.find("no DS2490 USB adapter"), std::string::npos) << out;
  EXPECT_NE(out.find("replugged=0"), std::string::npos) << out;
  EXPECT_NE(out.find("temperature=-55"), std::string::npos) << out;
}

TEST_F(DS2490PeerTest, TheKernelsDriverIsDetachedAndSaidSo) {
  // The adapter as plugged in on a machine whose kernel bound its ds2490 driver to it.
  std::string out;
  setenv("QB_USB_DEVICE_STATE", "kernel-driver", 1);
  const int status =
      test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", bus_file, "--ds2490", "--",
                      QB_BUS_TOOL_PATH, "--adapter", "DS2490", "--port", "USB", "search"},
                     out);
  unsetenv("QB_USB_DEVICE_STATE");
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("the kernel's ds2490 driver held the adapter at /dev/bus/usb/001/002; it was "
                     "detached"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(parasite.ToString()), std::string::npos) << out;
}

}  // namespace
}  // namespace qb
