#include <gmock/gmock.h>

#include <regex>

#include "core/hspi.h"
#include "registry/records.h"
#include "support/plugin_fixture.h"
#include "web/plugin_pages.h"
#include "web/web_state.h"

namespace qb::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Return;

class MockPageBuilders : public PageBuilders {
 public:
  MOCK_METHOD(std::string, ChartsPage, (const std::string& lnk), (override));
  MOCK_METHOD(std::string, SettingsPage, (const std::string& lnk), (override));
  MOCK_METHOD(std::string, SettingsPost, (const std::string& data), (override));
  MOCK_METHOD(std::string, DebugPage, (), (override));
  MOCK_METHOD(std::string, DetailPage, (const std::string& lnk), (override));
  MOCK_METHOD(std::string, SetTimePost, (const std::string& rom_id), (override));
};

const std::string kThermo = "5A0000000001E228";  // DS18B20: temperature channel M
const std::string kSwitch = "4800000000066912";  // DS2406: switch channels
const std::string kButton = "3600000000090B01";  // DS1990A: no channels

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

class WebPagesTest : public PluginTest {
 protected:
  WebPagesTest() {
    ConnectHost();
    ResetRegistry();
    ON_CALL(*builders, ChartsPage).WillByDefault(Return("CHARTS"));
    ON_CALL(*builders, SettingsPage).WillByDefault(Return("SETTINGS PAGE"));
    ON_CALL(*builders, SettingsPost).WillByDefault(Return("SETTINGS SAVED"));
    ON_CALL(*builders, DebugPage).WillByDefault(Return("DEBUG PAGE"));
    ON_CALL(*builders, DetailPage).WillByDefault(Return("DETAIL"));
  }
  ~WebPagesTest() override {
    ResetRegistry();
    ResetWeb();
  }

  // A channel record bound to host code hc+dc, with a host device that knows its last change.
  DSDevice& Channel(const std::string& key, const std::string& hc, int dc, const std::string& value,
                    const std::string& name = "Name") {
    auto d = gROMs().FindDev(key);
    d->hc = hc;
    d->dc = dc;
    d->HSString = value;
    d->HSName = name;
    d->HSLocation = "Here";
    host->AddDevice(hc, std::to_string(dc), "other")->lastChange_ = clock.Now();
    return *d;
  }

  std::shared_ptr<::testing::NiceMock<MockPageBuilders>> builders =
      std::make_shared<::testing::NiceMock<MockPageBuilders>>();
  PluginWebPages web{builders};
};

TEST_F(WebPagesTest, PageNumbersRouteToEnabledPagesOnly) {
  auto& enabled = Plugin().settings.WebPages;
  EXPECT_EQ(web.GenPage("1-Wire?PAGE=00"), "<hr>NO SUCH PAGE");  // values compare exactly
  EXPECT_EQ(web.GenPage("1-Wire?PAGE=4"), "<hr>NO SUCH PAGE");
  EXPECT_EQ(web.GenPage("1-Wire?page=1"), "CHARTS");  // names in any case
  EXPECT_EQ(web.GenPage("1-Wire?PAGE=2"), "SETTINGS PAGE");
  EXPECT_EQ(web.GenPage("1-Wire?PAGE=3"), "DEBUG PAGE");
  EXPECT_THAT(web.GenPage("1-Wire?PAGE=0&ROMID=X"), HasSubstr("1-Wire Device List"));
  EXPECT_EQ(web.GenPage("1-Wire?ROMID=" + kThermo + "M"), "DETAIL");

  enabled[1] = false;
  Plugin().settings.DefaultPage = 1;
  EXPECT_EQ(web.GenPage("1-Wire?PAGE=1"), "<hr>NO SUCH PAGE");
  EXPECT_EQ(web.GenPage("1-Wire"), "CHARTS");  // the default page ignores the flags
  Plugin().settings.DefaultPage = 7;
  EXPECT_EQ(web.GenPage("1-Wire"), "");
  enabled[0] = false;
  EXPECT_EQ(web.GenPage("1-Wire?ROMID=" + kThermo + "M"), "");
  EXPECT_EQ(web.GenPage("1-Wire?PAGE=0"), "<hr>NO SUCH PAGE");
}

TEST_F(WebPagesTest, ThePollTickWaitsWhileAPageIsBuilt) {
  Plugin().parts.pages = std::make_shared<PluginWebPages>(builders);
  bool busy_inside = false;
  EXPECT_CALL(*builders, DebugPage).WillOnce([&] {
    busy_inside = Plugin().ExternalBusy;
    return std::string("DEBUG PAGE");
  });
  EXPECT_CALL(*builders, ChartsPage).WillOnce([](const std::string&) -> std::string {
    throw std::runtime_error("chart failed");
  });
  hspi plugin;
  EXPECT_EQ(plugin.GenPage("1-Wire?PAGE=3"), "DEBUG PAGE");
  EXPECT_TRUE(busy_inside);
  EXPECT_FALSE(Plugin().ExternalBusy);
  EXPECT_ANY_THROW(plugin.GenPage("1-Wire?PAGE=1"));
  EXPECT_FALSE(Plugin().ExternalBusy);
}

TEST_F(WebPagesTest, PostsCommandDevicesUnlessTheUserIsAGuest) {
  Channel(kSwitch + "S0", "B", 7, "On");
  Channel(kThermo + "M", "A", 1, "21.5");
  const std::string page = web.PagePut("UpdateB7=Off&ref_page=1-Wire");
  EXPECT_THAT(page, HasSubstr("1-Wire Device List"));
  EXPECT_EQ(web.LastPageAnswer().status, 200);
  web.PagePut("UpdateA1=Update&ref_page=1-Wire");
  web.PagePut("button=Refresh&ref_page=1-Wire");
  const auto calls = host->CallsNamed("ExecX10");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args[0], "B7");
  EXPECT_EQ(calls[0].args[1], "Off");
  EXPECT_EQ(calls[1].args[0], "A1");
  EXPECT_EQ(calls[1].args[1], "On");  // "Update" reads the thermometer: the host's On

  // Commands a channel does not take are refused: a switch is not "updated", a thermometer not
  // switched.
  web.PagePut("UpdateB7=Update&ref_page=1-Wire");
  EXPECT_EQ(web.LastPageAnswer().status, 400);
  web.PagePut("UpdateA1=Off&ref_page=1-Wire");
  EXPECT_EQ(host->CountCalls("ExecX10"), 2u);

  host->web_user = "guest";
  EXPECT_THAT(web.PagePut("UpdateB7=Off&ref_page=1-Wire"), HasSubstr("1-Wire Device List"));
  EXPECT_EQ(web.LastPageAnswer().status, 403);
  EXPECT_EQ(host->CountCalls("ExecX10"), 2u);
}

TEST_F(WebPagesTest, DebugAndSettingsPostsGoToTheirPages) {
  EXPECT_CALL(*builders, SettingsPost("SETTINGS=Save&Range=1"));
  EXPECT_EQ(web.PagePut("UpdateB7=On&comment=xDEBUGx"), "DEBUG PAGE");  // anywhere, even a value
  EXPECT_EQ(web.PagePut("SETTINGS=Save&Range=1"), "SETTINGS SAVED");
  EXPECT_EQ(host->CountCalls("ExecX10"), 0u);
}

TEST_F(WebPagesTest, AnEmptyRegistryGivesTheFrameAndHeadingsOnly) {
  Plugin().settings.WebPages[3] = false;
  const std::string page = web.GenPage("1-Wire");
  EXPECT_THAT(page, HasSubstr("<p><b><font face=\"Arial\" size=\"2\">Version: 1.6.0"));
  EXPECT_THAT(page, HasSubstr("1-Wire Device List"));
  EXPECT_EQ(Count(page, "<tr>"), 2u);
  EXPECT_EQ(Count(page, "class=\"tablecolumn\""), 5u);
  // The menu, above and below, ends in " | " when the last pages are disabled.
  EXPECT_EQ(Count(page, "<a href=\"1-Wire?PAGE=2\">Setup</a>\r\n | "), 2u);
  EXPECT_THAT(page, Not(HasSubstr("Debug")));
  EXPECT_THAT(page, HasSubstr("<input type=\"hidden\" name=\"ref_page\" value=\"1-Wire\"></form>"));
  EXPECT_THAT(page, Not(HasSubstr("Guest cannot make changes")));
  host->web_user = "Guest";
  EXPECT_THAT(web.GenPage("1-Wire"), HasSubstr("Guest cannot make changes"));
}

TEST_F(WebPagesTest, RowsShowChannelsValuesAndControls) {
  Channel(kThermo + "M", "A", 1, "21.5");
  gROMs().FindDev(kThermo)->HSString = "On";  // the device row: hidden unless asked for
  Channel(kSwitch + "S0", "B", 7, "Off");
  Channel(kSwitch + "P0", "B", 8, "On");
  Channel(kButton, "C", 2, "On");  // a family without channels shows its own row

  Plugin().settings.Append = false;
  std::string page = web.GenPage("1-Wire");
  EXPECT_EQ(Count(page, "<tr>") - 2, 4u);
  EXPECT_THAT(page, HasSubstr("class=\"tablecellon\">21.5\u00BA"
                              "C</td>"));
  EXPECT_THAT(page, HasSubstr("class=\"tablecellcustom\">Off</td>"));
  EXPECT_THAT(page, HasSubstr("class=\"tablecelldim\">Present</td>"));
  EXPECT_THAT(page, HasSubstr("<a href=\"1-Wire?ROMID=" + kThermo + "M\">Here Name</a>"));
  EXPECT_THAT(page, HasSubstr(">DS18B20</td>"));
  EXPECT_THAT(page, HasSubstr("name=\"UpdateA1\" value=\"Update\""));
  EXPECT_THAT(page, HasSubstr("name=\"UpdateB7\" value=\"On\""));
  EXPECT_THAT(page, HasSubstr("name=\"UpdateB7\" value=\"Off\""));
  EXPECT_THAT(page, HasSubstr("name=\"button\" value=\"Refresh\""));
  EXPECT_EQ(host->CountCalls("DeviceLastChange"), 4u);
  // Rows alternate, starting even.
  const std::regex row_class(
      "<tr><td colspan=\"1\" class=\"[a-z]+\">[^<]*</td><td colspan=\"1\" "
      "class=\"(tablerow[a-z]+)\">");
  std::vector<std::string> classes;
  for (std::sregex_iterator it(page.begin(), page.end(), row_class), end; it != end; ++it)
    classes.push_back((*it)[1]);
  EXPECT_EQ(classes, (std::vector<std::string>{"tableroweven", "tablerowodd", "tableroweven",
                                               "tablerowodd"}));

  Plugin().settings.Range = true;
  EXPECT_THAT(web.GenPage("1-Wire"), HasSubstr(">21.5\u00BA"
                                               "F</td>"));
  Plugin().settings.Append = true;  // the value text carries its unit already
  EXPECT_THAT(web.GenPage("1-Wire"), HasSubstr("class=\"tablecellon\">21.5</td>"));

  store.Set("Show Device ID", kThermo, "1");
  page = web.GenPage("1-Wire");
  EXPECT_EQ(Count(page, "<tr>") - 2, 5u);
  EXPECT_THAT(page, HasSubstr("<a href=\"1-Wire?ROMID=" + kThermo + "\">"));
}

TEST_F(WebPagesTest, UnitsFollowTheChannelLetter) {
  Plugin().settings.Append = false;
  const std::string ad = "E900000000045120";
  Channel("8C00000000031B26N", "D", 1, "55");
  Channel("8C00000000031B26I", "D", 2, "0.5");
  Channel(ad + "G", "D", 3, "1.2");
  Channel(ad + "J", "D", 4, "2.4");
  Channel("AB00000000054A1DK0", "D", 5, "1200");
  const std::string page = web.GenPage("1-Wire");
  EXPECT_THAT(page, HasSubstr(">55%</td>"));
  EXPECT_THAT(page, HasSubstr(">0.5mV</td>"));
  EXPECT_THAT(page, HasSubstr(">1.2V</td>"));
  EXPECT_THAT(page, HasSubstr(">2.4V</td>"));
  EXPECT_THAT(page, HasSubstr(">1200</td>"));
}

TEST_F(WebPagesTest, NamesAndValuesAreShownAsText) {
  Channel(kThermo + "M", "A", 1, "<b>hot</b>", "<script>alert(1)</script>");
  const std::string page = web.GenPage("1-Wire");
  EXPECT_THAT(page, Not(HasSubstr("<script>")));
  EXPECT_THAT(page, HasSubstr("Here &lt;script&gt;alert(1)&lt;/script&gt;</a>"));
  EXPECT_THAT(page, HasSubstr("&lt;b&gt;hot&lt;/b&gt;"));
}

TEST_F(WebPagesTest, AFailingHostLeavesACellEmpty) {
  Channel(kThermo + "M", "A", 1, "21.5");
  gROMs().FindDev(kSwitch + "S0")->HSString = "Off";  // no host device bound: no host call
  host->failing.insert("DeviceLastChange");
  const std::string page = web.GenPage("1-Wire");
  EXPECT_EQ(Count(page, "<tr>") - 2, 2u);
  EXPECT_EQ(host->CountCalls("DeviceLastChange"), 1u);
  EXPECT_THAT(page, HasSubstr("<input type=\"hidden\" name=\"ref_page\""));
}

}  // namespace
}  // namespace qb::test
