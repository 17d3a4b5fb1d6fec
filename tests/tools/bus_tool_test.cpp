#include "tools/bus_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "access/rom.h"
#include "platform/clock.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun Tool(const std::vector<std::string>& args) {
  SimulatedClock clock;
  std::ostringstream out, err;
  const int status = RunBusTool(args, out, err, clock);
  return {status, out.str(), err.str()};
}

std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> kv;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

std::vector<double> NumbersOf(const std::string& text) {
  std::vector<double> v;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) v.push_back(std::stod(item));
  return v;
}

class BusToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devices = {
        {{"rom", Rom(0x28, 1)},
         {"temperature", 21.5},
         {"alarm_low", -5},
         {"alarm_high", 40},
         {"resolution", 12}},
        {{"rom", Rom(0x22, 2)}, {"temperature", -10.125}},
        {{"rom", Rom(0x10, 3)}, {"temperature", 25.0625}},
        {{"rom", Rom(0x26, 4)},
         {"temperature", 23.25},
         {"vdd", 5.0},
         {"vad", 2.37},
         {"vsense_mv", 12.5}},
        {{"rom", Rom(0x20, 5)}, {"inputs", {0.5, 1.25, 2.0, 0.0}}},
        {{"rom", Rom(0x1D, 6)}, {"counters", {7, 0, 1234567, 42}}},
        {{"rom", Rom(0x12, 7)}, {"latches", {true, false}}, {"levels", {false, true}}},
        {{"rom", Rom(0x05, 8)}, {"latches", {false}}, {"levels", {true}}},
        {{"rom", Rom(0x2C, 9)}, {"wiper", 200}},
    };
    file = (dir.path() / "bus.json").string();
    test::WriteFile(file, json{{"devices", devices}}.dump(2));
  }
  static std::string Rom(uint8_t family, uint64_t serial) {
    return access::RomId::Make(family, serial * 0x10101).ToString();
  }
  std::vector<std::string> Args(std::vector<std::string> rest) {
    std::vector<std::string> args = {"--adapter", "SIM", "--port", file};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }

  test::TempDir dir;
  std::string file;
  json devices;
};

TEST_F(BusToolTest, SearchListsExactlyTheDevicesOfTheFile) {
  ToolRun r = Tool(Args({"search"}));
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> found, expected;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) found.insert(line);
  for (const auto& d : devices) expected.insert(d["rom"].get<std::string>());
  EXPECT_EQ(found, expected);
  r = Tool(Args({"search", "--family", "28"}));
  EXPECT_EQ(r.out, devices[0]["rom"].get<std::string>() + "\n");
}

TEST_F(BusToolTest, ReadGivesBackTheValuesOfTheFile) {
  for (const auto& d : devices) {
    const std::string rom = d["rom"].get<std::string>();
    ToolRun r = Tool(Args({"read", rom}));
    ASSERT_EQ(r.status, 0) << rom << ": " << r.err;
    const auto kv = KeyValues(r.out);
    for (const auto& [key, value] : d.items()) {
      if (key == "rom") continue;
      ASSERT_TRUE(kv.count(key)) << rom << " did not report " << key << "\n" << r.out;
      if (value.is_array()) {
        if (value[0].is_boolean()) {
          std::string expected;
          for (const auto& b : value)
            expected +=
                (expected.empty() ? "" : ",") + std::string(b.get<bool>() ? "true" : "false");
          EXPECT_EQ(kv.at(key), expected) << rom << " " << key;
        } else {
          const auto got = NumbersOf(kv.at(key));
          ASSERT_EQ(got.size(), value.size()) << rom << " " << key;
          for (size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(got[i], value[i].get<double>(), 0.01) << rom << " " << key << i;
        }
      } else {
        // Each value to the device's own resolution (the current sense register steps 0.2441 mV).
        EXPECT_NEAR(std::stod(kv.at(key)), value.get<double>(), key == "vsense_mv" ? 0.25 : 0.005)
            << rom << " " << key;
      }
    }
  }
}

// Families without a reading of their own in the tool are read by what the catalogue says they
// have: a thermometer's values, a switch's latches and levels, or both.
TEST_F(BusToolTest, ReadFollowsTheCatalogueForTheSwitchAndChainFamilies) {
  const json more = {
      {{"rom", Rom(0x3A, 10)}, {"latches", {true, false}}, {"levels", {true, false}}},
      {{"rom", Rom(0x29, 11)},
       {"latches", {false, false, false, false, false, false, false, true}},
       {"levels", {true, true, true, false, true, true, true, true}}},
      {{"rom", Rom(0x42, 12)},
       {"temperature", 19.75},
       {"latches", {false, false}},
       {"levels", {false, true}}}};
  test::WriteFile(file, json{{"devices", more}}.dump());
  const std::map<std::string, std::string> expected[] = {
      {{"latches", "true,false"}, {"levels", "false,false"}},  // a conducting output reads low
      {{"latches", "false,false,false,false,false,false,false,true"},
       {"levels", "true,true,true,false,true,true,true,false"}},
      {{"temperature", "19.75"}, {"latches", "false,false"}, {"levels", "false,true"}}};
  for (size_t i = 0; i < more.size(); ++i) {
    const std::string rom = more[i]["rom"];
    ToolRun r = Tool(Args({"read", rom}));
    ASSERT_EQ(r.status, 0) << rom << ": " << r.err;
    const auto kv = KeyValues(r.out);
    for (const auto& [key, value] : expected[i]) {
      ASSERT_TRUE(kv.count(key)) << rom << " did not report " << key << "\n" << r.out;
      EXPECT_EQ(kv.at(key), value) << rom << " " << key;
    }
  }
}

// The DS18S20's finer reading below zero, where whole degrees round towards minus infinity, and
// at both ends of its range.
TEST_F(BusToolTest, Ds18s20ReadsToTheSixteenthBelowZero) {
  const double temperatures[] = {-55, -10.5, -5.625, -0.3125, -0.0625, 0, 85, 125};
  json bus = json::array();
  for (size_t i = 0; i < std::size(temperatures); ++i)
    bus.push_back({{"rom", Rom(0x10, 20 + i)}, {"temperature", temperatures[i]}});
  test::WriteFile(file, json{{"devices", bus}}.dump());
  for (const auto& d : bus) {
    ToolRun r = Tool(Args({"read", d["rom"]}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::stod(KeyValues(r.out).at("temperature")), d["temperature"].get<double>())
        << r.out;
  }
}

TEST_F(BusToolTest, InfoAndErrors) {
  ToolRun r = Tool(Args({"info", devices[0]["rom"].get<std::string>()}));
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("name=DS18B20\n"));
  EXPECT_THAT(r.out, HasSubstr("description="));

  r = Tool({"--adapter", "DS9490", "--port", "USB7", "search"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("DS9490"));
  EXPECT_THAT(r.err, HasSubstr("USB7"));
  EXPECT_EQ(Tool(Args({"read", "NOTAROM"})).status, 2);
  EXPECT_EQ(Tool(Args({"fly"})).status, 2);
  EXPECT_EQ(Tool(Args({"search", "--family", "2"})).status, 2);
  r = Tool(Args({"read", access::RomId::Make(0x28, 999).ToString()}));
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("is not on the bus"));
  EXPECT_THAT(Tool({"--help"}).out, HasSubstr("search [--alarm] [--family FF]"));
}

// A DS18B20 whose every conversion is lost holds its power-on 85: no reading, and an error that
// says so; a real 85 beside it reads as 85.
TEST_F(BusToolTest, ALostConversionIsNoReadingARealEightyFiveIs) {
  const json bus = json::array(
      {{{"rom", Rom(0x28, 40)}, {"temperature", 21.5}, {"faults", {{"power_on_rate", 1.0}}}},
       {{"rom", Rom(0x28, 41)}, {"temperature", 85.0}}});
  test::WriteFile(file, json{{"devices", bus}}.dump());
  ToolRun lost = Tool(Args({"read", bus[0]["rom"]}));
  EXPECT_EQ(lost.status, 1) << lost.out;
  EXPECT_THAT(lost.err, HasSubstr("power-on value"));
  EXPECT_THAT(lost.out, Not(HasSubstr("temperature=")));
  ToolRun real = Tool(Args({"read", bus[1]["rom"]}));
  ASSERT_EQ(real.status, 0) << real.err;
  EXPECT_EQ(KeyValues(real.out).at("temperature"), "85") << real.out;
}

// A DS2450 reads at its inputs' ranges (2.56 V after power-on) and says when an input sits at the
// top of one; asked for the 5.12 V range, it sets it on the device and reads the higher inputs.
TEST_F(BusToolTest, Ds2450ReadsAtTheRangeAskedFor) {
  const std::string rom = Rom(0x20, 30);
  test::WriteFile(file,
                  json{{"devices", {{{"rom", rom}, {"inputs", {4.0, 1.25, 5.1, 0.0}}}}}}.dump());
  ToolRun r = Tool(Args({"read", rom}));
  ASSERT_EQ(r.status, 0) << r.err;
  auto kv = KeyValues(r.out);
  EXPECT_EQ(kv["ranges"], "2.56,2.56,2.56,2.56");
  auto inputs = NumbersOf(kv["inputs"]);
  ASSERT_EQ(inputs.size(), 4u);
  EXPECT_NEAR(inputs[0], 2.55, 0.011);
  EXPECT_NEAR(inputs[1], 1.25, 0.011);
  EXPECT_THAT(r.err,
              HasSubstr("input A is at the top of its 2.56 V range; read with --range 5.12"));
  EXPECT_THAT(r.err, HasSubstr("input C is at the top"));
  EXPECT_THAT(r.err, ::testing::Not(HasSubstr("input B")));

  r = Tool(Args({"read", rom, "--range", "5.12"}));
  ASSERT_EQ(r.status, 0) << r.err;
  kv = KeyValues(r.out);
  EXPECT_EQ(kv["ranges"], "5.12,5.12,5.12,5.12");
  inputs = NumbersOf(kv["inputs"]);
  ASSERT_EQ(inputs.size(), 4u);
  const double expected[] = {4.0, 1.25, 5.1, 0.0};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(inputs[i], expected[i], 0.021) << i;
  EXPECT_EQ(r.err, "");

  EXPECT_EQ(Tool(Args({"read", rom, "--range", "3"})).status, 2);
  EXPECT_EQ(Tool(Args({"search", "--range", "5.12"})).status, 2);
  test::WriteFile(file, json{{"devices", devices}}.dump());
  r = Tool(Args({"read", devices[0]["rom"].get<std::string>(), "--range", "5.12"}));
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("--range is for a DS2450"));
}

// Every device of the demo bus reads something, and no value carries the noise of the unit
// conversions (the battery's current is 1.25 mV over 25 mOhm).
TEST_F(BusToolTest, EveryDemoDeviceReadsCleanValues) {
  std::string bus_text;
  {
    std::ifstream in(QB_DEMO_BUS);
    bus_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Kept in a variable: a range over a member of the temporary would outlive it.
  const json bus = json::parse(bus_text);
  for (const auto& d : bus["devices"]) {
    const std::string rom = d["rom"].get<std::string>();
    ToolRun r = Tool({"--adapter", "SIM", "--port", QB_DEMO_BUS, "read", rom});
    ASSERT_EQ(r.status, 0) << rom << ": " << r.err;
    EXPECT_NE(r.out, "") << rom << " printed nothing";
    for (const auto& [key, value] : KeyValues(r.out)) {
      const auto point = value.find('.');
      if (point == std::string::npos || key == "date") continue;
      const auto end = value.find_first_not_of("0123456789", point + 1);
      EXPECT_LE((end == std::string::npos ? value.size() : end) - point - 1, 6u)
          << rom << " " << key << "=" << value;
    }
    if (rom == "6900000000000C30") {
      EXPECT_EQ(KeyValues(r.out)["current"], "0.05") << r.out;
    }
    if (rom == "C400000000000D06") {
      EXPECT_EQ(KeyValues(r.out)["memory_bytes"], "512") << r.out;
      EXPECT_EQ(KeyValues(r.out)["files"], "NOTE.1") << r.out;
    }
    if (rom == "3600000000090B01") {
      EXPECT_EQ(r.out, "present=true\n");
    }
  }
}

TEST_F(BusToolTest, TheProgramRunsOnTheDemoBus) {
  std::string out;
  ASSERT_EQ(test::RunToEnd({QB_BUS_TOOL_PATH, "--adapter", "SIM", "--port", file, "search"}, out),
            0)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(devices.size()));
  ASSERT_EQ(
      test::RunToEnd({QB_BUS_TOOL_PATH, "--adapter", "SIM", "--port", QB_DEMO_BUS, "search"}, out),
      0)
      << out;
  EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 10);
}

// The same bus served as a passive DS9097E adapter on a pseudo-terminal: the tool finds and reads
// through the real serial protocol exactly what it reads from the simulator directly.
TEST_F(BusToolTest, APassiveAdapterReadsWhatTheSimulatorReads) {
  const std::string link = dir.str() + "/ttyDS9097E";
  test::ChildProcess serve({QB_BUS_TOOL_PATH, "serve", "--bus", file, "--passive", "--pty", link});
  EXPECT_THAT(serve.WaitForLine("serving"), HasSubstr("passive"));
  auto passive = [&](std::vector<std::string> rest) {
    std::vector<std::string> args = {"--adapter", "DS9097E", "--port", link};
    args.insert(args.end(), rest.begin(), rest.end());
    return Tool(args);
  };
  ToolRun ours = passive({"search"});
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(ours.out, Tool(Args({"search"})).out);
  for (const auto& d : devices) {
    const std::string rom = d["rom"].get<std::string>();
    ours = passive({"read", rom});
    if (rom.substr(14) == "20") {
      // The DS2450 here draws its conversion power from the bus (its VCC is not reported
      // powered): without a strong pull-up it cannot convert, the read fails instead of showing
      // 0 V, and the user is told why.
      EXPECT_NE(ours.status, 0) << ours.out;
      EXPECT_THAT(ours.err, HasSubstr("cannot give a strong pull-up")) << ours.out;
      EXPECT_THAT(ours.err, HasSubstr("the conversion did not run")) << ours.out;
      continue;
    }
    ASSERT_EQ(ours.status, 0) << rom << ": " << ours.err;
    EXPECT_EQ(ours.out, Tool(Args({"read", rom})).out) << rom;
  }
  EXPECT_EQ(serve.Stop(SIGINT), 0) << serve.output();

  // The demo bus lists the same devices both ways.
  test::ChildProcess demo(
      {QB_BUS_TOOL_PATH, "serve", "--bus", QB_DEMO_BUS, "--passive", "--pty", link});
  demo.WaitForLine("serving");
  ours = passive({"search"});
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(ours.out, Tool({"--adapter", "SIM", "--port", QB_DEMO_BUS, "search"}).out);
  EXPECT_EQ(demo.Stop(SIGINT), 0) << demo.output();

  EXPECT_THAT(Tool({"serve", "--passive"}).err, HasSubstr("--bus FILE"));
  EXPECT_THAT(Tool({"search", "--passive"}).err, HasSubstr("belong to serve"));
}

// The same bus behind an emulated DS2482 on an emulated /dev/i2c-1: the tool, run unmodified
// under `serve --ds2482`, reads through the bridge's I2C commands what it reads from the
// simulator directly, on a DS2482-100 and on channel 6 of a DS2482-800.
TEST_F(BusToolTest, ADS2482ReadsWhatTheSimulatorReads) {
  const std::string script = dir.str() + "/read_all.sh";
  std::string expected, commands = "set -e\n";
  for (const auto& d : devices) {
    const std::string rom = d["rom"].get<std::string>();
    commands += "echo == " + rom +
                "\n\"" QB_BUS_TOOL_PATH "\" --adapter DS2482 --port \"$1\" read " + rom + "\n";
    expected += "== " + rom + "\n" + Tool(Args({"read", rom})).out;
  }
  test::WriteFile(script, commands);
  std::string out;
  ASSERT_EQ(test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", file, "--ds2482", "--", "sh",
                            script, "/dev/i2c-1:0x18"},
                           out),
            0)
      << out;
  EXPECT_THAT(out, HasSubstr("serving"));
  EXPECT_THAT(out, HasSubstr(expected));

  const std::string rom = devices[8]["rom"].get<std::string>();  // the potentiometer
  ASSERT_EQ(test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", file, "--ds2482", "--channels", "8",
                            "--", "sh", "-c",
                            "\"$0\" --adapter DS2482 --port /dev/i2c-1:0x18:6 search && \"$0\" "
                            "--adapter DS2482 --port /dev/i2c-1:0x18:6 read " +
                                rom,
                            QB_BUS_TOOL_PATH},
                           out),
            0)
      << out;
  EXPECT_THAT(out, HasSubstr(Tool(Args({"search"})).out + Tool(Args({"read", rom})).out));

  // Adapter detection finds the emulated bridge, a line per channel, and nothing else.
  ASSERT_EQ(test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", file, "--ds2482", "--channels", "8",
                            "--", QB_BUS_TOOL_PATH, "adapters"},
                           out),
            0)
      << out;
  std::vector<std::string> listed;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("quellbrook-bus: ", 0) != 0) listed.push_back(line.substr(0, line.find("  ")));
  std::vector<std::string> channels;
  for (int c = 0; c < 8; ++c) channels.push_back("DS2482 /dev/i2c-1:0x18:" + std::to_string(c));
  EXPECT_EQ(listed, channels) << out;

  // The command's failure is the tool's, and a wrong address is refused by the bridge's bus.
  EXPECT_NE(
      test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", file, "--ds2482", "--", QB_BUS_TOOL_PATH,
                      "--adapter", "DS2482", "--port", "/dev/i2c-1:0x19", "search"},
                     out),
      0);
  EXPECT_THAT(out, HasSubstr("0x19"));
  EXPECT_THAT(Tool({"serve", "--ds2482", "--bus", file}).err, HasSubstr("-- COMMAND"));
  // Whatever the adapter served, serve reads no device: a ROM id or a device option is refused.
  for (const char* mode : {"--ds2482", "--w1", "--ds2490"}) {
    EXPECT_THAT(Tool({"serve", "--bus", file, mode, "28E2010000000094", "--", "true"}).err,
                HasSubstr("serve takes no ROM id"))
        << mode;
    EXPECT_THAT(Tool({"serve", "--bus", file, mode, "--port", "x", "--", "true"}).err,
                HasSubstr("serve takes no ROM id, --adapter, --port"))
        << mode;
  }
  EXPECT_THAT(Tool({"serve", "--bus", file, "--ds2482", "--channels", "4", "--", "true"}).err,
              HasSubstr("--channels takes 1"));
}

// The same buses served as an emulated DS9490R (USB): the tool, run under the emulation, finds and
// reads through the DS2490's own commands what it reads from the simulator directly; its search
// also lists the adapter's own ID chip (family 81). The DS2450 converts here: the adapter has a
// strong pull-up.
TEST_F(BusToolTest, TheUsbAdapterReadsWhatTheSimulatorReads) {
  for (const std::string& bus : {file, std::string(QB_DEMO_BUS)}) {
    const std::string tool = std::string(QB_BUS_TOOL_PATH) + " --adapter DS2490 --port USB ";
    std::string script = tool + "search";
    std::vector<std::string> roms;
    std::istringstream listed(Tool({"--adapter", "SIM", "--port", bus, "search"}).out);
    for (std::string rom; std::getline(listed, rom);) {
      roms.push_back(rom);
      script += "; echo @@" + rom + "; " + tool + "read " + rom;
    }
    std::string out;
    ASSERT_EQ(test::RunToEnd({QB_BUS_TOOL_PATH, "serve", "--bus", bus, "--ds2490", "--", "/bin/sh",
                              "-c", script},
                             out),
              0)
        << out;
    // Each device's lines after its marker, up to the next.
    std::map<std::string, std::string> reads;
    std::string search, current;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("quellbrook-bus: serving", 0) == 0) continue;
      if (line.rfind("@@", 0) == 0) {
        current = line.substr(2);
      } else if (current.empty()) {
        search += line + "\n";
      } else {
        reads[current] += line + "\n";
      }
    }
    EXPECT_THAT(search, HasSubstr("500000001B249081\n")) << "the adapter's ID chip";
    for (const auto& rom : roms) {
      EXPECT_THAT(search, HasSubstr(rom + "\n"));
      // The demo bus's values move with time (and its clocks run): only the search is compared.
      if (bus == file) {
        EXPECT_EQ(reads[rom], Tool({"--adapter", "SIM", "--port", bus, "read", rom}).out) << rom;
      }
    }
  }
}

}  // namespace
}  // namespace qb
