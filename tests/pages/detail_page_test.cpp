// The device detail page on the simulated bus: function menus, thermometer limits, the clock,
// DS2450 outputs and memory dumps.
#include "web/detail_page.h"

#include <gmock/gmock.h>

#include "alarms/alarm_fixture.h"
#include "onewire/device_config.h"
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
  EXPECT_THAT(page, HasSubstr("High Alarm</td><td class=\"tablecelldim\">30ºC</td>"));
  EXPECT_THAT(page, HasSubstr("Low Alarm</td><td class=\"tableroweven\">10ºC</td>"));
  EXPECT_EQ(d->hasTemperatureAlarms, 1);
  d->HSString = "29";
  page = Page(kB20 + "M");
  EXPECT_THAT(page, HasSubstr("High Alarm</td><td class=\"tableroweven\">30ºC</td>"));
  // The limits are read anew on every build.
  SetTempAlarm(kB20, true, 28);
  EXPECT_THAT(Page(kB20 + "M"), HasSubstr("High Alarm</td><td class=\"tablecelldim\">28ºC</td>"));
  // The device's own key shows its information.
  EXPECT_THAT(Page(kB20), HasSubstr("DS18B20"));
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
