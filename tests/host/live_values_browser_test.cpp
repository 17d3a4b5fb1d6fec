// An open device list and an open device page follow the bus in headless Chromium: the simulated
// bus file is edited while the real program runs, and the pages show the new values and stale
// marks without being loaded again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/webdriver.h"

namespace qb::test {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kLiving = "940000000001E228";  // DS18B20
const std::string kCellar = "640000000002F210";  // DS18S20

std::string Bus(const std::string& living_celsius, bool with_cellar) {
  std::string devices = "{\"rom\": \"" + kLiving + "\", \"temperature\": " + living_celsius + "}";
  if (with_cellar) devices += ", {\"rom\": \"" + kCellar + "\", \"temperature\": 12.5}";
  return "{\"devices\": [" + devices + "]}\n";
}

// The program on a bus of two thermometers, read every second.
class LiveValues : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(bus_file(), Bus("21.5", true));
    WriteFile(dir.path() / "settings.ini",
              "[Settings]\nIntType=SIM\nIntPort=" + bus_file().string() + "\nPollCycle=1\n");
    program = std::make_unique<ChildProcess>(std::vector<std::string>{
        QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir.path() / "app").string(), "--settings",
        (dir.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
    url = WebPagesUrl(*program);
    ASSERT_FALSE(url.empty()) << program->output();
  }
  void TearDown() override {
    if (program) program->Stop(SIGTERM);
  }
  std::filesystem::path bus_file() const { return dir.path() / "bus.json"; }

  // Edits the bus file as an editor saves it: written beside it, then renamed over it.
  void EditBus(const std::string& text) {
    WriteFile(dir.path() / "bus.json.new", text);
    std::filesystem::rename(dir.path() / "bus.json.new", bus_file());
  }

  // Marks the document: a reload or a new page would lose the mark.
  void MarkPage() { browser.ExecuteScript("document.body.dataset.kept = 'yes';"); }
  bool PageKept() {
    return browser.ExecuteScript("return document.body.dataset.kept || '';") == "yes";
  }

  // The device list's value and last-change cells of a device key's row.
  std::pair<std::string, std::string> ListRow(const std::string& key) {
    const auto cells = browser.ExecuteScript(R"(
      const link = document.querySelector('a[href="1-Wire?ROMID=' + arguments[0] + '"]');
      if (!link) return ['', ''];
      const row = link.closest('tr');
      return [row.cells[0].textContent, row.cells[3].textContent];)",
                                             {key});
    return {cells[0], cells[1]};
  }
  std::string CurrentReading() {
    return browser.ExecuteScript(R"(
      const label = [...document.querySelectorAll('td.tablecellwav')]
          .find(td => td.textContent.startsWith('Current '));
      return label ? label.nextElementSibling.textContent : '';)");
  }

  TempDir dir;
  std::unique_ptr<ChildProcess> program;
  std::string url;
  Browser browser;
};

TEST_F(LiveValues, TheDeviceListAndADevicePageShowEditsOfTheBusWithoutReloading) {
  browser.Navigate(url + "1-Wire");
  // The first reading may come after the page was served: reload until the list shows it.
  ASSERT_TRUE(browser.WaitFor([&] {
    if (ListRow(kLiving + "M").first.rfind("21.5", 0) == 0) return true;
    browser.Refresh();
    return false;
  })) << browser.PageSource();
  const std::string first_change = ListRow(kLiving + "M").second;
  EXPECT_FALSE(first_change.empty());
  MarkPage();

  // A new value, and the cellar unplugged: the open list shows both in place.
  EditBus(Bus("-3.5", false));
  EXPECT_TRUE(browser.WaitFor([&] { return ListRow(kLiving + "M").first.rfind("-3.5", 0) == 0; }))
      << ListRow(kLiving + "M").first << "\n"
      << program->output();
  EXPECT_TRUE(browser.WaitFor([&] {
    return ListRow(kCellar + "M").first.find("(stale: device not present)") != std::string::npos;
  })) << ListRow(kCellar + "M").first;
  EXPECT_THAT(ListRow(kLiving + "M").first, HasSubstr("ºC"));
  EXPECT_THAT(ListRow(kCellar + "M").first, HasSubstr("12.5"));
  EXPECT_TRUE(PageKept()) << "the list was loaded again";

  // The cellar back: its stale mark goes.
  EditBus(Bus("-3.5", true));
  EXPECT_TRUE(browser.WaitFor([&] {
    return ListRow(kCellar + "M").first.find("stale") == std::string::npos;
  })) << ListRow(kCellar + "M").first;
  EXPECT_TRUE(PageKept());

  // The thermometer's own page follows its value too.
  browser.Navigate(url + "1-Wire?ROMID=" + kLiving + "M");
  ASSERT_THAT(CurrentReading(), HasSubstr("-3.5"));
  MarkPage();
  EditBus(Bus("30.5", true));
  EXPECT_TRUE(browser.WaitFor([&] { return CurrentReading().rfind("30.5", 0) == 0; }))
      << CurrentReading();
  EXPECT_THAT(CurrentReading(), HasSubstr("ºC"));
  EXPECT_TRUE(PageKept()) << "the device page was loaded again";
  program->WaitForLine("\n", 1ms);
}

}  // namespace
}  // namespace qb::test
