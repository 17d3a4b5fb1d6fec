// The charts, settings, debug and device pages of the demo, used in headless Chromium as a person
// would: through the menus, the settings form, the chart's check boxes and its point tips.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"
#include "support/webdriver.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kLivingRoom = "940000000001E228M";  // DS18B20 "living room", logged

// The real program on the demo bus and settings (polling every 2 seconds), in a scratch folder.
class DemoPages {
 public:
  explicit DemoPages(const TempDir& dir, const std::vector<std::string>& extra = {}) : dir_(dir) {
    std::string settings = ReadFile(QB_DEMO_SETTINGS);
    settings = std::regex_replace(settings, std::regex("@DEMO_BUS@"), QB_DEMO_BUS);
    settings = std::regex_replace(settings, std::regex("PollCycle=\\d+"), "PollCycle=2");
    WriteFile(settings_file(), settings);
    // The demo devices' names, as run.sh puts them in place on a first run.
    std::filesystem::create_directories(dir.path() / "app");
    std::filesystem::copy_file(std::filesystem::path(QB_SOURCE_DIR) / "demo" / "devices.json",
                               dir.path() / "app" / "devices.json");
    std::vector<std::string> argv{
        QB_PROGRAM_PATH, "--standalone",           "--app-dir", (dir.path() / "app").string(),
        "--settings",    settings_file().string(), "--http",    "127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    program_ = std::make_unique<ChildProcess>(argv);
    std::smatch m;
    const std::string line = program_->WaitForLine("Web pages: ");
    if (std::regex_search(line, m, std::regex("(https?://127\\.0\\.0\\.1:(\\d+)/)"))) {
      url_ = m[1];
      port_ = std::stoi(m[2]);
    }
  }
  ~DemoPages() { program_->Stop(SIGTERM); }
  std::filesystem::path settings_file() const { return dir_.path() / "settings.ini"; }
  const std::string& url() const { return url_; }
  int port() const { return port_; }
  // Keeps the program's log from filling its pipe while the browser works.
  void Drain() { program_->WaitForLine("\n", std::chrono::milliseconds(1)); }
  std::string output() const { return program_->output(); }

 private:
  const TempDir& dir_;
  std::unique_ptr<ChildProcess> program_;
  std::string url_;
  int port_ = 0;
};

// Saves a picture of the whole page to the build folder, and to docs/ when asked to.
void Screenshot(Browser& browser, const std::string& name) {
  const int height = browser.ExecuteScript("return document.documentElement.scrollHeight;");
  browser.Command("POST", "/window/rect",
                  {{"width", 1100}, {"height", std::min(height + 140, 2400)}});
  const auto shot = std::filesystem::path(QB_SCREENSHOT_DIR) / name;
  browser.SaveScreenshot(shot);
  if (const char* docs = std::getenv("QB_UPDATE_SCREENSHOTS"); docs && *docs == '1') {
    std::filesystem::copy_file(shot, std::filesystem::path(QB_SOURCE_DIR) / "docs" / name,
                               std::filesystem::copy_options::overwrite_existing);
  }
}

void ClickLink(Browser& browser, const std::string& text) {
  for (auto& link : browser.FindElements("a")) {
    if (link.Text() == text) {
      link.Click();
      return;
    }
  }
  ADD_FAILURE() << "no link \"" << text << "\" on " << browser.CurrentUrl();
}

std::string BodyText(Browser& browser) {
  return browser.ExecuteScript("return document.body.innerText;");
}

TEST(PagesInBrowser, SettingsAreAppliedAndStoredAndTheDebugPageListsEveryRecord) {
  TempDir dir;
  DemoPages demo(dir);
  ASSERT_FALSE(demo.url().empty()) << demo.output();
  Browser browser;
  browser.Navigate(demo.url() + "1-Wire");
  ClickLink(browser, "Setup");
  ASSERT_THAT(BodyText(browser), HasSubstr("Settings Page")) << browser.PageSource();
  EXPECT_EQ(browser.FindElement("input[name=polltime]").Property("value"), "2");

  auto poll = browser.FindElement("input[name=polltime]");
  poll.Clear();
  poll.SendKeys("7");
  browser.ExecuteScript("document.querySelector('select[name=Log]').value = '3';");
  browser.FindElement("input[name=button][value=Update]").Click();
  // The click returns before the redirected page has loaded on a busy machine: wait for it.
  ASSERT_TRUE(browser.WaitFor([&] {
    return browser.CurrentUrl().find("saved=1") != std::string::npos &&
           !browser.FindElements("input[name=polltime]").empty();
  })) << browser.PageSource();
  demo.Drain();
  // The page after the post shows the values in effect, and the file holds them for the next
  // start.
  EXPECT_EQ(browser.FindElement("input[name=polltime]").Property("value"), "7");
  EXPECT_EQ(browser.FindElement("select[name=Log]").Property("value"), "3");
  EXPECT_THAT(BodyText(browser), HasSubstr("will Poll every 7x"));
  // The post was answered with a redirect to the page, which confirms the save; a reload then
  // posts nothing again.
  EXPECT_THAT(BodyText(browser), HasSubstr("Settings saved."));
  EXPECT_THAT(browser.CurrentUrl(), HasSubstr("PAGE=2&saved=1"));
  const std::string stored = ReadFile(demo.settings_file());
  EXPECT_THAT(stored, HasSubstr("PollCycle=7"));
  EXPECT_THAT(stored, HasSubstr("Debug=3"));
  // Debug level 3 logs the cycle information: the level took effect without a restart.
  test::HttpClient api("127.0.0.1", demo.port());
  EXPECT_TRUE(browser.WaitFor(
      [&] {
        demo.Drain();
        auto log = api.Get("/api/log?tail=50");
        return log && log->body.find("time to next poll") != std::string::npos;
      },
      20s, 500ms))
      << demo.output();
  // Built again now that the bus is read: the house code and the devices found are shown.
  browser.Navigate(demo.url() + "1-Wire?PAGE=2");
  const std::string settings = BodyText(browser);
  EXPECT_TRUE(
      std::regex_search(settings, std::regex("will Poll every 7x1x[1-9]\\d*=[1-9]\\d* Seconds")))
      << settings;
  Screenshot(browser, "settings-page.png");

  ClickLink(browser, "Debug Page");
  // Every record, the door key's own among them (the device list hides it), once the scan has
  // found the devices.
  EXPECT_TRUE(browser.WaitFor(
      [&] {
        demo.Drain();
        browser.Refresh();
        const std::string debug = browser.PageSource();
        return debug.find("1-Wire?ROMID=3600000000090B01\"") != std::string::npos &&
               debug.find("1-Wire?ROMID=" + kLivingRoom) != std::string::npos;
      },
      30s, 500ms))
      << browser.PageSource();
  Screenshot(browser, "debug-page.png");
  ClickLink(browser, "1-Wire");
  EXPECT_THAT(BodyText(browser), HasSubstr("1-Wire Device List"));
}

// Over HTTPS, with the test's own self-signed certificate, the device list loads whole, with its
// style sheet.
TEST(PagesInBrowser, TheDeviceListOverHttps) {
  TempDir dir;
  const std::string cert = (dir.path() / "web.crt").string();
  const std::string key = (dir.path() / "web.key").string();
  std::string output;
  ASSERT_EQ(RunToEnd({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                      "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                      "-keyout", key, "-out", cert},
                     output),
            0)
      << output;
  DemoPages demo(dir, {"--tls-cert", cert, "--tls-key", key});
  ASSERT_EQ(demo.url().rfind("https://", 0), 0u) << demo.output();
  BrowserOptions options;
  options.accept_insecure_certs = true;
  Browser browser(options);
  browser.Navigate(demo.url() + "1-Wire");
  EXPECT_EQ(browser.ExecuteScript("return location.protocol;"), "https:");
  EXPECT_THAT(BodyText(browser), HasSubstr("1-Wire Device List"));
  // The host's style sheet is in effect: the page's title has its rule below it.
  EXPECT_EQ(browser.ExecuteScript("return document.styleSheets.length;"), 1);
  EXPECT_EQ(browser.ExecuteScript("return getComputedStyle(document.querySelector('.pagetitle'))"
                                  ".borderBottomColor;"),
            "rgb(47, 93, 138)");
}

TEST(PagesInBrowser, AThermometerPageAndTwoDevicesChartedWithTips) {
  TempDir dir;
  DemoPages demo(dir);
  ASSERT_FALSE(demo.url().empty()) << demo.output();
  Browser browser;
  // Readings reach the database within a few poll cycles.
  browser.Navigate(demo.url() + "1-Wire?ROMID=" + kLivingRoom);
  ASSERT_TRUE(browser.WaitFor(
      [&] {
        demo.Drain();
        browser.Refresh();
        const std::string text = BodyText(browser);
        return text.find("Todays History") != std::string::npos &&
               browser.ExecuteScript("return document.querySelectorAll('area').length;") > 1;
      },
      60s, 1s))
      << browser.PageSource() << demo.output();
  const std::string page = BodyText(browser);
  EXPECT_THAT(page, HasSubstr("High Alarm"));
  EXPECT_THAT(page, HasSubstr("Low Alarm"));
  EXPECT_THAT(page, HasSubstr("Resolution"));
  // Plain texts are plain (the version line's open bold tag does not carry on), the name is bold,
  // and the history's times are plain cells, not coloured as "not present".
  EXPECT_EQ(browser.ExecuteScript(R"(
    const cell = [...document.querySelectorAll('td.tableroweven')].find(c => /ºC/.test(c.innerText));
    return getComputedStyle(cell).fontWeight;)"),
            "400");
  EXPECT_EQ(
      browser.ExecuteScript("return getComputedStyle(document.evaluate(\"//text()[contains(., "
                            "'Device:')]/following-sibling::b[1]\", document, null, 9, null)"
                            ".singleNodeValue).fontWeight;"),
      "700");
  EXPECT_EQ(browser.ExecuteScript(
                "return getComputedStyle(document.querySelector('td + td.tablecelloff'))"
                ".backgroundColor;"),
            "rgb(255, 255, 255)");
  Screenshot(browser, "thermometer-page.png");

  ClickLink(browser, "Charts");
  // Tick the first two devices only, and chart them.
  browser.ExecuteScript(R"(
    const boxes = [...document.querySelectorAll('input[type=checkbox]')].filter(b => b.name != 'D3');
    boxes.forEach((b, i) => { b.checked = i < 2; });)");
  const json names = browser.ExecuteScript(R"(
    return [...document.querySelectorAll('input[type=checkbox]')]
        .filter(b => b.name != 'D3' && b.checked).map(b => b.name);)");
  ASSERT_EQ(names.size(), 2u) << browser.PageSource();
  // The charts page may already show a chart: wait for the one the post answers.
  ASSERT_TRUE(browser.ClickAndWaitForNewPage("input[name=B1]"));
  ASSERT_TRUE(browser.WaitFor([&] {
    return browser.ExecuteScript(
        "const i = document.querySelector('img[usemap]'); return !!i && i.complete && "
        "i.naturalWidth > 0;");
  }));
  const std::string stats = BodyText(browser);
  for (const auto& name : names) EXPECT_THAT(stats, HasSubstr(name.get<std::string>()));
  // Both stay ticked in the form that the submit brought back.
  EXPECT_EQ(browser.ExecuteScript("return [...document.querySelectorAll('input[type=checkbox]')]"
                                  ".filter(b => b.name != 'D3' && b.checked).length;"),
            2);

  // The pointer over a point shows its tip.
  const json at = browser.ExecuteScript(R"(
    const img = document.querySelector('img[usemap]').getBoundingClientRect();
    const c = document.querySelector('map[name=map1] area').coords.split(',').map(Number);
    return [Math.round(img.left + c[0]), Math.round(img.top + c[1])];)");
  browser.Command(
      "POST", "/actions",
      {{"actions", json::array({{{"type", "pointer"},
                                 {"id", "mouse"},
                                 {"actions", json::array({{{"type", "pointerMove"},
                                                           {"x", at[0]},
                                                           {"y", at[1]},
                                                           {"origin", "viewport"}}})}}})}});
  EXPECT_TRUE(browser.WaitFor([&] {
    return browser.ExecuteScript(
               "return getComputedStyle(document.getElementById('info')).visibility;") == "visible";
  }));
  const std::string tip =
      browser.ExecuteScript("return document.getElementById('statusvalue').innerText;");
  EXPECT_TRUE(std::regex_match(tip, std::regex("-?[0-9.]+.*"))) << tip;
  const std::string when =
      browser.ExecuteScript("return document.getElementById('statustime').innerText;");
  EXPECT_THAT(when, HasSubstr("2026")) << when;
  // The tip opens beside the pointer, leaves the point itself free, and lies above the chart.
  const json box = browser.ExecuteScript(R"(
    const info = document.getElementById('info');
    const r = info.getBoundingClientRect();
    info.style.pointerEvents = 'auto';
    const over = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    info.style.pointerEvents = '';
    return [r.left, r.top, r.right, r.bottom, !!over && !!over.closest('#info')];)");
  const double x = at[0].get<double>(), y = at[1].get<double>();
  EXPECT_TRUE(box[4].get<bool>()) << "something covers the tip";
  EXPECT_FALSE(x >= box[0].get<double>() && x <= box[2].get<double>() &&
               y >= box[1].get<double>() && y <= box[3].get<double>())
      << "the tip covers the point " << box.dump();
  EXPECT_LT(std::abs(box[0].get<double>() - x), 80) << box.dump();
  EXPECT_LT(std::abs(box[3].get<double>() - y), 80) << box.dump();
  Screenshot(browser, "charts-page.png");
}

}  // namespace
}  // namespace qb::test
