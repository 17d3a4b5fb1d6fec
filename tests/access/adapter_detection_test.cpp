#include "access/masters/adapter_detection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "access/errors.h"
#include "access/provider.h"
#include "sim/bus_file.h"
#include "sim/emulations/emulated_i2c_link.h"
#include "sim/emulations/emulated_serial_link.h"
#include "sim/sim_bus.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

// A serial port whose far end echoes every byte, as a passive adapter with nothing behind it
// does, and keeps what it was sent.
class EchoPort : public access::SerialLink {
 public:
  explicit EchoPort(std::vector<std::string>* record) : record_(record) {}
  void Write(const uint8_t* data, size_t length) override {
    for (size_t i = 0; i < length; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X", data[i]);
      record_->push_back(hex);
      echo_.push_back(data[i]);
    }
  }
  size_t Read(uint8_t* data, size_t length, std::chrono::milliseconds) override {
    const size_t n = std::min(length, echo_.size());
    std::copy_n(echo_.begin(), n, data);
    echo_.erase(echo_.begin(), echo_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  void SendBreak() override { record_->push_back("break"); }
  void SetBaudRate(int) override {}
  void DiscardInput() override { echo_.clear(); }
  std::string Describe() const override { return "echo"; }

 private:
  std::vector<std::string>* record_;
  std::vector<uint8_t> echo_;
};

// Nothing at this address: every transaction goes unacknowledged.
class NoDevice : public access::I2cLink {
 public:
  bool Write(const uint8_t*, size_t) override { return false; }
  bool Read(uint8_t*, size_t) override { return false; }
  bool WriteRead(const uint8_t*, size_t, uint8_t*, size_t) override { return false; }
  std::string Describe() const override { return "nothing"; }
};

TEST(AdapterDetection, FindsEachKindOfAdapterAndNothingElse) {
  test::TempDir dir;
  const std::string dev = dir.str() + "/dev", sys = dir.str() + "/sys";
  fs::create_directories(dev);
  fs::create_directories(sys + "/bus/w1/devices/w1_bus_master2");
  fs::create_directories(sys + "/bus/w1/devices/w1_bus_master1");
  fs::create_directories(sys + "/bus/w1/devices/28-000001234567");  // a slave, not a master
  for (const char* node : {"i2c-1", "i2c-10", "ttyS0", "ttyUSB0", "ttyUSB1", "ttyACM0", "tty0"})
    test::WriteFile(dev + "/" + node, "");

  SimulatedClock clock;
  auto empty = std::make_shared<sim::SimBus>(clock);
  std::map<std::pair<std::string, int>, std::shared_ptr<sim::DS2482Emulator>> bridges = {
      {{dev + "/i2c-1", 0x18},
       std::make_shared<sim::DS2482Emulator>(std::vector<std::shared_ptr<sim::SimBus>>{empty})},
      {{dev + "/i2c-10", 0x1B},
       std::make_shared<sim::DS2482Emulator>(std::vector<std::shared_ptr<sim::SimBus>>(8, empty))},
  };
  auto ds2480b = std::make_shared<sim::DS2480BEmulator>(empty);
  std::map<std::string, std::vector<std::string>> written;
  std::vector<std::string> log;

  access::DetectionOptions options;
  options.dev_root = dev;
  options.sys_root = sys;
  options.list_usb = [] {
    return std::vector<access::FoundAdapter>{{"DS2490", "USB:1:4", "DS2490 USB adapter"}};
  };
  options.open_i2c = [&](const std::string& bus, int address) -> std::unique_ptr<access::I2cLink> {
    if (bus == dev + "/i2c-10" && address == 0x1F)
      throw access::AccessError(access::ErrorCode::GeneralFailure, "I2C",
                                "the I2C address 0x1F is taken by a kernel driver");
    const auto it = bridges.find({bus, address});
    if (it == bridges.end()) return std::make_unique<NoDevice>();
    return std::make_unique<sim::EmulatedI2cLink>(it->second, bus + " address");
  };
  options.open_serial = [&](const std::string& path) -> std::unique_ptr<access::SerialLink> {
    if (path == dev + "/ttyUSB1") return std::make_unique<sim::EmulatedSerialLink>(ds2480b, path);
    if (path == dev + "/ttyACM0")
      throw access::AccessError(access::ErrorCode::GeneralFailure, "SerialPort", "in use");
    return std::make_unique<EchoPort>(&written[path]);
  };
  options.log = [&](const std::string& line) { log.push_back(line); };

  std::vector<std::string> lines;
  for (const auto& a : access::DetectAdapters(options)) lines.push_back(a.type + " " + a.port);
  std::vector<std::string> expected = {"DS2490 USB", "DS2482 " + dev + "/i2c-1:0x18"};
  for (int c = 0; c < 8; ++c)
    expected.push_back("DS2482 " + dev + "/i2c-10:0x1B:" + std::to_string(c));
  expected.insert(expected.end(),
                  {"W1 w1_bus_master1", "W1 w1_bus_master2", "DS9097U " + dev + "/ttyUSB1"});
  EXPECT_EQ(lines, expected);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("kernel driver"), std::string::npos);

  // The bridges were left reset, on their power-up channel.
  EXPECT_EQ(bridges.begin()->second->Channel(), 0);
  // A port that echoed instead of answering like a DS2480B got the probe and nothing more.
  const std::vector<std::string> probe = {"break", "C1", "C1"};
  EXPECT_EQ(written[dev + "/ttyS0"], probe);
  EXPECT_EQ(written[dev + "/ttyUSB0"], probe);

  // Two USB adapters: each listed with a port that opens that one, not the first.
  options.list_usb = [] {
    return std::vector<access::FoundAdapter>{{"DS2490", "USB:1:4", "first"},
                                             {"DS2490", "USB:2:7", "second"}};
  };
  const auto again = access::DetectAdapters(options);
  ASSERT_GE(again.size(), 2u);
  EXPECT_EQ(again[0].port, "USB:1:4");
  EXPECT_EQ(again[1].port, "USB:2:7");
}

TEST(AdapterDetection, StopsWhenItsTimeIsUp) {
  test::TempDir dir;
  for (int n = 0; n < 4; ++n) test::WriteFile(dir.str() + "/ttyUSB" + std::to_string(n), "");
  access::DetectionOptions options;
  options.dev_root = dir.str();
  options.sys_root = dir.str();
  options.list_usb = [] { return std::vector<access::FoundAdapter>{}; };
  options.budget = std::chrono::milliseconds(0);
  int opened = 0;
  options.open_serial = [&](const std::string&) -> std::unique_ptr<access::SerialLink> {
    ++opened;
    return nullptr;
  };
  std::vector<std::string> log;
  options.log = [&](const std::string& line) { log.push_back(line); };
  EXPECT_TRUE(access::DetectAdapters(options).empty());
  EXPECT_EQ(opened, 0);
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log[0].find("ran out of time"), std::string::npos);
}

TEST(AdapterDetection, TheDefaultAdapterIsTheFirstFoundOnlyWithoutADefaultFile) {
  test::TempDir dir;
  const std::string bus = dir.str() + "/bus.json";
  test::WriteFile(bus, R"({"devices": [{"rom": "F8000000000A1028", "temperature": 20}]})");
  SimulatedClock clock;
  access::OneWireAccessProvider provider;
  sim::RegisterSimAdapter(provider, clock);
  provider.SetDefaultAdapterFile(dir.str() + "/missing.ini");
  int detections = 0;
  std::vector<std::string> log;
  provider.SetAdapterDetection(
      [&] {
        ++detections;
        return std::vector<access::FoundAdapter>{{"SIM", bus, "simulated bus"},
                                                 {"DS9097U", "/dev/ttyUSB9", "second"}};
      },
      [&](const std::string& line) { log.push_back(line); });
  auto adapter = provider.openDefaultAdapter();
  EXPECT_EQ(adapter->getPortName(), bus);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("SIM on " + bus), std::string::npos) << log[0];

  // A default adapter file is obeyed as before, without detection.
  test::WriteFile(dir.str() + "/default.ini",
                  "[DefaultAdapter]\nDefaultPortType=SIM\nDefaultPortNum=" + bus + "\n");
  provider.SetDefaultAdapterFile(dir.str() + "/default.ini");
  adapter = provider.openDefaultAdapter();
  EXPECT_EQ(detections, 1);
}

}  // namespace
}  // namespace qb
