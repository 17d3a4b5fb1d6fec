#include "sim/emulations/ds2480b_emulator.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "access/crc.h"
#include "access/rom.h"
#include "platform/clock.h"
#include "sim/bus_file.h"
#include "sim/emulations/emulated_serial_link.h"
#include "sim/emulations/pty_server.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "tools/bus_tool.h"

namespace qb::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Rom(uint8_t family, uint64_t serial) {
  return access::RomId::Make(family, serial).ToString();
}

// The ROM id's bytes as they travel, family code first.
std::string DigitsInWireOrder(const std::string& rom_text) {
  const auto rom = *access::RomId::Parse(rom_text);
  return access::BytesToHexText(rom.bytes.data(), rom.bytes.size());
}

class EmulatorTest : public ::testing::Test {
 protected:
  // An emulator on a bus of these devices, past its timing byte.
  void Build(json devices) {
    bus = BuildBus(json{{"devices", std::move(devices)}}, clock, "test bus");
    emu = std::make_shared<DS2480BEmulator>(bus);
    EXPECT_THAT(emu->Receive({0xC1}), IsEmpty()) << "the timing byte gets no answer";
  }
  Bytes Send(Bytes bytes) { return emu->Receive(bytes); }
  // Writes these bytes in data mode and returns what came back, leaving the emulator in
  // command mode.
  Bytes Data(Bytes bytes) {
    Bytes wire = {0xE1};
    for (uint8_t b : bytes) {
      wire.push_back(b);
      if (b == 0xE3) wire.push_back(0xE3);
    }
    wire.push_back(0xE3);
    return Send(wire);
  }
  // Reset, Skip ROM.
  void Select() {
    EXPECT_THAT(Send({0xC1}), ElementsAre(0xCD));
    EXPECT_THAT(Data({0xCC}), ElementsAre(0xCC));
  }
  Bytes ReadScratchpad() {
    Select();
    Bytes pad = Data({0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    pad.erase(pad.begin());
    EXPECT_EQ(access::Crc8(pad.data(), 8), pad[8]);
    return pad;
  }
  static double Celsius(const Bytes& pad) {
    return static_cast<int16_t>(pad[0] | pad[1] << 8) / 16.0;
  }

  SimulatedClock clock;
  std::shared_ptr<SimBus> bus;
  std::shared_ptr<DS2480BEmulator> emu;
};

TEST_F(EmulatorTest, ResetAnswersPresenceWithTheChipRevisionAndSetsTheSpeed) {
  Build(json::array());
  // 11 0 011 RR: chip revision 3, RR = 11 with nobody on the bus.
  EXPECT_THAT(Send({0xC1}), ElementsAre(0xCF));
  Build({{{"rom", Rom(0x28, 1)}, {"temperature", 20}}});
  EXPECT_THAT(Send({0xC1}), ElementsAre(0xCD));
  EXPECT_EQ(emu->speed(), access::Speed::Regular);
  EXPECT_THAT(Send({0xC5}), ElementsAre(0xCD));
  EXPECT_EQ(emu->speed(), access::Speed::Flex);
  // The DS18B20 has no overdrive: an overdrive reset finds nobody.
  EXPECT_THAT(Send({0xC9}), ElementsAre(0xCF));
  EXPECT_EQ(emu->speed(), access::Speed::Overdrive);

  json shorted = {{"devices", {{{"rom", Rom(0x28, 1)}, {"temperature", 20}}}},
                  {"faults", {{"short", true}}}};
  bus = BuildBus(shorted, clock, "shorted bus");
  emu = std::make_shared<DS2480BEmulator>(bus);
  EXPECT_THAT(Send({0xC1, 0xC1}), ElementsAre(0xCC));
}

TEST_F(EmulatorTest, ConfigurationWritesEchoAndReadsReturnTheValueCode) {
  Build(json::array());
  // Power-up values: 15 V/us, 512 us, 524 ms, 8 us, 3 us, 3.0 mA, 9600 bps.
  const uint8_t defaults[8] = {0, 0, 4, 4, 0, 0, 4, 0};
  for (int p = 1; p <= 7; ++p) {
    const auto read = static_cast<uint8_t>(p << 1 | 1);
    EXPECT_THAT(Send({read}), ElementsAre(defaults[p] << 1)) << "parameter " << p;
  }
  for (int p = 1; p <= 7; ++p) {
    for (int v = 0; v <= 7; ++v) {
      const auto write = static_cast<uint8_t>(p << 4 | v << 1 | 1);
      EXPECT_THAT(Send({write}), ElementsAre(write & 0xFE));
      EXPECT_THAT(Send({static_cast<uint8_t>(p << 1 | 1)}), ElementsAre(v << 1));
      EXPECT_EQ(emu->ParameterValue(p), v);
    }
  }
  // The commands owserver sets up with, each answered with its echo less bit 0.
  EXPECT_THAT(Send({0x17, 0x45, 0x5B, 0x3F, 0x29}), ElementsAre(0x16, 0x44, 0x5A, 0x3E, 0x28));
  for (auto [code, rate] :
       {std::pair{0x71, 9600}, {0x73, 19200}, {0x75, 57600}, {0x77, 115200}, {0x7F, 115200}}) {
    Send({static_cast<uint8_t>(code)});
    EXPECT_EQ(emu->BaudRate(), rate);
  }

  // A break restores every parameter, the mode and the timing byte.
  Send({0xE1});
  emu->Break();
  EXPECT_EQ(emu->mode(), DS2480BEmulator::Mode::Command);
  EXPECT_THAT(Send({0x0F, 0x0F}), ElementsAre(0x00)) << "first byte after a break is the timing";
  EXPECT_THAT(Send({0x07}), ElementsAre(0x08));
}

TEST_F(EmulatorTest, SingleBitAnswersTheBitReadInItsLowTwoBits) {
  Build({{{"rom", Rom(0x28, 1)}, {"temperature", 21.5}}});
  EXPECT_THAT(Send({0x91}), ElementsAre(0x93));  // write 1 / read: nobody pulls low
  EXPECT_THAT(Send({0x81}), ElementsAre(0x80));  // write 0 reads 0
  EXPECT_THAT(Send({0x95}), ElementsAre(0x97));  // flex speed, same answer with its speed bits
  // A converting thermometer answers read slots with 0 until done.
  Select();
  EXPECT_THAT(Data({0x44}), ElementsAre(0x44));
  EXPECT_THAT(Send({0x91}), ElementsAre(0x90));
  clock.Advance(std::chrono::milliseconds(800));
  EXPECT_THAT(Send({0x91}), ElementsAre(0x93));
  EXPECT_DOUBLE_EQ(Celsius(ReadScratchpad()), 21.5);
  // Bytes without bit 0 set are no command: no answer, nothing changes.
  EXPECT_THAT(Send({0x80, 0x90, 0x00}), IsEmpty());
}

// Convert T to a parasite-powered DS18B20, its last bit written with the strong pull-up, as a
// single-bit driver does it.
TEST_F(EmulatorTest, StrongPullupAfterABitPowersAParasiteConversion) {
  Build({{{"rom", Rom(0x28, 1)}, {"temperature", 21.5}, {"power", "parasite"}}});
  auto convert_with_pullup = [&](uint8_t spud) -> Bytes {
    Select();
    EXPECT_THAT(Send({spud}), ElementsAre(spud & 0xFE));
    Bytes answer;
    for (int i = 0; i < 8; ++i) {
      const bool bit = (0x44 >> i) & 1;
      uint8_t command = bit ? 0x91 : 0x81;
      if (i == 7) command |= 0x02;  // strong pull-up after this bit
      for (uint8_t b : Send({command})) answer.push_back(b);
    }
    return answer;
  };
  // 1048 ms covers the 750 ms conversion: the single-bit answer, then the pulse response.
  auto start = clock.MonotonicNow();
  EXPECT_THAT(convert_with_pullup(0x3B),
              ElementsAre(0x80, 0x80, 0x93, 0x80, 0x80, 0x80, 0x93, 0x80, 0xEC));
  EXPECT_EQ(clock.MonotonicNow() - start, std::chrono::milliseconds(1048));
  EXPECT_DOUBLE_EQ(Celsius(ReadScratchpad()), 21.5);

  // 16.4 ms is too short: the device browns out and keeps its power-up 85 °C.
  Build({{{"rom", Rom(0x28, 1)}, {"temperature", 21.5}, {"power", "parasite"}}});
  EXPECT_EQ(convert_with_pullup(0x31).back(), 0xEC);
  EXPECT_DOUBLE_EQ(Celsius(ReadScratchpad()), 85.0);

  // Infinite duration: the pull-up holds until F1, which brings the pulse response.
  Build({{{"rom", Rom(0x28, 1)}, {"temperature", 21.5}, {"power", "parasite"}}});
  EXPECT_EQ(convert_with_pullup(0x3F).size(), 8u);
  EXPECT_TRUE(emu->PulseActive());
  clock.Advance(std::chrono::milliseconds(760));
  EXPECT_THAT(Send({0xF1}), ElementsAre(0xEC));
  EXPECT_FALSE(emu->PulseActive());
  EXPECT_EQ(emu->PowerDelivered(), std::chrono::milliseconds(760));
  EXPECT_DOUBLE_EQ(Celsius(ReadScratchpad()), 21.5);
}

TEST_F(EmulatorTest, PulseCommandsAndThePullupArmedForDataBytes) {
  Build({{{"rom", Rom(0x28, 1)}, {"temperature", -3.25}, {"power", "parasite"}}});
  // Strong pull-up of the configured 524 ms, answered when it ends; the arm flag is bit 1.
  auto start = clock.MonotonicNow();
  EXPECT_THAT(Send({0xED}), ElementsAre(0xEC));
  EXPECT_EQ(clock.MonotonicNow() - start, std::chrono::milliseconds(524));
  EXPECT_FALSE(emu->StrongPullupArmed());
  // Programming pulse (12 V) of the configured 512 us.
  EXPECT_THAT(Send({0xFD}), ElementsAre(0xFC));
  EXPECT_EQ(emu->ProgramPulses(), 1u);
  // F1 with no pulse running does nothing.
  EXPECT_THAT(Send({0xF1}), IsEmpty());

  // Armed, with infinite duration: Convert T as a data byte, the pull-up held until terminated.
  Select();
  EXPECT_THAT(Send({0x3F}), ElementsAre(0x3E));
  Send({0xEF});  // arm (its own pulse runs until the next byte)
  EXPECT_TRUE(emu->StrongPullupArmed());
  EXPECT_THAT(Send({0xF1}), ElementsAre(0xEC));
  EXPECT_THAT(Send({0xE1, 0x44}), ElementsAre(0x44));
  EXPECT_TRUE(emu->PulseActive());
  clock.Advance(std::chrono::seconds(1));
  // Back to command mode, disarm (a pulse of its own) and terminate.
  EXPECT_THAT(Send({0xE3, 0xED, 0xF1}), ElementsAre(0xEC));
  EXPECT_FALSE(emu->StrongPullupArmed());
  EXPECT_DOUBLE_EQ(Celsius(ReadScratchpad()), -3.25);
}

TEST_F(EmulatorTest, DataModeEscapesE3AndSwitchesOnE3AndACommand) {
  Build({{{"rom", Rom(0x28, 1)}, {"temperature", 20}}});
  Select();
  // Write Scratchpad with TH = E3: sent as E3 E3, it reaches the device as one byte.
  EXPECT_THAT(Send({0xE1, 0x4E, 0xE3, 0xE3, 0x10, 0x7F}), ElementsAre(0x4E, 0xE3, 0x10, 0x7F));
  EXPECT_EQ(emu->mode(), DS2480BEmulator::Mode::Data);
  // E3 then a reset command: back in command mode, the reset answered.
  EXPECT_THAT(Send({0xE3, 0xC1}), ElementsAre(0xCD));
  EXPECT_EQ(emu->mode(), DS2480BEmulator::Mode::Command);
  const Bytes pad = ReadScratchpad();
  EXPECT_EQ(pad[2], 0xE3);
  EXPECT_EQ(pad[3], 0x10);
  // An E3 split from its command across two chunks still switches.
  EXPECT_THAT(Send({0xE1, 0xE3}), IsEmpty());
  EXPECT_THAT(Send({0xC1}), ElementsAre(0xCD));
}

// The accelerated search as the datasheet describes it: 16 bytes carry the chosen path in the
// odd bits; the answer gives per ROM bit the discrepancy flag (even) and the path taken (odd).
std::set<std::string> AcceleratedSearch(DS2480BEmulator& emu, int* passes) {
  std::set<std::string> found;
  std::array<bool, 64> path{};
  for (*passes = 0; *passes < 100; ++*passes) {
    if (emu.Receive({0xC1}) != Bytes{0xCD}) break;
    EXPECT_THAT(emu.Receive({0xE1, 0xF0, 0xE3, 0xB1}), ElementsAre(0xF0));
    Bytes request(16, 0);
    for (int n = 0; n < 64; ++n) {
      if (path[static_cast<size_t>(n)])
        request[n / 4] |= static_cast<uint8_t>(1 << (2 * (n % 4) + 1));
    }
    Bytes wire = {0xE1};
    wire.insert(wire.end(), request.begin(), request.end());
    const Bytes answer = emu.Receive(wire);
    emu.Receive({0xE3, 0xA1});
    EXPECT_EQ(answer.size(), 16u);
    if (answer.size() != 16) break;
    access::RomId rom;
    int highest = -1;
    for (int n = 0; n < 64; ++n) {
      const uint8_t pair = answer[n / 4] >> (2 * (n % 4)) & 3;
      const bool taken = pair & 2;
      if (taken) rom.bytes[static_cast<size_t>(n / 8)] |= static_cast<uint8_t>(1 << (n % 8));
      if ((pair & 1) && !taken) highest = n;  // a branch still to take the 1 side of
    }
    EXPECT_TRUE(rom.CrcValid()) << rom.ToString();
    found.insert(rom.ToString());
    if (highest < 0) break;
    // Next pass: the same path up to the highest unexplored branch, then its 1 side.
    for (int n = 0; n < 64; ++n) {
      const uint8_t pair = answer[n / 4] >> (2 * (n % 4)) & 3;
      path[static_cast<size_t>(n)] = n < highest ? (pair & 2) != 0 : n == highest;
    }
  }
  return found;
}

TEST_F(EmulatorTest, SearchAcceleratorFindsEveryDevice) {
  const std::set<std::string> roms = {Rom(0x28, 1), Rom(0x28, 2), Rom(0x10, 0x800000), Rom(0x26, 3),
                                      Rom(0x12, 0xABCDEF)};
  json devices = json::array();
  for (const auto& r : roms) {
    json d = {{"rom", r}};
    if (r.substr(14) != "12") d["temperature"] = 1;
    devices.push_back(d);
  }
  Build(devices);
  int passes = 0;
  EXPECT_EQ(AcceleratedSearch(*emu, &passes), roms);
  EXPECT_EQ(passes, static_cast<int>(roms.size()) - 1);
  EXPECT_FALSE(emu->SearchAccelerator());
}

TEST_F(EmulatorTest, SearchAcceleratorEncodingOfOneDeviceAndOfAnEmptyBus) {
  const std::string rom_text = Rom(0x28, 0x123456);
  Build({{{"rom", rom_text}, {"temperature", 1}}});
  Send({0xC1});
  Send({0xE1, 0xF0, 0xE3, 0xB5, 0xE1});  // accelerator on at flex speed
  EXPECT_TRUE(emu->SearchAccelerator());
  const Bytes answer = Send(Bytes(16, 0xAA));  // prefers 1s, but one device leaves no choice
  const auto rom = *access::RomId::Parse(rom_text);
  ASSERT_EQ(answer.size(), 16u);
  for (int n = 0; n < 64; ++n) {
    const uint8_t pair = answer[n / 4] >> (2 * (n % 4)) & 3;
    const bool bit = rom.bytes[static_cast<size_t>(n / 8)] >> (n % 8) & 1;
    EXPECT_EQ(pair, bit ? 2 : 0) << "bit " << n;
  }

  // Nobody answers: every step reads 1 1, flagged and taken as 1, until the accelerator is off.
  Build(json::array());
  Send({0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1});
  EXPECT_EQ(Send(Bytes(16, 0x00)), Bytes(16, 0xFF));
}

TEST(EmulatedSerialLinkTest, AnswersFaultsAndBaudRates) {
  SimulatedClock clock;
  auto bus = BuildBus(json{{"devices", {{{"rom", Rom(0x28, 1)}, {"temperature", 20}}}}}, clock,
                      "test bus");
  EmulatedSerialLink link(std::make_shared<DS2480BEmulator>(bus));
  uint8_t buf[8];
  auto write = [&](Bytes bytes) { link.Write(bytes.data(), bytes.size()); };
  auto read = [&]() {
    const size_t n = link.Read(buf, sizeof buf, std::chrono::milliseconds(10));
    return Bytes(buf, buf + n);
  };
  write({0xC1, 0xC1, 0x0F});
  EXPECT_THAT(read(), ElementsAre(0xCD, 0x00));

  link.DropAnswerByte(1);
  link.GarbleAnswerByte(2, 0x01);
  write({0xC1, 0xC1, 0xC1, 0xC1});
  EXPECT_THAT(read(), ElementsAre(0xCD, 0xCC, 0xCD));

  // The chip switches to 115200 bps: its answer to that command is lost at 9600, and so is what
  // the host sends before following.
  write({0x77});
  EXPECT_THAT(read(), IsEmpty());
  write({0xC1});
  EXPECT_THAT(read(), IsEmpty());
  link.SetBaudRate(115200);
  write({0x0F, 0xC1});
  EXPECT_THAT(read(), ElementsAre(0x06, 0xCD));

  // A break returns the chip to 9600 bps and the timing byte.
  link.SendBreak();
  link.SetBaudRate(9600);
  write({0xC1, 0xC1});
  EXPECT_THAT(read(), ElementsAre(0xCD));
  write({0xC1});
  link.DiscardInput();
  EXPECT_THAT(read(), IsEmpty());
}

// A program's end of the pseudo-terminal.
class Port {
 public:
  explicit Port(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Port() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Write(const Bytes& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `count` bytes came or nothing more comes for `quiet` milliseconds.
  Bytes Read(size_t count, int quiet = 2000) {
    Bytes got;
    while (got.size() < count) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, quiet) <= 0) break;
      uint8_t buf[64];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  int fd_;
};

Bytes HexLine(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (std::string hex; in >> hex;)
    out.push_back(static_cast<uint8_t>(std::stoi(hex, nullptr, 16)));
  return out;
}

TEST(PtyServerTest, ServesTheEmulationAndRecordsBothWays) {
  test::TempDir dir;
  SimulatedClock clock;
  const std::string rom = Rom(0x28, 0x4242);
  auto bus = BuildBus(json{{"devices", {{{"rom", rom}, {"temperature", 20}}}}}, clock, "bus");
  const std::string link = dir.str() + "/ttyQB";
  const std::string record = dir.str() + "/record.txt";
  {
    PtyServer server(bus, link, record);
    server.Start();
    EXPECT_EQ(std::filesystem::read_symlink(link), server.TerminalPath());
    {
      Port port(link);
      ASSERT_TRUE(port.ok());
      port.Write({0xC1, 0xC1});  // timing byte, then a reset
      EXPECT_THAT(port.Read(1), ElementsAre(0xCD));
      port.Write({0xE1, 0x33, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
      const Bytes read_rom = port.Read(9);
      ASSERT_EQ(read_rom.size(), 9u);
      EXPECT_EQ(access::BytesToHexText(&read_rom[1], 8), DigitsInWireOrder(rom));
    }
    // The port closed and opened again: the adapter powers up, so it wants its timing byte and
    // answers the reset command after it, although it was left in data mode.
    Port port(link);
    port.Write({0xC1, 0xC1});
    EXPECT_THAT(port.Read(2, 300), ElementsAre(0xCD));
    server.Stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  }
  // Every byte, in order, in lines of one direction each.
  Bytes sent, answered;
  int power_ups = 0;
  std::istringstream lines(test::ReadFile(record));
  for (std::string line; std::getline(lines, line);) {
    if (line[0] == '#') {
      ++power_ups;
      continue;
    }
    ASSERT_TRUE(line.rfind("> ", 0) == 0 || line.rfind("< ", 0) == 0) << line;
    const Bytes bytes = HexLine(line.substr(2));
    Bytes& into = line[0] == '>' ? sent : answered;
    into.insert(into.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(power_ups, 1);
  EXPECT_EQ(sent.size(), 14u);
  EXPECT_EQ(answered.size(), 11u);
  EXPECT_EQ(answered.front(), 0xCD);
  EXPECT_EQ(answered.back(), 0xCD);
}

TEST(PtyServerTest, TheLinkPath) {
  test::TempDir dir;
  SimulatedClock clock;
  auto bus = std::make_shared<SimBus>(clock);
  // A stale link from an earlier run is replaced.
  const std::string link = dir.str() + "/tty";
  std::filesystem::create_symlink("/dev/pts/nonexistent", link);
  {
    PtyServer server(bus, link);
    server.Start();
    EXPECT_EQ(std::filesystem::read_symlink(link), server.TerminalPath());
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  // A file that is not a link is left alone, and so the server does not start.
  const std::string file = dir.str() + "/notes.txt";
  test::WriteFile(file, "keep me");
  PtyServer refused(bus, file);
  EXPECT_THROW(refused.Start(), std::runtime_error);
  EXPECT_EQ(test::ReadFile(file), "keep me");
  PtyServer nowhere(bus, dir.str() + "/missing/tty");
  try {
    nowhere.Start();
    ADD_FAILURE() << "started without its link";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("missing/tty"));
  }
}

TEST(ServeCommandTest, ServesUntilSignalledAndReportsErrors) {
  test::TempDir dir;
  const std::string bus = dir.str() + "/bus.json";
  test::WriteFile(bus, json{{"devices", {{{"rom", Rom(0x28, 1)}, {"temperature", 20}}}}}.dump());
  const std::string link = dir.str() + "/ttyQB";
  test::ChildProcess serve({QB_BUS_TOOL_PATH, "serve", "--bus", bus, "--pty", link});
  const std::string line = serve.WaitForLine("serving");
  EXPECT_THAT(line, ::testing::HasSubstr("/dev/pts/"));
  EXPECT_THAT(line, ::testing::HasSubstr(link));
  {
    Port port(link);
    port.Write({0xC1, 0xC1});
    EXPECT_THAT(port.Read(1), ElementsAre(0xCD));
  }
  EXPECT_EQ(serve.Stop(SIGINT), 0) << serve.output();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

  auto run = [](std::vector<std::string> args, std::string& err) {
    SimulatedClock clock;
    std::ostringstream out, errors;
    const int status = RunBusTool(args, out, errors, clock);
    err = errors.str();
    return status;
  };
  std::string err;
  EXPECT_EQ(run({"serve", "--bus", dir.str() + "/none.json", "--pty", link}, err), 1);
  EXPECT_THAT(err, ::testing::HasSubstr("none.json"));
  EXPECT_EQ(run({"serve", "--bus", bus, "--pty", dir.str() + "/no/such/dir/tty"}, err), 1);
  EXPECT_THAT(err, ::testing::HasSubstr("no/such/dir/tty"));
  EXPECT_EQ(run({"serve", "--bus", bus}, err), 2);
  EXPECT_EQ(run({"search", "--pty", link}, err), 2);
  EXPECT_EQ(run({"serve", "--bus", bus, "--pty", link, "--adapter", "SIM", "--port", bus}, err), 2);
}

}  // namespace
}  // namespace qb::sim
