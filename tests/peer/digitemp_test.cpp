// digitemp, unmodified, finds and reads the thermometers of a simulated bus through
// `quellbrook-bus serve`, as it would through a DS9097U adapter on a serial port.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "access/rom.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::string Which(const std::string& program) {
  std::istringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin");
  for (std::string dir; std::getline(path, dir, ':');) {
    const auto candidate = std::filesystem::path(dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

// digitemp writes a ROM id as the bytes in wire order: family code first, CRC last.
std::string DigitempName(const std::string& rom_text) {
  const auto rom = *access::RomId::Parse(rom_text);
  return access::BytesToHexText(rom.bytes.data(), rom.bytes.size());
}

class DigitempTest : public ::testing::Test {
 protected:
  void SetUp() override {
    digitemp = Which("digitemp_DS9097U");
    ASSERT_FALSE(digitemp.empty())
        << "digitemp is not installed (scripts/bootstrap.sh installs it)";
    const json devices = {
        {{"rom", access::RomId::Make(0x28, 0x1111).ToString()}, {"temperature", 21.5}},
        {{"rom", access::RomId::Make(0x28, 0x2222).ToString()},
         {"temperature", -0.5},
         {"resolution", 9}},
        {{"rom", access::RomId::Make(0x22, 0x3333).ToString()}, {"temperature", 64.0625}},
        {{"rom", access::RomId::Make(0x10, 0x4444).ToString()}, {"temperature", -12.25}},
        {{"rom", access::RomId::Make(0x2C, 0x5555).ToString()}, {"wiper", 9}},
        {{"rom", access::RomId::Make(0x20, 0x6666).ToString()}, {"inputs", {1, 2, 0.5, 0}}},
    };
    for (const auto& d : devices) {
      const std::string name = DigitempName(d["rom"]);
      if (d.contains("temperature")) thermometers[name] = d["temperature"].get<double>();
      all.insert(name);
    }
    const auto bus_file = dir.path() / "bus.json";
    link = dir.path() / "ttyQB1";
    config = dir.path() / "digitemp.conf";
    test::WriteFile(bus_file, json{{"devices", devices}}.dump(2));
    serve = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        QB_BUS_TOOL_PATH, "serve", "--bus", bus_file.string(), "--pty", link.string()});
    ASSERT_NE(serve->WaitForLine("serving", 10s), "") << serve->output();
  }

  void TearDown() override {
    if (serve) {
      EXPECT_EQ(serve->Stop(SIGTERM, 10s), 0) << serve->output();
    }
  }

  // digitemp with its arguments, run with the shim that makes tcdrain and tcflush on the
  // pseudo-terminal behave as on a serial line (tests/support/pty_drain_shim.cpp): digitemp
  // drains and flushes both ways right after each write, which on a bare pseudo-terminal can
  // discard bytes the server has not read yet.
  std::vector<std::string> Digitemp(std::vector<std::string> args) const {
    args.insert(args.begin(),
                {"/usr/bin/env", std::string("LD_PRELOAD=") + QB_PTY_DRAIN_SHIM, digitemp});
    return args;
  }

  // ROM ids (family first) and the numbers that follow them on lines of `text`.
  static std::map<std::string, double> RomLines(const std::string& text, const std::regex& form) {
    std::map<std::string, double> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      if (std::regex_search(line, m, form))
        found[m[1]] = m.size() > 2 && m[2].matched ? std::stod(m[2]) : 0;
    }
    return found;
  }

  test::TempDir dir;
  std::filesystem::path link, config;
  std::string digitemp;
  std::map<std::string, double> thermometers;
  std::set<std::string> all;
  std::unique_ptr<test::ChildProcess> serve;
};

TEST_F(DigitempTest, FindsTheThermometersAndReadsTheirTemperatures) {
  // -i searches the bus and writes the configuration file, listing every device it found.
  std::string out;
  ASSERT_EQ(test::RunToEnd(Digitemp({"-q", "-s", link.string(), "-i", "-c", config.string()}), out),
            0)
      << out;
  const auto listed = RomLines(out, std::regex("ROM #\\d+ : ([0-9A-F]{16})"));
  for (const auto& [rom, t] : thermometers) EXPECT_TRUE(listed.count(rom)) << rom << "\n" << out;
  for (const auto& [rom, unused] : listed) EXPECT_TRUE(all.count(rom)) << rom << " is not ours";

  // -a reads every sensor of the configuration file; the format gives ROM id and Celsius.
  ASSERT_EQ(test::RunToEnd(Digitemp({"-q", "-c", config.string(), "-a", "-o", "%R %.4C"}), out), 0)
      << out;
  const auto read = RomLines(out, std::regex("^([0-9A-F]{16}) (-?[0-9.]+)$"));
  ASSERT_EQ(read.size(), thermometers.size()) << out;
  for (const auto& [rom, t] : thermometers) {
    ASSERT_TRUE(read.count(rom)) << rom << "\n" << out;
    // Each to its resolution: 1/16 °C at 12 bits, 1/2 °C for the one set to 9 bits.
    EXPECT_NEAR(read.at(rom), t, t == -0.5 ? 0.5 : 0.0625) << rom;
  }
}

}  // namespace
}  // namespace qb
