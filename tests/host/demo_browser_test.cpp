// The demo a new user sees, checked in headless Chromium: the real program on the demo bus, its
// device list in the browser, a switch pressed on the page, and a hostile device name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "host/http_server.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"
#include "support/webdriver.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kSwitchLatch = "4800000000066912S0";  // DS2406 "garage door and lamp"
const std::string kLivingRoom = "940000000001E228M";    // DS18B20 "living room"
const std::string kCelsius =
    "\u00BA"
    "C";

// The demo program with its own settings and bus, in a scratch host folder.
class DemoProgram {
 public:
  explicit DemoProgram(const TempDir& dir) : dir_(dir) {
    // The demo settings as run.sh writes them, polling every 3 seconds instead of 5 so that
    // every thermometer has been read sooner.
    std::string settings = ReadFile(QB_DEMO_SETTINGS);
    settings = std::regex_replace(settings, std::regex("@DEMO_BUS@"), QB_DEMO_BUS);
    settings = std::regex_replace(settings, std::regex("PollCycle=\\d+"), "PollCycle=3");
    WriteFile(dir.path() / "settings.ini", settings);
    // The demo devices' names, as run.sh puts them in place on a first run.
    std::filesystem::create_directories(dir.path() / "app");
    std::filesystem::copy_file(std::filesystem::path(QB_SOURCE_DIR) / "demo" / "devices.json",
                               dir.path() / "app" / "devices.json");
  }

  // Starts the program and returns the base URL of its pages.
  std::string Start() {
    program_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir_.path() / "app").string(), "--settings",
        (dir_.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
    std::smatch m;
    const std::string line = program_->WaitForLine("Web pages: ");
    if (!std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/"))) {
      ADD_FAILURE() << "the program did not say where its pages are:\n" << program_->output();
      return {};
    }
    port_ = std::stoi(m[1]);
    return "http://127.0.0.1:" + std::to_string(port_) + "/1-Wire";
  }

  int Stop() { return program_->Stop(SIGTERM); }
  // Reads what the program has written so far, so that its log never fills the pipe and stops it
  // while the test is busy in the browser. (No line holds a line break: nothing is waited for.)
  void Drain() {
    if (program_) program_->WaitForLine("\n", std::chrono::milliseconds(1));
  }
  int port() const { return port_; }
  std::string output() const { return program_ ? program_->output() : std::string(); }

 private:
  const TempDir& dir_;
  std::unique_ptr<ChildProcess> program_;
  int port_ = 0;
};

// The range a bus-file value source can take: a number, or a generator (sine, walk, steps).
std::pair<double, double> RangeOf(const json& source) {
  if (source.is_number()) return {source.get<double>(), source.get<double>()};
  const std::string type = source.at("type");
  if (type == "sine") {
    const double mean = source.at("mean"), amplitude = source.at("amplitude");
    return {mean - amplitude, mean + amplitude};
  }
  if (type == "walk") return {source.at("min"), source.at("max")};
  double low = 1e9, high = -1e9;
  for (const auto& step : source.at("steps")) {
    low = std::min(low, step[1].get<double>());
    high = std::max(high, step[1].get<double>());
  }
  return {low, high};
}

// Every channel key of the demo bus that shows a measured value, with the range the simulated
// device keeps it in.
std::map<std::string, std::pair<double, double>> ExpectedValues() {
  std::map<std::string, std::pair<double, double>> expected;
  const json bus = json::parse(ReadFile(QB_DEMO_BUS));
  for (const auto& d : bus.at("devices")) {
    const std::string rom = d.at("rom");
    if (d.contains("temperature")) expected[rom + "M"] = RangeOf(d["temperature"]);
    if (d.contains("inputs") && d["inputs"].size() == 4) {
      const char* letters = "GHIJ";
      for (size_t i = 0; i < 4; ++i) expected[rom + letters[i]] = RangeOf(d["inputs"][i]);
    }
  }
  return expected;
}

// The rows of the device list: key (from the detail link), value text and row element.
struct Row {
  std::string key, value, name;
};

std::vector<Row> ListRows(Browser& browser) {
  const json rows = browser.ExecuteScript(R"(
    const out = [];
    for (const a of document.querySelectorAll('a[href^="1-Wire?ROMID="]')) {
      const row = a.closest('tr');
      out.push([a.getAttribute('href').substring(13), row.cells[0].innerText, a.innerText]);
    }
    return out;)");
  std::vector<Row> out;
  for (const auto& r : rows) out.push_back({r[0], r[1], r[2]});
  return out;
}

std::optional<Row> RowOf(Browser& browser, const std::string& key) {
  for (auto& row : ListRows(browser)) {
    if (row.key == key) return row;
  }
  return std::nullopt;
}

// Presses a button of the row of `key` and waits for the page the post answers.
void Press(Browser& browser, const std::string& key, const std::string& button) {
  const json name = browser.ExecuteScript(
      "const a = document.querySelector('a[href=\"1-Wire?ROMID=' + arguments[0] + '\"]');"
      "return a.closest('tr').querySelector('input[value=\"' + arguments[1] + '\"]').name;",
      json::array({key, button}));
  browser.FindElement("input[name=\"" + name.get<std::string>() + "\"][value=\"" + button + "\"]")
      .Click();
}

json Devices(int port) {
  test::HttpClient client("127.0.0.1", port);
  auto res = client.Get("/api/devices");
  return res && res->status == 200 ? json::parse(res->body) : json::array();
}

TEST(DemoInBrowser, ListsTheDemoBusSwitchesADeviceAndShowsNamesAsText) {
  TempDir dir;
  DemoProgram program(dir);
  const std::string url = program.Start();
  ASSERT_FALSE(url.empty());
  Browser browser;
  browser.Navigate(url);
  EXPECT_EQ(browser.Title(), "Quellbrook 1-Wire Interface");

  // Every demo device gets a row, and every measured value arrives within its source's range
  // (thermometers read to 1/16 to 1/2 degree, the A/D converter to 20 millivolts).
  std::set<std::string> roms;
  const json bus = json::parse(ReadFile(QB_DEMO_BUS));
  for (const auto& d : bus.at("devices")) roms.insert(d.at("rom"));
  ASSERT_EQ(roms.size(), 19u);
  const auto expected = ExpectedValues();
  std::string problems;
  const bool complete = browser.WaitFor(
      [&] {
        program.Drain();
        browser.Refresh();
        problems.clear();
        std::set<std::string> seen;
        std::map<std::string, std::string> values;
        for (const auto& row : ListRows(browser)) {
          seen.insert(row.key.substr(0, 16));
          values[row.key] = row.value;
        }
        for (const auto& rom : roms) {
          if (!seen.count(rom)) problems += "no row for " + rom + "\n";
        }
        for (const auto& [key, range] : expected) {
          const std::string& text = values[key];
          const double v = std::atof(text.c_str());
          const bool has_unit =
              text.find(kCelsius) != std::string::npos || text.find('V') != std::string::npos;
          const double slack = key.back() == 'M' ? 0.5 : 0.05;  // DS1920: half degrees
          if (!has_unit || v < range.first - slack || v > range.second + slack)
            problems += key + " shows \"" + text + "\"\n";
        }
        return problems.empty();
      },
      90s, 1s);
  ASSERT_TRUE(complete) << problems << program.output();
  const auto door_key = RowOf(browser, "3600000000090B01");  // a family without channels
  ASSERT_TRUE(door_key);
  EXPECT_EQ(door_key->value, "Present");
  // The demo's names and locations, not "Unknown <ROM id>-Temp".
  const auto living_room = RowOf(browser, kLivingRoom);
  ASSERT_TRUE(living_room);
  EXPECT_EQ(living_room->name, "Living room Temperature");
  for (const auto& row : ListRows(browser))
    EXPECT_EQ(row.name.find("Unknown"), std::string::npos) << row.key << ": " << row.name;

  // The picture of the list for the README, the whole page in one.
  const int height = browser.ExecuteScript("return document.documentElement.scrollHeight;");
  browser.Command("POST", "/window/rect", {{"width", 1100}, {"height", height + 140}});
  const auto shot = std::filesystem::path(QB_SCREENSHOT_DIR) / "device-list.png";
  browser.SaveScreenshot(shot);
  if (const char* docs = std::getenv("QB_UPDATE_SCREENSHOTS"); docs && *docs == '1') {
    std::filesystem::copy_file(shot,
                               std::filesystem::path(QB_SOURCE_DIR) / "docs" / "device-list.png",
                               std::filesystem::copy_options::overwrite_existing);
  }

  // The latch of the DS2406: pressing a button writes it, and the list shows what the device
  // reads back.
  ASSERT_TRUE(RowOf(browser, kSwitchLatch));
  for (const char* state : {"On", "Off"}) {
    Press(browser, kSwitchLatch, state);
    EXPECT_TRUE(browser.WaitFor([&] {
      program.Drain();
      auto row = RowOf(browser, kSwitchLatch);
      return row && row->value == state;
    })) << "the latch did not read back "
        << state << "\n"
        << program.output();
  }
  bool logged = false;
  for (const auto& d : Devices(program.port())) {
    if (d["iomisc"] == kSwitchLatch) logged = d["string"] == "Off" && d["Status"] == 3;
  }
  EXPECT_TRUE(logged) << "the host device of the latch does not say Off";

  // A name with markup, given through the host's API, is shown as text after the plug-in has
  // taken the host's names again (at its next start).
  int ref = 0;
  for (const auto& d : Devices(program.port())) {
    if (d["iomisc"] == kLivingRoom) ref = d["ref"];
  }
  ASSERT_NE(ref, 0);
  const std::string hostile = "<script>document.title='owned'</script><b>Sofa</b>";
  test::HttpClient client("127.0.0.1", program.port());
  auto patched = client.Patch("/api/devices/" + std::to_string(ref), json{{"name", hostile}}.dump(),
                              "application/json");
  ASSERT_TRUE(patched && patched->status == 200);
  ASSERT_EQ(program.Stop(), 0) << program.output();
  const std::string again = program.Start();
  ASSERT_FALSE(again.empty());
  browser.Navigate(again);
  ASSERT_TRUE(browser.WaitFor(
      [&] {
        program.Drain();
        browser.Refresh();
        auto row = RowOf(browser, kLivingRoom);
        return row && row->name.find(hostile) != std::string::npos;
      },
      60s, 500ms))
      << browser.PageSource() << program.output();
  EXPECT_EQ(browser.Title(), "Quellbrook 1-Wire Interface");
  // The name is text inside the link: no element was made of it, and no script ran (the page's
  // only script is its own, which keeps the values current).
  EXPECT_EQ(browser.ExecuteScript(
                "return document.querySelectorAll('script:not([src=\"/live.js\"])').length + "
                "document.querySelector('a[href=\"1-Wire?ROMID=" +
                kLivingRoom + "\"]').children.length;"),
            0);
  EXPECT_EQ(program.Stop(), 0) << program.output();
}

// A page of another site (another origin: the same address, another port) tries to switch the
// latch with what a browser sends without asking: a text/plain fetch to the API and form posts
// to the page. Nothing switches; the program's own page still does.
TEST(DemoInBrowser, PagesOfOtherSitesCannotSwitchDevices) {
  TempDir dir;
  DemoProgram program(dir);
  const std::string url = program.Start();
  ASSERT_FALSE(url.empty());
  Browser browser;
  browser.Navigate(url);
  ASSERT_TRUE(browser.WaitFor(
      [&] {
        program.Drain();
        browser.Refresh();
        auto row = RowOf(browser, kSwitchLatch);
        return row && (row->value == "On" || row->value == "Off");
      },
      60s, 500ms))
      << program.output();
  json latch;
  for (const auto& d : Devices(program.port())) {
    if (d["iomisc"] == kSwitchLatch) latch = d;
  }
  ASSERT_FALSE(latch.is_null());
  const std::string before = RowOf(browser, kSwitchLatch)->value;
  const std::string other = before == "On" ? "Off" : "On";
  const std::string target = "http://127.0.0.1:" + std::to_string(program.port());
  const std::string button =
      "Update" + latch["hc"].get<std::string>() + latch["dc"].get<std::string>();

  HttpServer evil;
  evil.Get("/", [&](const HttpRequest&, HttpResponse& res) {
    res.set_content(
        "<!DOCTYPE html><html><head><title>cute cats</title></head><body>"
        "<form id=\"f\" method=\"post\" action=\"" +
            target +
            "/1-Wire\">"
            "<input name=\"" +
            button + "\" value=\"" + other +
            "\"></form><script>"
            "const api = '" +
            target + "/api/devices/" + std::to_string(latch["ref"].get<int>()) +
            "/command';"
            "Promise.allSettled(["
            "  fetch(api, {method: 'POST', mode: 'no-cors', headers: {'Content-Type': "
            "'text/plain'},"
            "              body: JSON.stringify({command: '" +
            other +
            "'})}),"
            "  fetch('" +
            target +
            "/1-Wire', {method: 'POST', mode: 'no-cors', headers: "
            "        {'Content-Type': 'application/x-www-form-urlencoded'}, body: '" +
            button + "=" + other +
            "'})"
            "]).then(() => { document.title = 'sent'; });"
            "</script></body></html>",
        "text/html");
  });
  ASSERT_EQ(evil.Bind("127.0.0.1", 0), "");
  ASSERT_EQ(evil.Start(), "");
  const int evil_port = evil.Port();
  browser.Navigate("http://127.0.0.1:" + std::to_string(evil_port) + "/");
  EXPECT_TRUE(browser.WaitFor([&] { return browser.Title() == "sent"; }));
  browser.ExecuteScript("document.getElementById('f').submit();");
  EXPECT_TRUE(browser.WaitFor([&] { return browser.CurrentUrl() == target + "/1-Wire"; }));
  EXPECT_THAT(browser.PageSource(), HasSubstr("Refused"));
  evil.Stop();

  // Longer than a poll cycle: a written latch would read back by now.
  std::this_thread::sleep_for(4s);
  program.Drain();
  browser.Navigate(url);
  EXPECT_EQ(RowOf(browser, kSwitchLatch)->value, before);

  Press(browser, kSwitchLatch, other);
  EXPECT_TRUE(browser.WaitFor([&] {
    program.Drain();
    auto row = RowOf(browser, kSwitchLatch);
    return row && row->value == other;
  })) << program.output();
  EXPECT_EQ(program.Stop(), 0) << program.output();
}

}  // namespace
}  // namespace qb::test
