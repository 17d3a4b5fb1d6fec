// owserver, owdir and owread, unmodified, read a simulated bus through `quellbrook-bus serve`:
// the DS2480B emulation must satisfy a real 1-Wire stack that knows nothing of our simulator.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "access/container.h"
#include "access/ds18b20.h"
#include "access/families.h"
#include "access/masters/serial_adapters.h"
#include "access/provider.h"
#include "access/rom.h"
#include "platform/clock.h"
#include "sim/bus_file.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "tools/bus_tool.h"

namespace qb {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// The program's full path from PATH; empty when it is not installed.
std::string Which(const std::string& program) {
  std::istringstream path(getenv("PATH") ? getenv("PATH") : "/usr/bin:/usr/sbin");
  for (std::string dir; std::getline(path, dir, ':');) {
    const auto candidate = std::filesystem::path(dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

// A loopback port nobody listens on right now.
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

std::string Rom(uint8_t family, uint64_t serial) {
  return access::RomId::Make(family, serial).ToString();
}

// owfs names a device FF.SSSSSSSSSSSS: the family code, then the serial number bytes in wire
// order, without the CRC.
std::string OwName(const std::string& rom_text) {
  const auto rom = *access::RomId::Parse(rom_text);
  return access::FamilyText(rom.family()) + "." + access::BytesToHexText(&rom.bytes[1], 6);
}

std::string Trim(const std::string& s) {
  const auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  return s.substr(begin, s.find_last_not_of(" \t\r\n") - begin + 1);
}

class OwserverTest : public ::testing::Test {
 protected:
  // The devices of the bus owserver reads: one of each family, at everyday values.
  virtual json BusDevices() const {
    return {
        {{"rom", Rom(0x28, 0x0101)}, {"temperature", 21.5}},
        {{"rom", Rom(0x22, 0x0202)}, {"temperature", -10.125}},
        {{"rom", Rom(0x10, 0x0303)}, {"temperature", 25.0625}},
        {{"rom", Rom(0x26, 0x0404)},
         {"temperature", 23.25},
         {"vdd", 5.0},
         {"vad", 2.37},
         {"vsense_mv", 1.5}},
        {{"rom", Rom(0x20, 0x0505)}, {"inputs", {0.5, 1.25, 2.0, 0.0}}},
        {{"rom", Rom(0x1D, 0x0606)}, {"counters", {7, 0, 1234567, 42}}},
        {{"rom", Rom(0x12, 0x0707)}, {"latches", {true, false}}, {"levels", {false, true}}},
        {{"rom", Rom(0x2C, 0x0808)}, {"wiper", 200}},
        {{"rom", Rom(0x01, 0x0909)}},
        {{"rom", Rom(0x3A, 0x0A0A)}, {"latches", {true, false}}, {"levels", {true, false}}},
        {{"rom", Rom(0x29, 0x0B0B)},
         {"latches", {true, false, false, true, false, false, false, false}},
         {"levels", {true, true, false, true, true, true, true, false}}},
        {{"rom", Rom(0x42, 0x0C0C)}, {"temperature", -3.25}, {"latches", {false, true}}},
    };
  }

  void SetUp() override {
    owserver_path = Which("owserver");
    owdir_path = Which("owdir");
    owread_path = Which("owread");
    ASSERT_FALSE(owserver_path.empty() || owdir_path.empty() || owread_path.empty())
        << "owserver and ow-shell are not installed (scripts/bootstrap.sh installs them)";
    devices = BusDevices();
    bus_file = dir.path() / "bus.json";
    link = dir.path() / "ttyQB0";
    record = dir.path() / "conversation.txt";
    test::WriteFile(bus_file, json{{"devices", devices}}.dump(2));

    serve = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{QB_BUS_TOOL_PATH, "serve", "--bus", bus_file.string(), "--pty",
                                 link.string(), "--record", record.string()});
    ASSERT_NE(serve->WaitForLine("serving", 10s), "") << serve->output();
    ASSERT_TRUE(std::filesystem::is_symlink(link));
  }

  // owserver with the shim that makes tcdrain and tcflush on the pseudo-terminal behave as on a
  // serial line (tests/support/pty_drain_shim.cpp). Without it, a pseudo-terminal's tcdrain
  // returns at once and the tcflush owserver does right after writing the reply-less "E3 A5"
  // (search accelerator off) after each search pass can discard those bytes before the server
  // has read them: the adapter then stays in data mode and owserver never gets back in step.
  virtual void StartOwserver() {
    server = "127.0.0.1:" + std::to_string(FreePort());
    owserver = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        "/usr/bin/env", std::string("LD_PRELOAD=") + QB_PTY_DRAIN_SHIM, owserver_path,
        "--foreground", "--device=" + link.string(), "-p", server});
  }

  void TearDown() override {
    // Everything started is stopped, whatever the test's outcome.
    if (owserver) owserver->Stop(SIGTERM, 10s);
    if (serve) {
      EXPECT_EQ(serve->Stop(SIGTERM, 10s), 0) << serve->output();
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
          << "the link outlived the server";
    }
  }

  // Runs an ow-shell program against our owserver; returns its exit status.
  int Ow(const std::string& program, const std::string& path, std::string& out) {
    return test::RunToEnd({program, "-s", server, path}, out);
  }

  // The device directories owdir lists once owserver has started and searched the bus. owserver
  // is started once: a listing that is short or wrong is a failure (see Diagnosis).
  std::set<std::string> ListDevices() {
    const std::regex device_entry("^/([0-9A-F]{2}\\.[0-9A-F]{12})$");
    std::set<std::string> expected, found;
    for (const auto& d : devices) expected.insert(OwName(d["rom"]));
    StartOwserver();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string out;
      const int status = Ow(owdir_path, "/", out);
      last_listing = out;
      if (status == 0) {
        found.clear();
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
          std::smatch m;
          line = Trim(line);
          if (std::regex_match(line, m, device_entry)) found.insert(m[1]);
        }
        if (!found.empty()) return found;  // owserver's first search, whole or not
      }
      std::this_thread::sleep_for(200ms);  // owserver still starting
    }
    return found;
  }

  // What went on, for a failure's message: owserver's output, its last listing and the start of
  // the adapter conversation.
  std::string Diagnosis() {
    std::istringstream lines(test::ReadFile(record));
    std::string head;
    std::string line;
    for (int i = 0; i < 80 && std::getline(lines, line); ++i) head += line.substr(0, 100) + "\n";
    return "owserver's output: " + (owserver ? owserver->output() : "") + "\nlast listing:\n" +
           last_listing + "\nconversation:\n" + head;
  }

  // A property read afresh from the device; a failed read is tried again.
  double ReadNumber(const std::string& rom, const std::string& property) {
    std::string out;
    const std::string path = "/uncached/" + OwName(rom) + "/" + property;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (Ow(owread_path, path, out) != 0) continue;
      try {
        return std::stod(Trim(out));
      } catch (const std::exception&) {
      }
    }
    ADD_FAILURE() << path << " read \"" << out << "\"";
    return NAN;
  }

  // Our library on the served pseudo-terminal, as a DS9097U adapter (owserver stopped first):
  // the same simulated bus and the same adapter emulation owserver went through.
  template <typename Fn>
  void WithOurContainer(const std::string& rom, Fn fn) {
    access::OneWireAccessProvider provider;
    access::RegisterSerialAdapters(provider);
    auto adapter = provider.openAdapter("DS9097U", link.string());
    adapter->beginExclusive(true);
    auto c = access::CreateContainer(access::RomId::Parse(rom)->family());
    c->SetupContainer(adapter.get(), rom);
    try {
      fn(*c);
    } catch (...) {
      adapter->endExclusive();
      adapter->freePort();
      throw;
    }
    adapter->endExclusive();
    adapter->freePort();
  }

  std::string RomOf(uint8_t family) const {
    for (const auto& d : devices) {
      const std::string rom = d["rom"];
      if (access::RomId::Parse(rom)->family() == family) return rom;
    }
    return {};
  }

  test::TempDir dir;
  json devices;
  std::filesystem::path bus_file, link, record;
  std::string owserver_path, owdir_path, owread_path, server;
  std::string last_listing;
  std::unique_ptr<test::ChildProcess> serve, owserver;
};

TEST_F(OwserverTest, ListsExactlyTheDevicesOfTheBusFile) {
  std::set<std::string> expected;
  for (const auto& d : devices) expected.insert(OwName(d["rom"]));
  EXPECT_EQ(ListDevices(), expected) << Diagnosis();

  // The conversation was recorded as it passed: owserver's timing byte first (no answer), then
  // its configuration, each line one direction's bytes in hexadecimal.
  const std::string text = test::ReadFile(record);
  std::istringstream lines(text);
  std::string first;
  std::getline(lines, first);
  EXPECT_THAT(first, ::testing::StartsWith("> C1"));
  const std::regex line_form("^([<>]( [0-9A-F]{2})+|# .*)$");
  int answers = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_match(line, line_form)) << line;
    answers += line[0] == '<';
  }
  EXPECT_GT(answers, 10);
}

// Each family in a test of its own, values to the device's resolution.
TEST_F(OwserverTest, ReadsTheThermometers) {
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  // 12-bit (1/16 °C), and the DS18S20 with its extended resolution.
  EXPECT_NEAR(ReadNumber(RomOf(0x28), "temperature"), 21.5, 0.0625);
  EXPECT_NEAR(ReadNumber(RomOf(0x22), "temperature"), -10.125, 0.0625);
  EXPECT_NEAR(ReadNumber(RomOf(0x10), "temperature"), 25.0625, 0.0625);
}

TEST_F(OwserverTest, ReadsTheBatteryMonitor) {
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  // DS2438: 1/32 °C, 10 mV; VAD needs the A/D input switched by the configuration register.
  EXPECT_NEAR(ReadNumber(RomOf(0x26), "temperature"), 23.25, 0.03125);
  EXPECT_NEAR(ReadNumber(RomOf(0x26), "VDD"), 5.0, 0.01);
  EXPECT_NEAR(ReadNumber(RomOf(0x26), "VAD"), 2.37, 0.01);
}

TEST_F(OwserverTest, ReadsTheQuadConverter) {
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  // DS2450: owserver writes the channel control registers, converts and reads the results.
  const char* channels[] = {"volt.A", "volt.B", "volt.C", "volt.D"};
  const double inputs[] = {0.5, 1.25, 2.0, 0.0};
  for (int c = 0; c < 4; ++c)
    EXPECT_NEAR(ReadNumber(RomOf(0x20), channels[c]), inputs[c], 0.01) << channels[c];
}

TEST_F(OwserverTest, ReadsCountersSwitchAndPotentiometer) {
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  // DS2423: counters A and B are those of memory pages 14 and 15.
  EXPECT_EQ(ReadNumber(RomOf(0x1D), "counters.A"), 1234567);
  EXPECT_EQ(ReadNumber(RomOf(0x1D), "counters.B"), 42);
  // DS2406: PIO 1 where the output conducts; sensed is the pin (a conducting output reads low);
  // the activity latches were never set.
  EXPECT_EQ(ReadNumber(RomOf(0x12), "PIO.A"), 1);
  EXPECT_EQ(ReadNumber(RomOf(0x12), "PIO.B"), 0);
  EXPECT_EQ(ReadNumber(RomOf(0x12), "sensed.A"), 0);
  EXPECT_EQ(ReadNumber(RomOf(0x12), "sensed.B"), 1);
  EXPECT_EQ(ReadNumber(RomOf(0x12), "latch.A"), 0);
  EXPECT_EQ(ReadNumber(RomOf(0x12), "latch.B"), 0);
  // DS2890.
  EXPECT_EQ(ReadNumber(RomOf(0x2C), "wiper"), 200);
}

TEST_F(OwserverTest, ReadsTheSwitchesWithPioAccessAndTheChainThermometer) {
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  // DS2413: PIO 1 where the output conducts; sensed is the pin.
  EXPECT_EQ(ReadNumber(RomOf(0x3A), "PIO.A"), 1);
  EXPECT_EQ(ReadNumber(RomOf(0x3A), "PIO.B"), 0);
  EXPECT_EQ(ReadNumber(RomOf(0x3A), "sensed.A"), 0);
  EXPECT_EQ(ReadNumber(RomOf(0x3A), "sensed.B"), 0);
  // DS2408: the same for eight channels.
  const int conducting[] = {1, 0, 0, 1, 0, 0, 0, 0};
  const int sensed[] = {0, 1, 0, 0, 1, 1, 1, 0};
  for (int c = 0; c < 8; ++c) {
    const std::string n = std::to_string(c);
    EXPECT_EQ(ReadNumber(RomOf(0x29), "PIO." + n), conducting[c]) << n;
    EXPECT_EQ(ReadNumber(RomOf(0x29), "sensed." + n), sensed[c]) << n;
  }
  // DS28EA00: the DS18B20's temperature, and its two PIO lines.
  EXPECT_NEAR(ReadNumber(RomOf(0x42), "temperature"), -3.25, 0.0625);
  EXPECT_EQ(ReadNumber(RomOf(0x42), "PIO.A"), 0);
  EXPECT_EQ(ReadNumber(RomOf(0x42), "PIO.B"), 1);
}

// Below zero and at the ends of every range the simulator's families have, on a bus of their own:
// owserver's readings and ours must agree there, and both must be the bus file's values.
class OwserverExtremesTest : public OwserverTest {
 protected:
  json BusDevices() const override {
    json d = json::array();
    uint64_t serial = 0x1000;
    for (uint8_t family : {0x10, 0x22, 0x28}) {
      for (double t : {-55.0, -10.5, -5.625, -0.3125, -0.0625, 0.0, 85.0, 125.0})
        d.push_back({{"rom", Rom(family, serial++)}, {"temperature", t}});
    }
    // DS2438: its temperature range, both inputs at 0 and at the top of their 10-bit register.
    const double battery[][3] = {
        {-55, 0, 10.23}, {-0.0625, 10.23, 0}, {0, 5, 2.5}, {85, 2.4, 0.01}, {125, 10.23, 10.23}};
    for (const auto& [t, vdd, vad] : battery) {
      d.push_back({{"rom", Rom(0x26, serial++)}, {"temperature", t}, {"vdd", vdd}, {"vad", vad}});
    }
    d.push_back({{"rom", Rom(0x20, serial++)}, {"inputs", {0.0, 5.12, 2.56, 5.11}}});
    d.push_back({{"rom", Rom(0x1D, serial++)}, {"counters", {0, 0, 4294967295u, 0}}});
    for (int wiper : {0, 255}) d.push_back({{"rom", Rom(0x2C, serial++)}, {"wiper", wiper}});
    return d;
  }

  // `quellbrook-bus read` on the bus file itself (the simulator's values do not move, so it
  // reads what the terminal serves), as key=value pairs.
  std::map<std::string, std::string> OurReading(const std::string& rom) {
    SimulatedClock clock;
    std::ostringstream out, err;
    EXPECT_EQ(
        RunBusTool({"--adapter", "SIM", "--port", bus_file.string(), "read", rom}, out, err, clock),
        0)
        << rom << ": " << err.str();
    std::map<std::string, std::string> kv;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
  }

  // The four inputs of a DS2450 read through the library at `range` volts and `step` volts.
  std::vector<double> OurQuadConverterReading(const std::string& rom, double range, double step) {
    SimulatedClock clock;
    access::OneWireAccessProvider provider;
    sim::RegisterSimAdapter(provider, clock);
    auto adapter = provider.openAdapter("SIM", bus_file.string());
    auto c = access::CreateContainer(0x20);
    c->SetupContainer(adapter.get(), rom);
    access::DeviceState state = c->readDevice();
    for (int ch = 0; ch < 4; ++ch) {
      c->setADRange(ch, range, state);
      c->setADResolution(ch, step, state);
    }
    c->writeDevice(state);
    std::vector<double> volts;
    for (int ch = 0; ch < 4; ++ch) {
      c->doADConvert(ch, state);
      volts.push_back(c->getADVoltage(ch, state));
    }
    return volts;
  }

  static std::vector<double> Numbers(const std::string& text) {
    std::vector<double> v;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) v.push_back(std::stod(item));
    return v;
  }
};

TEST_F(OwserverExtremesTest, AgreesWithOurReadingsBelowZeroAndAtTheEndsOfEveryRange) {
  const std::string owwrite = Which("owwrite");
  ASSERT_FALSE(owwrite.empty()) << "ow-shell's owwrite is not installed";
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();

  // The thermometers convert together (Skip ROM, Convert T) and owserver reads each result: the
  // same decoding as its temperature property, without 24 conversions one after the other.
  std::string out;
  ASSERT_EQ(test::RunToEnd({owwrite, "-s", server, "/simultaneous/temperature", "1"}, out), 0)
      << out;
  std::this_thread::sleep_for(1s);  // the longest conversion, 750 ms

  for (const auto& d : devices) {
    const std::string rom = d["rom"];
    SCOPED_TRACE(rom + " " + d.dump());
    const auto ours = OurReading(rom);
    switch (access::RomId::Parse(rom)->family()) {
      case 0x10:
      case 0x22:
      case 0x28: {
        const double t = d["temperature"];
        EXPECT_EQ(std::stod(ours.at("temperature")), t);
        EXPECT_EQ(ReadNumber(rom, "latesttemp"), t);
        break;
      }
      case 0x26:
        // owserver prints six significant digits; the registers step 1/32 C and 10 mV.
        for (const auto& [key, property] :
             {std::pair{"temperature", "temperature"}, {"vdd", "VDD"}, {"vad", "VAD"}}) {
          const double value = d[key];
          EXPECT_NEAR(std::stod(ours.at(key)), value, 1e-9) << key;
          EXPECT_NEAR(ReadNumber(rom, property), value, 1e-6) << property;
        }
        break;
      case 0x20: {
        // owserver's volt.X reads at the 5.12 V range and 16 bits; ours through the library at
        // the same setting (the bus tool reads at the device's own, 2.56 V at power-on). One
        // step is 5.12 V / 65536 by the datasheet; owserver scales by 65535, so near full scale
        // it reads up to a step higher, printed to six digits.
        const double step = 5.12 / 65536;
        const auto ours_ad = OurQuadConverterReading(rom, 5.12, step);
        const char* channels[] = {"volt.A", "volt.B", "volt.C", "volt.D"};
        for (size_t ch = 0; ch < 4; ++ch) {
          const double input = d["inputs"][ch];
          EXPECT_NEAR(ours_ad[ch], input, step) << channels[ch];
          EXPECT_NEAR(ReadNumber(rom, channels[ch]), ours_ad[ch], step + 5e-6) << channels[ch];
        }
        break;
      }
      case 0x1D: {
        // owserver's counters A and B are those of pages 14 and 15.
        const auto counts = Numbers(ours.at("counters"));
        ASSERT_EQ(counts.size(), 4u);
        EXPECT_EQ(counts[2], 4294967295.0);
        EXPECT_EQ(ReadNumber(rom, "counters.A"), counts[2]);
        EXPECT_EQ(ReadNumber(rom, "counters.B"), counts[3]);
        break;
      }
      case 0x2C:
        EXPECT_EQ(std::stod(ours.at("wiper")), d["wiper"].get<double>());
        EXPECT_EQ(ReadNumber(rom, "wiper"), d["wiper"].get<double>());
        break;
      default:
        ADD_FAILURE() << "no comparison for this family";
    }
  }
}

// The same devices and extremes through an emulated DS2482 on an emulated /dev/i2c-1: owserver
// with its I2C option runs under `quellbrook-bus serve --ds2482`, on channel 3 of a DS2482-800.
class OwserverDS2482Test : public OwserverExtremesTest {
 protected:
  void SetUp() override {
    owserver_path = Which("owserver");
    owdir_path = Which("owdir");
    owread_path = Which("owread");
    ASSERT_FALSE(owserver_path.empty() || owdir_path.empty() || owread_path.empty())
        << "owserver and ow-shell are not installed (scripts/bootstrap.sh installs them)";
    devices = BusDevices();
    bus_file = dir.path() / "bus.json";
    link = dir.path() / "no-terminal";
    record = dir.path() / "no-record";
    test::WriteFile(bus_file, json{{"devices", devices}}.dump(2));
  }
  void StartOwserver() override {
    server = "127.0.0.1:" + std::to_string(FreePort());
    serve = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        QB_BUS_TOOL_PATH, "serve", "--bus", bus_file.string(), "--ds2482", "--channels", "8", "--",
        owserver_path, "--foreground", "--i2c=/dev/i2c-1:0x18", "-p", server});
  }
  // owfs puts each channel of a DS2482-800 in a directory of its own.
  std::set<std::string> ChannelDevices() {
    StartOwserver();
    std::set<std::string> found;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (found.empty() && std::chrono::steady_clock::now() < deadline) {
      std::string out;
      if (Ow(owdir_path, "/bus.3", out) == 0) {
        last_listing = out;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
          std::smatch m;
          line = Trim(line);
          if (std::regex_match(line, m, std::regex("^/bus\\.3/([0-9A-F]{2}\\.[0-9A-F]{12})$")))
            found.insert(m[1]);
        }
      }
      if (found.empty()) std::this_thread::sleep_for(200ms);
    }
    return found;
  }
};

TEST_F(OwserverDS2482Test, AgreesWithOurReadingsOnAChannelOfAnEightChannelBridge) {
  std::set<std::string> expected;
  for (const auto& d : devices) expected.insert(OwName(d["rom"]));
  ASSERT_EQ(ChannelDevices(), expected) << last_listing << (serve ? serve->output() : "");
  // The thermometers convert together (Skip ROM, Convert T, under the bridge's strong pull-up)
  // and each result is read.
  const std::string owwrite = Which("owwrite");
  ASSERT_FALSE(owwrite.empty()) << "ow-shell's owwrite is not installed";
  std::string converted;
  ASSERT_EQ(
      test::RunToEnd({owwrite, "-s", server, "/bus.3/simultaneous/temperature", "1"}, converted), 0)
      << converted;
  std::this_thread::sleep_for(1s);  // the longest conversion, 750 ms

  for (const auto& d : devices) {
    const std::string rom = d["rom"];
    SCOPED_TRACE(rom + " " + d.dump());
    const auto ours = OurReading(rom);
    const std::string on3 = "bus.3/" + OwName(rom);
    std::string out;
    auto theirs = [&](const std::string& property) {
      EXPECT_EQ(Ow(owread_path, "/uncached/" + on3 + "/" + property, out), 0) << out;
      return std::stod(Trim(out));
    };
    switch (access::RomId::Parse(rom)->family()) {
      case 0x10:
      case 0x22:
      case 0x28:
        EXPECT_EQ(std::stod(ours.at("temperature")), d["temperature"].get<double>());
        EXPECT_EQ(theirs("latesttemp"), d["temperature"].get<double>());
        break;
      case 0x26:
        EXPECT_NEAR(theirs("VDD"), std::stod(ours.at("vdd")), 1e-6);
        EXPECT_NEAR(theirs("VAD"), std::stod(ours.at("vad")), 1e-6);
        break;
      case 0x20: {
        const double step = 5.12 / 65536;
        const auto ours_ad = OurQuadConverterReading(rom, 5.12, step);
        EXPECT_NEAR(theirs("volt.B"), ours_ad[1], step + 5e-6);
        EXPECT_NEAR(theirs("volt.D"), ours_ad[3], step + 5e-6);
        break;
      }
      case 0x1D: {
        const auto counts = Numbers(ours.at("counters"));
        ASSERT_EQ(counts.size(), 4u);
        EXPECT_EQ(theirs("counters.A"), counts[2]);
        break;
      }
      case 0x2C:
        EXPECT_EQ(theirs("wiper"), std::stod(ours.at("wiper")));
        break;
      default:
        ADD_FAILURE() << "no comparison for this family";
    }
  }
}

}  // namespace
}  // namespace qb

namespace qb {
namespace {

// The clock and battery families: owserver reads the DS1994's clock and running flag, the
// DS1921's temperature and limits and the DS2760's measurements from the simulator, and writes
// the DS1994's clock and the DS1921's search flags through their scratchpads.
class OwserverClockTest : public OwserverExtremesTest {
 protected:
  json BusDevices() const override {
    return {
        {{"rom", Rom(0x04, 0x4000)}, {"clock", 0}},
        {{"rom", Rom(0x04, 0x4001)}, {"clock", 4294967295u}},
        {{"rom", Rom(0x04, 0x4002)}, {"clock", 1796650205}, {"running", true}},
        {{"rom", Rom(0x21, 0x2100)},
         {"running", true},  // control register 00: nothing but the search flags is set
         {"temperature", -12.5},
         {"alarm_low", -20},
         {"alarm_high", 30.5}},
        {{"rom", Rom(0x21, 0x2101)}, {"temperature", 85}, {"alarm_low", -40}, {"alarm_high", 85}},
        {{"rom", Rom(0x21, 0x2102)}, {"temperature", -40}, {"alarm_low", -0.5}},
        {{"rom", Rom(0x30, 0x3000)},
         {"temperature", -7.375},
         {"voltage", 3.904},
         {"vsense_mv", -12.5}},
        {{"rom", Rom(0x30, 0x3001)}, {"temperature", 127.875}, {"voltage", 0}, {"vsense_mv", 63}},
    };
  }
};

TEST_F(OwserverClockTest, ClockThermochronAndBatteryMonitorAgreeWithOurReadings) {
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  for (const auto& d : devices) {
    const std::string rom = d["rom"];
    SCOPED_TRACE(rom + " " + d.dump());
    const auto ours = OurReading(rom);
    switch (access::RomId::Parse(rom)->family()) {
      case 0x04: {
        const double clock = d["clock"];
        const bool running = d.value("running", false);
        EXPECT_EQ(std::stod(ours.at("clock")), clock);
        EXPECT_EQ(ours.at("running"), running ? "true" : "false");
        EXPECT_EQ(ReadNumber(rom, "running"), running ? 1 : 0);
        if (running) {
          // The served clock has run since the server started, a few seconds at most.
          const double udate = ReadNumber(rom, "udate");
          EXPECT_GE(udate, clock);
          EXPECT_LE(udate, clock + 60);
        } else {
          EXPECT_EQ(ReadNumber(rom, "udate"), clock);
        }
        break;
      }
      case 0x21:
        // The limits are the temperatures of owserver's overtemp and undertemp logs.
        for (const auto& [key, property] : {std::pair{"temperature", "temperature"},
                                            {"alarm_high", "overtemp/temperature"},
                                            {"alarm_low", "undertemp/temperature"}}) {
          const double value = d.contains(key) ? d[key].get<double>() : 85.0;
          EXPECT_EQ(std::stod(ours.at(key)), value) << key;
          EXPECT_EQ(ReadNumber(rom, property), value) << property;
        }
        break;
      case 0x30: {
        const double t = d["temperature"], v = d["voltage"], mv = d["vsense_mv"];
        EXPECT_EQ(std::stod(ours.at("temperature")), t);
        EXPECT_EQ(ReadNumber(rom, "temperature"), t);
        // 4.88 mV and 15.625 uV steps, printed to six digits by owserver.
        EXPECT_NEAR(std::stod(ours.at("voltage")), v, 0.00244);
        EXPECT_NEAR(ReadNumber(rom, "volt"), std::stod(ours.at("voltage")), 1e-6);
        EXPECT_NEAR(std::stod(ours.at("vsense_mv")), mv, 15.625e-3 / 2);
        EXPECT_NEAR(ReadNumber(rom, "vis") * 1000, std::stod(ours.at("vsense_mv")), 1e-3);
        // owserver's current is the sense voltage across the part's own 25 milliohm resistor.
        EXPECT_NEAR(ReadNumber(rom, "current"), std::stod(ours.at("current")), 1e-6);
        break;
      }
      default:
        ADD_FAILURE() << "no comparison for this family";
    }
  }
}

TEST_F(OwserverClockTest, OwserverWritesThroughTheScratchpads) {
  const std::string owwrite = Which("owwrite");
  ASSERT_FALSE(owwrite.empty()) << "ow-shell's owwrite is not installed";
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  auto write = [&](const std::string& rom, const std::string& property, const std::string& value) {
    std::string out;
    EXPECT_EQ(
        test::RunToEnd({owwrite, "-s", server, "/" + OwName(rom) + "/" + property, value}, out), 0)
        << property << ": " << out;
  };
  // DS1994: a stopped clock set (its Read Scratchpad has no CRC: owserver must accept that), and
  // the running one stopped: it stays where it stopped.
  const std::string stopped = Rom(0x04, 0x4000), running = Rom(0x04, 0x4002);
  write(stopped, "udate", "4294967295");
  EXPECT_EQ(ReadNumber(stopped, "udate"), 4294967295.0);
  write(running, "running", "0");
  EXPECT_EQ(ReadNumber(running, "running"), 0);
  const double frozen = ReadNumber(running, "udate");
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(ReadNumber(running, "udate"), frozen);

  // DS1921: owserver's high and low alarm search flags land on the bits of the control register
  // our constants name (its Read Scratchpad's CRC16 checked by owserver on the way).
  const std::string thermochron = Rom(0x21, 0x2100);
  write(thermochron, "set_alarm/temphigh", "1");
  write(thermochron, "set_alarm/templow", "1");
  EXPECT_EQ(ReadNumber(thermochron, "set_alarm/temphigh"), 1);
  EXPECT_EQ(ReadNumber(thermochron, "set_alarm/templow"), 1);
  const std::string text = test::ReadFile(record);
  char high[32], both[32];
  std::snprintf(high, sizeof high, "0F 0E 02 %02X", access::TEMP_HIGH_SEARCH_FLAG);
  std::snprintf(both, sizeof both, "0F 0E 02 %02X",
                access::TEMP_HIGH_SEARCH_FLAG | access::TEMP_LOW_SEARCH_FLAG);
  EXPECT_NE(text.find(high), std::string::npos) << "no Write Scratchpad of THS alone";
  EXPECT_NE(text.find(both), std::string::npos) << "no Write Scratchpad of THS and TLS";
}

}  // namespace
}  // namespace qb

namespace qb {
namespace {

// Memory pages of three NV RAM families, owserver's pages/page.N against our memory banks: full
// pages written by owserver read back by us through the same DS2480B, and the other way round;
// and EPROM pages (DS1985, DS1982) as owserver reads them from the simulator.
class OwserverMemoryTest : public OwserverTest {
 protected:
  json BusDevices() const override {
    return {
        {{"rom", Rom(0x06, 0x1111)}, {"memory", "546869732069732070616765207A65726F"}},
        {{"rom", Rom(0x08, 0x2222)}},
        {{"rom", Rom(0x1A, 0x3333)}},
        {{"rom", Rom(0x0B, 0x5555)}, {"memory", "4550524F4D2070616765"}},
        {{"rom", Rom(0x09, 0x6666)}, {"memory", std::string(64, 'F') + "4F54502070616765"}},
    };
  }
  std::string OwPage(const std::string& rom, int page) {
    std::string out;
    const std::string path = "/uncached/" + OwName(rom) + "/pages/page." + std::to_string(page);
    EXPECT_EQ(Ow(owread_path, path, out), 0) << path << ": " << out;
    return out;
  }
  // Our library's first memory bank of the device, on the served pseudo-terminal.
  template <typename Fn>
  void WithOurBanks(const std::string& rom, Fn fn) {
    WithOurContainer(rom, [&](access::OneWireContainer& c) {
      auto banks = c.getMemoryBanks();
      fn(dynamic_cast<access::PagedMemoryBank&>(*banks.at(0)));
    });
  }
};

TEST_F(OwserverMemoryTest, PagesAgreeBothWays) {
  const std::string owwrite = Which("owwrite");
  ASSERT_FALSE(owwrite.empty()) << "ow-shell's owwrite is not installed";
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  const std::string dev1993 = RomOf(0x06), dev1992 = RomOf(0x08), dev1963 = RomOf(0x1A);
  EXPECT_EQ(OwPage(dev1993, 0).substr(0, 17), "This is page zero");
  EXPECT_EQ(OwPage(RomOf(0x0B), 0).substr(0, 10), "EPROM page");
  // The DS1982's pages through Read Data/Generate 8-bit CRC, with the CRC8 at the end of each
  // page. owserver answers an empty text for "/uncached" pages of this family (its memory file
  // reads fine), so the page is read through the cache, which is empty for it at this point.
  std::string ds1982_page;
  EXPECT_EQ(Ow(owread_path, "/" + OwName(RomOf(0x09)) + "/pages/page.1", ds1982_page), 0);
  EXPECT_EQ(ds1982_page.substr(0, 8), "OTP page");
  // owserver writes full pages (32 printable bytes) on each family.
  const std::string full_a(32, 'A');
  std::string full_b;
  for (int i = 0; i < 32; ++i) full_b += static_cast<char>('a' + i % 26);
  std::string out;
  for (const auto& [rom, page] : {std::pair{dev1993, 15}, {dev1992, 3}, {dev1963, 12}}) {
    const std::string path = "/" + OwName(rom) + "/pages/page." + std::to_string(page);
    ASSERT_EQ(test::RunToEnd({owwrite, "-s", server, path, page == 3 ? full_b : full_a}, out), 0)
        << path << ": " << out;
  }
  owserver->Stop(SIGTERM, 10s);
  owserver.reset();
  // We read what owserver wrote, and write pages of our own.
  const access::Bytes a(full_a.begin(), full_a.end()), b(full_b.begin(), full_b.end());
  WithOurBanks(dev1993, [&](access::PagedMemoryBank& bank) {
    EXPECT_EQ(bank.readPage(15).data, a);
    bank.write(2 * 32, b);
  });
  WithOurBanks(dev1992, [&](access::PagedMemoryBank& bank) {
    EXPECT_EQ(bank.readPage(3).data, b);
    bank.write(0, a);
  });
  WithOurBanks(dev1963, [&](access::PagedMemoryBank& bank) { bank.write(5 * 32, b); });
  // owserver reads what we wrote.
  ASSERT_FALSE(ListDevices().empty()) << Diagnosis();
  EXPECT_EQ(OwPage(dev1993, 2), full_b);
  EXPECT_EQ(OwPage(dev1992, 0), full_a);
  EXPECT_EQ(OwPage(dev1963, 5), full_b);
  EXPECT_EQ(OwPage(dev1963, 12), full_a);
}

}  // namespace
}  // namespace qb

namespace qb {
namespace {

// Thermometers whose scratchpads pass the CRC but hold no reading, on one bus with a sound one and
// one at a real +85 C: owserver's uncached temperatures beside what our library makes of the same
// scratchpads through the same DS2480B emulation.
class OwserverFaultsTest : public OwserverTest {
 protected:
  const std::string power_on = Rom(0x28, 0xF001), held_low = Rom(0x28, 0xF002),
                    real_85 = Rom(0x28, 0xF003), sound = Rom(0x28, 0xF004);
  json BusDevices() const override {
    return {
        // Every conversion lost: the scratchpad keeps its power-on contents, 0550h (+85 C). At
        // 9 bits to keep the test short: owserver converts again on reading +85 C, more than
        // once, before it reports it.
        {{"rom", power_on},
         {"temperature", 21.5},
         {"resolution", 9},
         {"faults", {{"power_on_rate", 1.0}}}},
        // Every block the device sends reads as zeros: 0 C, and a CRC8 of 00 that matches.
        {{"rom", held_low}, {"temperature", 19.0}, {"faults", {{"zeros_rate", 1.0}}}},
        {{"rom", real_85}, {"temperature", 85.0}},
        {{"rom", sound}, {"temperature", 23.0625}},
    };
  }

  // What owserver answers for /uncached/<device>/temperature: its text, or its failure.
  std::string TheirTemperature(const std::string& rom) {
    std::string out;
    const int status = Ow(owread_path, "/uncached/" + OwName(rom) + "/temperature", out);
    return status == 0 ? Trim(out) : "failed (" + std::to_string(status) + "): " + Trim(out);
  }

  // A conversion and its scratchpad read by our library; the scratchpad is taken as a reading
  // only when it is not the DS18B20's power-on contents, told by its reserved bytes as the
  // plug-in's reading does (which converts once more first: with every conversion lost, to the
  // same end).
  struct Ours {
    std::optional<double> celsius;
    std::string refused;
    int64_t crc_errors = 0;
  };
  Ours OurTemperature(const std::string& rom) {
    Ours ours;
    WithOurContainer(rom, [&](access::OneWireContainer& c) {
      try {
        access::DeviceState state = c.readDevice();
        c.doTemperatureConvert(state);
        if (access::DS18B20PowerOnScratchpad(state)) {
          ours.refused = "power-on scratchpad " + access::StateToHex(state);
        } else {
          ours.celsius = c.getTemperature(state);
        }
      } catch (const std::exception& e) {
        ours.refused = e.what();
      }
      ours.crc_errors = c.tally().crc_errors;
    });
    return ours;
  }
};

TEST_F(OwserverFaultsTest, OurReadingRefusesThePowerOnAndHeldLowScratchpadsOwserverReports) {
  ASSERT_EQ(ListDevices().size(), devices.size()) << Diagnosis();
  std::map<std::string, std::string> theirs;
  for (const auto& rom : {power_on, held_low, real_85, sound}) theirs[rom] = TheirTemperature(rom);
  owserver->Stop(SIGTERM, 10s);
  owserver.reset();
  std::map<std::string, Ours> ours;
  for (const auto& rom : {power_on, held_low, real_85, sound}) ours[rom] = OurTemperature(rom);
  for (const auto& rom : {power_on, held_low, real_85, sound}) {
    const Ours& o = ours[rom];
    std::printf("%s  owserver: %s  ours: %s (CRC errors %lld)\n", rom.c_str(), theirs[rom].c_str(),
                o.celsius ? std::to_string(*o.celsius).c_str() : ("none: " + o.refused).c_str(),
                static_cast<long long>(o.crc_errors));
  }

  // No reading from the lost conversion nor from the line held low, where owserver reports the
  // power-on +85 C (after converting again, to no avail) and 0 C.
  EXPECT_EQ(theirs[power_on], "85");
  EXPECT_EQ(theirs[held_low], "0");
  EXPECT_FALSE(ours[power_on].celsius) << *ours[power_on].celsius;
  EXPECT_THAT(ours[power_on].refused, ::testing::HasSubstr("power-on"));
  EXPECT_FALSE(ours[held_low].celsius) << *ours[held_low].celsius;
  EXPECT_GT(ours[held_low].crc_errors, 0);
  // The real +85 C and the sound device, read alike by both.
  ASSERT_TRUE(ours[real_85].celsius) << ours[real_85].refused;
  EXPECT_EQ(*ours[real_85].celsius, 85.0);
  EXPECT_EQ(std::stod(theirs[real_85]), 85.0);
  ASSERT_TRUE(ours[sound].celsius) << ours[sound].refused;
  EXPECT_EQ(*ours[sound].celsius, 23.0625);
  EXPECT_EQ(std::stod(theirs[sound]), *ours[sound].celsius);
}

}  // namespace
}  // namespace qb
