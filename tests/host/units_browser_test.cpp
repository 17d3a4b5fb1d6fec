// The temperature scale switched on the settings page in headless Chromium, with readings logged
// and an MQTT broker listening: the thermometer page's history table and chart, the charts page's
// statistics and the MQTT state and discovery say one unit, truly, before and after each switch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "support/child_process.h"
#include "support/mqtt_broker.h"
#include "support/temp_dir.h"
#include "support/webdriver.h"

namespace qb::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// The demo's living room: a sine of 21 ± 1.5 °C, logged; in °F that is 67.1 to 72.5.
const std::string kLivingRoom = "940000000001E228M";
bool Celsius(double v) {
  return v > 18 && v < 24;
}
bool Fahrenheit(double v) {
  return v > 64 && v < 76;
}

std::vector<double> Numbers(const json& texts) {
  std::vector<double> out;
  for (const auto& t : texts) out.push_back(std::stod(t.get<std::string>()));
  return out;
}

class ScaleSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (MosquittoProgram().empty()) GTEST_SKIP() << "mosquitto is not installed: test skipped";
    std::string error;
    ASSERT_TRUE(broker.Start(error)) << error;
    std::string settings = ReadFile(QB_DEMO_SETTINGS);
    settings = std::regex_replace(settings, std::regex("@DEMO_BUS@"), QB_DEMO_BUS);
    settings = std::regex_replace(settings, std::regex("PollCycle=\\d+"), "PollCycle=1");
    settings += "\n[MQTT]\nEnabled=1\nBroker=" + broker.url() + "\n";
    WriteFile(dir.path() / "settings.ini", settings);
    program = std::make_unique<ChildProcess>(std::vector<std::string>{
        QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir.path() / "app").string(), "--settings",
        (dir.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
    url = WebPagesUrl(*program);
    ASSERT_FALSE(url.empty()) << program->output();
    probe = std::make_unique<MqttProbe>(broker.port());
  }
  void TearDown() override {
    if (program) program->Stop(SIGTERM);
  }
  void Drain() { program->WaitForLine("\n", std::chrono::milliseconds(1)); }

  // The thermometer page's history: the heading of its value column, the values listed, and the
  // values and units of the chart's point tips.
  struct History {
    std::string heading;
    std::vector<double> rows, points;
    std::set<std::string> point_units;
  };
  History ThermometerHistory() {
    browser.Navigate(url + "1-Wire?ROMID=" + kLivingRoom);
    History h;
    h.heading = browser.ExecuteScript(R"(
      const c = [...document.querySelectorAll('td.tablecolumn')]
          .find(td => td.innerText.startsWith('Value'));
      return c ? c.innerText : '';)");
    h.rows = Numbers(browser.ExecuteScript(R"(
      return [...document.querySelectorAll('td')].filter(td =>
          /^(tableroweven|tablecellwav|tablecelldim)$/.test(td.className) &&
          td.nextElementSibling && td.nextElementSibling.className == 'tablecelloff')
          .map(td => td.innerText.trim());)"));
    const json tips = browser.ExecuteScript(R"(
      return [...document.querySelectorAll('map[name=map1] area')]
          .map(a => a.getAttribute('onmouseover') || '');)");
    for (const auto& t : tips) {
      std::smatch m;
      const std::string tip = t.get<std::string>();
      if (std::regex_search(tip, m, std::regex("setDIV\\(\"[^\"]*\",\"(-?[0-9.]+)([^\"]*)\""))) {
        h.points.push_back(std::stod(m[1]));
        h.point_units.insert(m[2]);
      }
    }
    return h;
  }
  void SetScale(bool fahrenheit) {
    browser.Navigate(url + "1-Wire?PAGE=2");
    const std::string choice =
        std::string("input[name=bFahren][value=") + (fahrenheit ? "True" : "False") + "]";
    ASSERT_TRUE(browser.WaitFor(
        [&] {
          try {
            browser.FindElement(choice).Click();
            return true;
          } catch (const std::exception&) {
            return false;
          }
        },
        10s, 200ms))
        << browser.PageSource();
    ASSERT_TRUE(browser.ClickAndWaitForNewPage("input[name=button][value=Update]"))
        << program->output();
    Drain();
    EXPECT_EQ(browser.FindElement("input[name=bFahren][value=True]").Property("checked"),
              fahrenheit);
  }
  // The living room's state and unit (the discovery's and the attributes', when they agree) in
  // what the probe has seen.
  using Seen = std::map<std::string, MqttProbe::Message>;
  static std::string Payload(const Seen& seen, const std::string& topic) {
    auto it = seen.find(topic);
    return it == seen.end() ? std::string() : it->second.payload;
  }
  static double MqttState(const Seen& seen) {
    const std::string s = Payload(seen, "quellbrook/" + kLivingRoom + "/state");
    return s.empty() ? NAN : std::stod(s);
  }
  static std::string MqttUnit(const Seen& seen) {
    const std::string c =
        Payload(seen, "homeassistant/sensor/quellbrook-1wire/" + kLivingRoom + "/config");
    const std::string a = Payload(seen, "quellbrook/" + kLivingRoom + "/attributes");
    if (c.empty() || a.empty()) return "none";
    const std::string unit = json::parse(c).value("unit_of_measurement", "");
    return unit == json::parse(a).value("unit", "") ? unit : "differs";
  }
  // The charts page's statistics of the living room alone (ticked by its link): low, high and
  // average.
  std::vector<double> ChartStatistics() {
    browser.Navigate(url + "1-Wire?PAGE=1");
    const json name = browser.ExecuteScript(R"(
      const boxes = [...document.querySelectorAll('input[type=checkbox]')]
          .filter(b => b.name != 'D3');
      const mine = boxes.find(b => b.nextElementSibling &&
          b.nextElementSibling.getAttribute('href') == '1-Wire?ROMID=)" +
                                            kLivingRoom + R"(');
      if (!mine) return null;
      boxes.forEach(b => { b.checked = b == mine; });
      return mine.name;)");
    if (!name.is_string()) return {};
    if (!browser.ClickAndWaitForNewPage("input[name=B1]")) return {};
    json cells = json::array();
    browser.WaitFor([&] {
      try {
        cells = browser.ExecuteScript(R"(
      const row = [...document.querySelectorAll('tr')].find(r =>
          r.cells.length == 6 && r.cells[0].innerText.trim() == arguments[0]);
      return row ? [row.cells[1].innerText, row.cells[3].innerText, row.cells[5].innerText] : [];)",
                                      json::array({name}));
      } catch (const WebDriverError&) {
        return false;  // the page was still loading
      }
      return !cells.empty();
    });
    return Numbers(cells);
  }
  // Every value of the history, the chart and MQTT in one scale, with that scale's unit.
  void ExpectOneScale(bool fahrenheit, const std::string& when) {
    SCOPED_TRACE(when);
    auto in_scale = fahrenheit ? Fahrenheit : Celsius;
    const History h = ThermometerHistory();
    EXPECT_EQ(h.heading, fahrenheit ? "Value \u00BAF" : "Value \u00BAC");
    ASSERT_FALSE(h.rows.empty()) << browser.PageSource();
    for (double v : h.rows) EXPECT_TRUE(in_scale(v)) << v;
    ASSERT_FALSE(h.points.empty());
    for (double v : h.points) EXPECT_TRUE(in_scale(v)) << v;
    EXPECT_EQ(h.point_units, std::set<std::string>{fahrenheit ? "\u00BAF" : "\u00BAC"});
    EXPECT_TRUE(probe->WaitFor(
        [&](const Seen& seen) {
          return in_scale(MqttState(seen)) &&
                 MqttUnit(seen) == (fahrenheit ? "\u00B0F" : "\u00B0C");
        },
        10s))
        << MqttState(probe->Snapshot()) << " " << MqttUnit(probe->Snapshot());
  }

  TempDir dir;
  MqttBroker broker{dir.path()};
  std::unique_ptr<ChildProcess> program;
  std::unique_ptr<MqttProbe> probe;
  Browser browser;
  std::string url;
};

TEST_F(ScaleSwitch, HistoryChartAndMqttSayOneUnitAcrossSwitchesToFahrenheitAndBack) {
  // A few readings logged in °C first.
  ASSERT_TRUE(browser.WaitFor(
      [&] {
        Drain();
        return ThermometerHistory().rows.size() >= 3;
      },
      60s, 1s))
      << program->output();
  ExpectOneScale(false, "Centigrade at the start");

  SetScale(true);
  // At once, before the living room is read again, and after more readings in °F.
  ExpectOneScale(true, "just switched to Fahrenheit");
  const size_t before = ThermometerHistory().rows.size();
  ASSERT_TRUE(browser.WaitFor(
      [&] {
        Drain();
        return ThermometerHistory().rows.size() >= before + 2;
      },
      30s, 1s));
  ExpectOneScale(true, "readings logged in Fahrenheit");
  const auto stats = ChartStatistics();
  ASSERT_EQ(stats.size(), 3u) << browser.PageSource();
  for (double v : stats) EXPECT_TRUE(Fahrenheit(v)) << v;

  SetScale(false);
  ExpectOneScale(false, "back to Centigrade");
  const auto back = ChartStatistics();
  ASSERT_EQ(back.size(), 3u);
  for (double v : back) EXPECT_TRUE(Celsius(v)) << v;
}

}  // namespace
}  // namespace qb::test
