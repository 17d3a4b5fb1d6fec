// Runs the real program and talks to it over HTTP, as a user would.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "access/rom.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using ::testing::HasSubstr;

const std::string kProgram = QB_PROGRAM_PATH;

std::vector<std::string> Args(const TempDir& dir, const std::string& app,
                              const std::string& http = "127.0.0.1:0") {
  return {kProgram,     "--standalone",
          "--app-dir",  (dir.path() / app).string(),
          "--settings", (dir.path() / "settings.ini").string(),
          "--http",     http};
}

// Writes a bus file of these devices and settings that poll it every 3 seconds.
void UseSimulatedBus(const TempDir& dir, const nlohmann::json& devices) {
  WriteFile(dir.path() / "bus.json", nlohmann::json{{"devices", devices}}.dump());
  WriteFile(
      dir.path() / "settings.ini",
      "[Settings]\nIntType=SIM\nIntPort=" + (dir.path() / "bus.json").string() + "\nPollCycle=3\n");
}

int PortOf(const std::string& line) {
  std::smatch m;
  if (!std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/"))) return 0;
  return std::stoi(m[1]);
}

TEST(Program, HelpAndBadCommandLines) {
  std::string out;
  EXPECT_EQ(RunToEnd({kProgram, "--help"}, out), 0);
  for (const char* flag :
       {"--standalone", "--app-dir", "--settings", "--http", "--help", "--version"}) {
    EXPECT_THAT(out, HasSubstr(flag));
  }
  EXPECT_EQ(RunToEnd({kProgram, "--standalone", "--frobnicate"}, out), 2);
  EXPECT_EQ(out, "quellbrook-1wire: unknown option \"--frobnicate\" (see --help)\n");
  EXPECT_EQ(RunToEnd({kProgram, "--standalone", "--app-dir", "/proc/1/no-such-folder"}, out), 1);
  EXPECT_THAT(out, HasSubstr("cannot use the host folder"));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST(Program, ServesPagesAndTheApiAndStopsCleanly) {
  TempDir dir;
  ChildProcess program(Args(dir, "app"));
  const int port = PortOf(program.WaitForLine("Web pages: "));
  ASSERT_GT(port, 0) << program.output();

  test::HttpClient client("127.0.0.1", port);
  auto devices = client.Get("/api/devices");
  ASSERT_TRUE(devices);
  EXPECT_EQ(devices->status, 200);
  EXPECT_TRUE(nlohmann::json::parse(devices->body).is_array());
  auto page = client.Get("/1-Wire");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_THAT(page->body, HasSubstr("<font size=\"5\">Quellbrook 1-Wire Interface</a></font>"));
  auto log = client.Get("/api/log?tail=50");
  EXPECT_THAT(log->body, HasSubstr("Register callback completed"));

  // A second program on the same host folder ends at once; one on the same port cannot listen.
  std::string out;
  EXPECT_EQ(RunToEnd(Args(dir, "app"), out), 1);
  EXPECT_THAT(out, HasSubstr("already running"));
  EXPECT_EQ(RunToEnd(Args(dir, "other", "127.0.0.1:" + std::to_string(port)), out), 1);
  EXPECT_THAT(out, HasSubstr("cannot listen on 127.0.0.1:" + std::to_string(port)));

  EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();
  EXPECT_THAT(ReadFile(dir.path() / "app" / "quellbrook-1wire.log"), HasSubstr("\tHost\tStopped"));
}

TEST(Program, RefusesTheNetworkWithoutUsersAndReportsABrokenSettingsFile) {
  TempDir dir;
  std::string out;
  EXPECT_EQ(RunToEnd(Args(dir, "app", "0.0.0.0:0"), out), 1);
  EXPECT_THAT(out, HasSubstr("refusing to serve 0.0.0.0 without web users"));

  WriteFile(dir.path() / "settings.ini", "[Settings]\nthis is not a setting\n");
  ChildProcess program(Args(dir, "app"));
  EXPECT_THAT(program.WaitForLine("1-Wire I/F ERROR:"), HasSubstr("moved to"));
  ASSERT_NE(program.WaitForLine("Web pages: "), "");
  EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();
  bool kept = false;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    kept |= e.path().filename().string().rfind("settings.ini.broken-", 0) == 0;
  }
  EXPECT_TRUE(kept);
}

TEST(Program, PollsTheSimulatedBusOrStaysIdleWithABadAdapter) {
  TempDir dir;
  WriteFile(dir.path() / "settings.ini",
            std::string("[Settings]\nIntType=SIM\nIntPort=") + QB_DEMO_BUS + "\n");
  {
    ChildProcess program(Args(dir, "app"));
    EXPECT_THAT(program.WaitForLine("Adapter: SIM Port: "), HasSubstr(QB_DEMO_BUS));
    EXPECT_NE(program.WaitForLine("Polling devices begins..."), "") << program.output();
    EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();
  }
  WriteFile(dir.path() / "settings.ini", "[Settings]\nIntType=DS9999X\nIntPort=4\n");
  ChildProcess program(Args(dir, "app"));
  const int port = PortOf(program.WaitForLine("Web pages: "));
  EXPECT_THAT(program.WaitForLine("1-Wire I/F ERROR:"), HasSubstr("DS9"));
  test::HttpClient client("127.0.0.1", port);
  auto devices = client.Get("/api/devices");  // still serving, so the user can mend the settings
  ASSERT_TRUE(devices);
  EXPECT_EQ(devices->status, 200);
  EXPECT_EQ(program.WaitForLine("Polling devices begins...", std::chrono::seconds(3)), "");
  EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();
}

TEST(Program, ReadingsOfTheSimulatedBusReachTheHostDevices) {
  TempDir dir;
  const std::string t1 = "2900000000000128", t2 = "7000000000000228";  // two DS18B20s
  const std::string counter = access::RomId::Make(0x1D, 7).ToString();
  UseSimulatedBus(dir, {{{"rom", t1}, {"temperature", 21.5}},
                        {{"rom", t2}, {"temperature", -3.25}, {"alarm_low", 0}},
                        {{"rom", counter}, {"counters", {10, 20, 30, 40}}}});
  // An event of the host on the plug-in's alarm condition of the thermometer below its limit.
  std::filesystem::create_directories(dir.path() / "app");
  WriteFile(
      dir.path() / "app" / "events.json",
      nlohmann::json{{"events",
                      {{{"name", "Freezing"},
                        {"trigger",
                         {{"condition",
                           {"1-Wire Temperature Alarm", "Unknown " + t2 + "-Temp", "Under Temp"}}}},
                        {"actions", {{{"log", "below the low limit"}}}}}}}}
          .dump());
  ChildProcess program(Args(dir, "app"));
  const int port = PortOf(program.WaitForLine("Web pages: "));
  ASSERT_NE(program.WaitForLine("Polling devices begins..."), "");
  test::HttpClient client("127.0.0.1", port);
  std::map<std::string, std::string> shown;
  for (int attempt = 0; attempt < 40 && shown.size() < 6; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto res = client.Get("/api/devices");
    ASSERT_TRUE(res);
    shown.clear();
    for (const auto& d : nlohmann::json::parse(res->body)) {
      if (!d["string"].get<std::string>().empty())
        shown[d["name"].get<std::string>()] = d["string"].get<std::string>();
    }
  }
  EXPECT_EQ(shown[t1 + "-Temp"], "21.500\u00BAC");
  EXPECT_EQ(shown[t2 + "-Temp"], "-3.250\u00BAC");
  EXPECT_EQ(shown[counter + "-Counter0"], "10");
  EXPECT_EQ(shown[counter + "-Counter3"], "40");
  EXPECT_NE(program.WaitForLine("below the low limit"), "") << program.output();
  // Logged each cycle while it lasts (its value as last shown: the scan may see the alarm first).
  EXPECT_THAT(program.WaitForLine("1-Wire Device Alarm"),
              HasSubstr("Unknown " + t2 + "-Temp Value= "))
      << program.output();
  EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();

  // The devices survive a restart and are adopted again: no second set is created.
  ChildProcess again(Args(dir, "app"));
  const int port2 = PortOf(again.WaitForLine("Web pages: "));
  ASSERT_NE(again.WaitForLine("Polling devices begins..."), "");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  test::HttpClient client2("127.0.0.1", port2);
  EXPECT_EQ(nlohmann::json::parse(client2.Get("/api/devices")->body).size(), 6u);
  EXPECT_EQ(again.Stop(SIGTERM), 0) << again.output();
}

TEST(Program, AnOffCommandSwitchesTheSimulatedSwitch) {
  TempDir dir;
  const std::string sw = access::RomId::Make(0x12, 21).ToString();
  UseSimulatedBus(dir, {{{"rom", sw}, {"latches", {true, false}}, {"levels", {false, true}}}});
  ChildProcess program(Args(dir, "app"));
  const int port = PortOf(program.WaitForLine("Web pages: "));
  ASSERT_NE(program.WaitForLine("Polling devices begins..."), "");
  test::HttpClient client("127.0.0.1", port);
  auto find_switch = [&]() -> nlohmann::json {
    for (const auto& d : nlohmann::json::parse(client.Get("/api/devices")->body)) {
      if (d["name"] == sw + "-Switch0") return d;
    }
    return nullptr;
  };
  nlohmann::json device;
  for (int attempt = 0; attempt < 40 && (device.is_null() || device["string"] != "On"); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    device = find_switch();
  }
  ASSERT_FALSE(device.is_null()) << program.output();
  ASSERT_EQ(device["string"], "On");
  auto res = client.Post("/api/devices/" + std::to_string(device["ref"].get<int>()) + "/command",
                         R"({"command": "Off"})", "application/json");
  ASSERT_EQ(res->status, 200);
  for (int attempt = 0; attempt < 20 && device["string"] != "Off"; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    device = find_switch();
  }
  EXPECT_EQ(device["string"], "Off");
  EXPECT_EQ(device["Status"], 3);
  EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();
}

// The device of this name in the API's list; null when there is none.
nlohmann::json DeviceNamed(test::HttpClient& client, const std::string& name) {
  auto res = client.Get("/api/devices");
  if (!res || res->status != 200) return nullptr;
  for (const auto& d : nlohmann::json::parse(res->body)) {
    if (d["name"] == name) return d;
  }
  return nullptr;
}

TEST(Program, CommandsWhilePollingTheDemoBusAndARenameReachTheList) {
  TempDir dir;
  WriteFile(dir.path() / "settings.ini",
            std::string("[Settings]\nIntType=SIM\nIntPort=") + QB_DEMO_BUS + "\nPollCycle=1\n");
  ChildProcess program(Args(dir, "app"));
  const int port = PortOf(program.WaitForLine("Web pages: "));
  ASSERT_NE(program.WaitForLine("Polling devices begins..."), "");
  test::HttpClient client("127.0.0.1", port);
  const std::string name = "4800000000066912-Switch0";
  nlohmann::json sw;
  for (int attempt = 0; attempt < 60 && sw.is_null(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sw = DeviceNamed(client, name);
  }
  ASSERT_FALSE(sw.is_null()) << program.output();
  const std::string ref = std::to_string(sw["ref"].get<int>());

  // Commands 0.25 s apart with pages in between, while the bus is scanned and read.
  std::string last;
  for (int i = 0; i < 60; ++i) {
    last = i % 2 ? "Off" : "On";
    auto res = client.Post("/api/devices/" + ref + "/command", "{\"command\": \"" + last + "\"}",
                           "application/json");
    ASSERT_TRUE(res) << "no answer to command " << i << "\n" << program.output();
    EXPECT_EQ(res->status, 200);
    ASSERT_TRUE(client.Get(i % 3 ? "/1-Wire" : "/1-Wire?PAGE=0"));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  for (int attempt = 0; attempt < 20 && sw["string"] != last; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sw = DeviceNamed(client, name);
  }
  EXPECT_EQ(sw["string"], last);

  // A rename through the API shows in the device list on the next page load.
  auto res = client.Patch("/api/devices/" + ref, R"({"name": "Garage door", "Location": "Yard"})",
                          "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_THAT(client.Get("/1-Wire")->body, HasSubstr("Yard Garage door"));
  EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();
}

TEST(Program, TheReadmeStepsTurnAHumiditySensorIntoAVoltageMonitor) {
  TempDir dir;
  const std::string monitor = access::RomId::Make(0x26, 31).ToString();
  UseSimulatedBus(dir, {{{"rom", monitor}, {"temperature", 20}, {"vdd", 4.8}, {"vad", 1.2}}});
  {
    ChildProcess first(Args(dir, "app"));
    const int port = PortOf(first.WaitForLine("Web pages: "));
    test::HttpClient client("127.0.0.1", port);
    nlohmann::json humidity;
    for (int attempt = 0; attempt < 40 && humidity.is_null(); ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      humidity = DeviceNamed(client, monitor + "-Humidity");
    }
    ASSERT_FALSE(humidity.is_null()) << first.output();
    EXPECT_EQ(first.Stop(SIGTERM), 0);
  }
  // The README: set the ROM id to 0 under [DS2438], delete the -Humidity device, restart.
  std::string settings = ReadFile(dir.path() / "settings.ini");
  const auto at = settings.find(monitor + "=1");
  ASSERT_NE(at, std::string::npos) << settings;
  settings.replace(at, monitor.size() + 2, monitor + "=0");
  WriteFile(dir.path() / "settings.ini", settings);
  auto table = nlohmann::json::parse(ReadFile(dir.path() / "app" / "devices.json"));
  auto& list = table.is_array() ? table : table["devices"];
  for (auto it = list.begin(); it != list.end();) {
    it = (*it)["name"] == monitor + "-Humidity" ? list.erase(it) : it + 1;
  }
  WriteFile(dir.path() / "app" / "devices.json", table.dump());

  ChildProcess second(Args(dir, "app"));
  const int port = PortOf(second.WaitForLine("Web pages: "));
  test::HttpClient client("127.0.0.1", port);
  nlohmann::json vad;
  for (int attempt = 0; attempt < 40 && (vad.is_null() || vad["string"] == ""); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    vad = DeviceNamed(client, monitor + "-Vad");
  }
  ASSERT_FALSE(vad.is_null()) << second.output();
  EXPECT_FALSE(DeviceNamed(client, monitor + "-Vdd").is_null());
  EXPECT_TRUE(DeviceNamed(client, monitor + "-Humidity").is_null());
  EXPECT_EQ(second.Stop(SIGTERM), 0);
  EXPECT_THAT(ReadFile(dir.path() / "settings.ini"), HasSubstr(monitor + "=0"));
}

// A PostgreSQL server that never answers: connections are accepted by the kernel and then wait
// for the connection timeout.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 128);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentServer() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Runs the program on a bus of a hundred DS18B20s polled every second, every one logged to
// `database`; the seconds from the start of polling until all have host devices (-1: not in 60 s).
double SecondsUntilAHundredThermometers(const std::string& database) {
  TempDir dir;
  nlohmann::json devices = nlohmann::json::array();
  std::string log_section = "[Log]\n";
  for (int i = 0; i < 100; ++i) {
    const std::string rom = access::RomId::Make(0x28, 5000 + static_cast<uint64_t>(i)).ToString();
    devices.push_back({{"rom", rom}, {"temperature", 15 + i % 10}});
    log_section += rom + "M=1\n";
  }
  WriteFile(dir.path() / "bus.json", nlohmann::json{{"devices", devices}}.dump());
  WriteFile(dir.path() / "settings.ini",
            "[Settings]\nIntType=SIM\nIntPort=" + (dir.path() / "bus.json").string() +
                "\nPollCycle=1\nchkChanges=0\n" +
                (database.empty() ? std::string() : "Database=" + database + "\n") + log_section);
  ChildProcess program(Args(dir, "app"));
  const int port = PortOf(program.WaitForLine("Web pages: "));
  EXPECT_NE(program.WaitForLine("Polling devices begins..."), "") << program.output();
  const auto start = std::chrono::steady_clock::now();
  test::HttpClient client("127.0.0.1", port);
  client.set_read_timeout(std::chrono::seconds(20));
  double seconds = -1;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    auto res = client.Get("/api/devices");
    if (res && res->status == 200 && nlohmann::json::parse(res->body).size() >= 100) {
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_EQ(program.Stop(SIGTERM), 0) << program.output();
  return seconds;
}

TEST(Program, AHundredThermometersPolledEverySecondGetTheirHostDevicesWithinSeconds) {
  const double seconds = SecondsUntilAHundredThermometers("");
  EXPECT_GE(seconds, 0);
  EXPECT_LE(seconds, 20);
  std::cout << "100 thermometers, database working: host devices after " << seconds << " s\n";
}

TEST(Program, AHundredThermometersGetTheirHostDevicesWhileTheDatabaseTimesOut) {
  SilentServer server;
  const double seconds = SecondsUntilAHundredThermometers(
      "Provider=PostgreSQL;Host=127.0.0.1;Port=" + std::to_string(server.port()) +
      ";Database=readings;User ID=nobody;Timeout=2");
  EXPECT_GE(seconds, 0);
  EXPECT_LE(seconds, 20);
  std::cout << "100 thermometers, database timing out: host devices after " << seconds << " s\n";
}

}  // namespace
}  // namespace qb::test
