// The device detail page on the simulated bus: function menus, thermometer limits, the clock,
// DS2450 outputs and memory dumps.
#include "web/detail_page.h"

#include <gmock/gmock.h>

#include "alarms/alarm_fixture.h"
#include "onewire/device_config.h"
#include "web/device_list.h"
#include "web/query.h"
#include "web/web_state.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string k1994 = Rom(0x04, 20);

class DetailPageTest : public AlarmTest {
 protected:
  ~DetailPageTest() override { ResetWeb(); }
  std::string Page(const std::string& query) {
    const std::string lnk = "1-Wire?ROMID=" + query;
    ParseQuery(lnk);
    return DeviceDetailPage(lnk);
  }
};

TEST_F(DetailPageTest, AThermometerShowsItsLimitsReachedOrNot) {
  Start(json::array({{{"rom", kB20}, {"temperature", 30}, {"alarm_high", 30}, {"alarm_low", 10}}}));
  Poll(6s);
  auto d = Named(kB20 + "M", "Cellar", "Sensor <1>");
  Plugin().settings.Append = false;
  d->HSString = "30";
  std::string page = Page(kB20 + "M");
  EXPECT_THAT(page, HasSubstr("Device: <b>Cellar Sensor &lt;1&gt;</b>"));
  EXPECT_THAT(page, HasSubstr(">Temp</a>"));
  EXPECT_THAT(page, HasSubstr("Current Temperature</td><td class=\"tableroweven\">30ºC</td>"));
  EXPECT_THAT(page, HasSubstr("High Alarm</td><td class=\"tablecelldim alarm\">30ºC</td>"));
  EXPECT_THAT(page, HasSubstr("Low Alarm</td><td class=\"tableroweven\">10ºC</td>"));
  EXPECT_EQ(d->hasTemperatureAlarms, 1);
  d->HSString = "29";
  page = Page(kB20 + "M");
  EXPECT_THAT(page, HasSubstr("High Alarm</td><td class=\"tableroweven\">30ºC</td>"));
  // The limits are read anew on every build.
  SetTempAlarm(kB20, true, 28);
  EXPECT_THAT(Page(kB20 + "M"),
              HasSubstr("High Alarm</td><td class=\"tablecelldim alarm\">28ºC</td>"));
  // The device's own key shows its information.
  EXPECT_THAT(Page(kB20), HasSubstr("DS18B20"));
}

TEST_F(DetailPageTest, AThermometerInAlarmIsMarkedOnItsPageAndInTheListInTheUnitShown) {
  Start(json::array({{{"rom", kB20}, {"temperature", 31}, {"alarm_high", 30}, {"alarm_low", 10}}}));
  Poll(6s);
  auto d = Named(kB20 + "M", "Cellar", "Sensor");
  d->HSString = "31";
  auto value_cell = [&] {
    const std::string list = DeviceListPage();
    const size_t row = list.find(kB20 + "M");
    return row == std::string::npos ? std::string() : list.substr(list.rfind("<tr>", row), 80);
  };
  // The list knows the limits once the device's page has read them.
  Page(kB20 + "M");
  EXPECT_THAT(value_cell(), HasSubstr("class=\"tablecellon alarm\""));
  d->HSString = "29";
  EXPECT_THAT(Page(kB20 + "M"), Not(HasSubstr("alarm\">")));
  EXPECT_THAT(value_cell(), HasSubstr("class=\"tablecellon\""));
  // No value read yet: nothing reached.
  d->HSString.clear();
  EXPECT_THAT(Page(kB20 + "M"), Not(HasSubstr("alarm\">")));
  // In Fahrenheit the limits are shown and compared in Fahrenheit: 30 C is 86 F.
  Plugin().settings.Range = true;
  d->HSString = "85";
  std::string page = Page(kB20 + "M");
  EXPECT_THAT(page, HasSubstr("High Alarm</td><td class=\"tableroweven\">86ºF</td>"));
  EXPECT_THAT(page, HasSubstr("Low Alarm</td><td class=\"tableroweven\">50ºF</td>"));
  d->HSString = "86.5";
  EXPECT_THAT(Page(kB20 + "M"),
              HasSubstr("High Alarm</td><td class=\"tablecelldim alarm\">86ºF</td>"));
  EXPECT_THAT(value_cell(), HasSubstr("class=\"tablecellon alarm\""));
}

TEST_F(DetailPageTest, EachThermometerShowsTheStepOfItsReadingsInTheUnitShown) {
  const std::string k1921 = Rom(0x21, 11), k2760 = Rom(0x30, 12), kB20at9 = Rom(0x28, 13);
  Start(json::array({{{"rom", kB20}, {"temperature", 20}},
                     {{"rom", kB20at9}, {"temperature", 20}, {"resolution", 9}},
                     {{"rom", k1822}, {"temperature", 20}},
                     {{"rom", kS20}, {"temperature", 20}},
                     {{"rom", k1921}, {"temperature", 20}},
                     {{"rom", kHumid}, {"temperature", 20}},
                     {{"rom", k2760}, {"temperature", 20}}}));
  Poll(6s);
  Plugin().settings.SigFigs = 3;
  auto resolution = [&](const std::string& rom) {
    const std::string page = Page(rom + "M");
    const std::string row = "Resolution</td><td class=\"tableroweven\">";
    const size_t at = page.find(row);
    if (at == std::string::npos) return "no resolution row for " + rom;
    return page.substr(at + row.size(), page.find("</td>", at + row.size()) - at - row.size());
  };
  EXPECT_EQ(resolution(kB20), "0.0625ºC");
  EXPECT_EQ(resolution(kB20at9), "0.500ºC");
  EXPECT_EQ(resolution(k1822), "0.0625ºC");
  // The DS18S20 read through its count registers (the stored resolution below half a degree).
  EXPECT_EQ(resolution(kS20), "0.0625ºC");
  EXPECT_EQ(resolution(k1921), "0.500ºC");
  EXPECT_EQ(resolution(kHumid), "0.03125ºC");
  EXPECT_EQ(resolution(k2760), "0.125ºC");
  // A DS18S20 set to half degrees reads in half degrees.
  store.Set("Resolution", kS20, "0.5");
  gROMs().FindDev(kS20 + "M")->TempResolution = -1;
  EXPECT_EQ(resolution(kS20), "0.500ºC");
  Plugin().settings.Range = true;
  EXPECT_EQ(resolution(kB20), "0.1125ºF");
  EXPECT_EQ(resolution(kS20), "0.900ºF");
}

TEST_F(DetailPageTest, EverySwitchFamilyGetsItsSwitchTable) {
  const std::string k2405 = Rom(0x05, 14), k2409 = Rom(0x1F, 15);
  Start(json::array({{{"rom", kSwitch}}, {{"rom", k2405}}, {{"rom", k2409}}}));
  Poll(6s);
  for (const std::string& rom : {kSwitch, k2405, k2409}) {
    SCOPED_TRACE(rom);
    const std::string page = Page(rom + "S");
    EXPECT_THAT(page, HasSubstr(">Switch</a>"));
    EXPECT_THAT(page, HasSubstr("<td class=\"tableroweven\">Switch 0</td>"));
  }
  EXPECT_THAT(Page(kSwitch + "S"), HasSubstr("<td class=\"tableroweven\">PIO 1</td>"));
}

TEST_F(DetailPageTest, TheDS2438MenuFollowsItsHumiditySetting) {
  Start(json::array({{{"rom", kHumid}}}));
  Poll(6s);
  auto rom = gROMs().FindParent(kHumid);
  ASSERT_TRUE(rom);
  rom->DS2438Humid = 1;
  std::string page = Page(kHumid);
  EXPECT_THAT(page, HasSubstr(">Humidity</a>"));
  EXPECT_THAT(page, Not(HasSubstr(">AD1</a>")));
  EXPECT_THAT(page, Not(HasSubstr(">AD2</a>")));
  rom->DS2438Humid = 0;
  page = Page(kHumid);
  EXPECT_THAT(page, HasSubstr(">AD1</a>"));
  EXPECT_THAT(page, HasSubstr(">AD2</a>"));
  EXPECT_THAT(page, Not(HasSubstr(">Humidity</a>")));
  // Its memory: the two areas of the datasheet, eight pages of eight bytes.
  page = Page(kHumid + "X");
  EXPECT_THAT(page, HasSubstr("<b>Scratch Pad</b>"));
  EXPECT_THAT(page, HasSubstr("Page 007  "));
}

TEST_F(DetailPageTest, TheMemoryPageDescribesEachBankAndDumpsItsPages) {
  const std::string k1993 = Rom(0x06, 16), k1982 = Rom(0x09, 17);
  // "Hello 1-Wire" at the start of the DS1993's first page.
  Start(json::array({{{"rom", k1993}, {"memory", "48656C6C6F20312D57697265"}}, {{"rom", k1982}}}));
  Poll(6s);
  std::string page = Page(k1993 + "X");
  EXPECT_THAT(page, HasSubstr(">Memory</a>"));
  EXPECT_THAT(page, HasSubstr("PagedMemoryBank<br>"));
  EXPECT_THAT(page, HasSubstr(" Pages of length  32 bytes giving  29 bytes packet data payload"));
  // A 32-byte page: its number, then four lines of eight bytes as hexadecimal and as characters.
  const size_t first = page.find("Page 000:<br>");
  ASSERT_NE(first, std::string::npos) << page;
  EXPECT_THAT(page.substr(first, 200), HasSubstr("48656C6C6F20312D  Hello-1-<br>"));
  EXPECT_THAT(page, HasSubstr("Page 015:<br>"));
  // The EPROM button: one-time programmable pages that can be redirected.
  page = Page(k1982 + "X");
  EXPECT_THAT(page, HasSubstr("OTPMemoryBank<br>"));
  EXPECT_THAT(page, HasSubstr(" - Write Once"));
  EXPECT_THAT(page, HasSubstr("Pages Redirectable"));
}

TEST_F(DetailPageTest, TheClockIsSetByAPostNeverByALink) {
  clock.SetWallTime(std::chrono::system_clock::from_time_t(1796663109));  // 2026-12-07 17:05:09
  Start(json::array({{{"rom", k1994}, {"clock", 0}}}));
  Poll(6s);
  EXPECT_THAT(Page(k1994 + "Y"), HasSubstr("<b>Time: 1970-01-01</b>"));
  // The link of earlier versions changes nothing.
  EXPECT_THAT(Page(k1994 + "Y&SetTime=ON"), HasSubstr("<b>Time: 1970-01-01</b>"));
  EXPECT_THAT(Page(k1994 + "Y"),
              HasSubstr("<button type=\"submit\" class=\"formbutton\" name=\"SetTime\" value=\"" +
                        k1994 + "\">Set device time to PC time</button>"));
  // A guest's post is refused; the owner's sets this machine's time, six seconds on after the
  // scan, and sends the browser back to the clock page.
  host->web_user = "guest";
  EXPECT_THAT(SetTimePost(k1994), HasSubstr("<b>Time: 1970-01-01</b>"));
  EXPECT_EQ(Web().Answer.status, 403);
  host->web_user = "";
  Web().Answer = {};
  EXPECT_THAT(SetTimePost(k1994), HasSubstr("<b>Time: 2026-12-07 17:05:15</b>"));
  EXPECT_EQ(Web().Answer.redirect, "1-Wire?ROMID=" + k1994 + "Y");
}

TEST_F(DetailPageTest, ADS2450OutputWithoutHostDeviceSaysSo) {
  Start(json::array({{{"rom", kQuad}}}));
  Poll(6s);
  for (int i = 0; i < 4; ++i) {
    auto d = gROMs().FindDev(kQuad + "S" + std::to_string(i));
    d->dc = i == 2 ? -1 : i + 1;
    d->hc = "A";
    d->HSString = "Off";
  }
  const std::string page = Page(kQuad + "S");
  EXPECT_THAT(page, HasSubstr(">AD Outputs</a>"));
  EXPECT_THAT(page, HasSubstr("Switch C</td>\r<td class=\"tablerowodd\">No Device Created</td>"));
  EXPECT_THAT(page, HasSubstr("Switch B</td>\r<td class=\"tablerowodd\">Off</td>"));
}

TEST_F(DetailPageTest, AnUnknownDeviceGetsTheFrameAndAddsNothingToTheRegistry) {
  Start(json::array({{{"rom", kB20}, {"temperature", 20}}}));
  const std::string unknown = "FFFFFFFFFFFFFF28";
  const std::string page = Page(unknown + "M");
  EXPECT_THAT(page, HasSubstr("Device: <b>" + unknown + "</b>"));
  EXPECT_THAT(page, HasSubstr(">Info</a>"));
  // Said in words, and answered with 404.
  EXPECT_THAT(page, HasSubstr("There is no 1-Wire device " + unknown + " on this bus"));
  EXPECT_EQ(Web().Answer.status, 404);
  EXPECT_FALSE(gROMs().FindParent(unknown));
  // Markup in the key comes back as text.
  EXPECT_THAT(Page("<script>x"), Not(HasSubstr("<script>")));
}

}  // namespace
}  // namespace qb::test
