// Pictures of the Setup dialog on the demo bus: every tab, and every device page with a device of
// its kind. They go to the build folder, and to docs/dialog/ with QB_UPDATE_SCREENSHOTS=1 (run
// under Xvfb with QT_QPA_PLATFORM=xcb for the pictures in docs/).
#include <QApplication>
#include <QPixmap>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>

#include "dialog/devices_tab.h"
#include "dialog/setup_dialog.h"
#include "dialog_fixture.h"

namespace qb::test {
namespace {

TEST_F(DemoDialogTest, ScreenshotsOfEveryTabAndDevicePageOnTheDemoBus) {
  StartDemo();
  auto window = std::make_shared<dialog::SetupWindow>();
  Plugin().parts.dialog = window;
  window->resize(780, 580);
  window->ShowModeless();

  const char* env = std::getenv("QB_UPDATE_SCREENSHOTS");
  const std::filesystem::path dir = env && std::string(env) == "1"
                                        ? std::filesystem::path(QB_SOURCE_DIR) / "docs" / "dialog"
                                        : std::filesystem::path(QB_SCREENSHOT_DIR) / "dialog";
  std::filesystem::create_directories(dir);
  auto shoot = [&](const std::string& name) {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    const QPixmap picture = window->grab();
    EXPECT_FALSE(picture.isNull());
    EXPECT_TRUE(picture.save(QString::fromStdString((dir / name).string()), "PNG")) << name;
  };
  const char* tabs[] = {"interface.png", "settings.png", "devices.png", "database.png",
                        "web-page.png"};
  for (int t = 0; t < 5; ++t) {
    window->tbSetup->setCurrentIndex(t);
    shoot(tabs[t]);
  }
  window->tbSetup->setCurrentIndex(2);
  // A device of each kind, and its page.
  const struct {
    const char* rom;
    int page;
    const char* file;
  } pages[] = {{"A300000000049E28", dialog::kTempPage, "device-temp.png"},
               {"8C00000000031B26", dialog::kADPage, "device-ad.png"},
               {"E900000000045120", dialog::kQuadADPage, "device-ad4.png"},
               {"C400000000000D06", dialog::kMemPage, "device-mem.png"},
               {"3B00000000000A04", dialog::kTimePage, "device-time.png"},
               {"0A000000000E013A", dialog::kSwitchPage, "device-misc.png"},
               {"B90000000007132C", dialog::kPotPage, "device-pot.png"},
               {"3600000000090B01", dialog::kInfoPage, "device-info.png"}};
  for (const auto& [rom, page, file] : pages) {
    window->devices->DisplayNodeInfo(rom, dialog::kNodeFromHost);
    EXPECT_EQ(window->devices->SelectedRom(), rom);
    window->devices->SelectPage(page);  // the page of the picture, where the click chose another
    shoot(file);
  }
  window->hide();
}

}  // namespace
}  // namespace qb::test
