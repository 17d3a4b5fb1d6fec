// The desktop Setup dialog follows what the web pages change or read: a post of the settings page
// unloads it, and a memory dump on a device page refreshes its memory view.
#include <gmock/gmock.h>

#include "alarms/alarm_fixture.h"
#include "web/memory_banks_html.h"
#include "web/query.h"
#include "web/settings_page.h"
#include "web/web_state.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::_;
using ::testing::Return;
using namespace std::chrono_literals;

class DialogFollowsPagesTest : public AlarmTest {
 protected:
  DialogFollowsPagesTest() { Plugin().settings.Database = ""; }
  ~DialogFollowsPagesTest() override { ResetWeb(); }
};

TEST_F(DialogFollowsPagesTest, EveryPostOfTheSettingsPageUnloadsTheDialog) {
  for (const std::string button : {"Update", "Refresh"}) {
    SCOPED_TRACE(button);
    EXPECT_CALL(*dialog, Unload()).Times(1);
    const std::string data = "ref_page=1-Wire&SETTINGS=On&polltime=30&button=" + button;
    ParseQuery(data);
    SettingsPost(data);
    ::testing::Mock::VerifyAndClearExpectations(dialog.get());
  }
}

TEST_F(DialogFollowsPagesTest, AMemoryDumpRefreshesAnOpenDialogsMemoryView) {
  const std::string rom = Rom(0x06, 31);
  Start(json::array({{{"rom", rom}}}));
  Poll(6s);
  EXPECT_CALL(*dialog, IsOpen()).WillRepeatedly(Return(false));
  EXPECT_CALL(*dialog, RefreshMemory(_)).Times(0);
  EXPECT_NE(ShowMemoryBanks(rom + "X"), "");
  ::testing::Mock::VerifyAndClearExpectations(dialog.get());

  EXPECT_CALL(*dialog, IsOpen()).WillRepeatedly(Return(true));
  EXPECT_CALL(*dialog, RefreshMemory(rom)).Times(1);
  EXPECT_NE(ShowMemoryBanks(rom + "X"), "");
}

}  // namespace
}  // namespace qb::test
