// The Setup dialog on the demo as a user sees it on a real X server (ctest runs these under
// xvfb-run, see tests/CMakeLists.txt): pictures of every tab and of every device page with a
// device of its kind, no text cut off on any of them, and a device tree that shows each ROM id
// whole. The pictures go to the build folder, and to docs/dialog/ with QB_UPDATE_SCREENSHOTS=1:
//
//   QB_UPDATE_SCREENSHOTS=1 ctest --test-dir build/main -R dialog.on_x11
#include <QApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QPixmap>
#include <QScrollBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "cut_text.h"
#include "dialog/devices_tab.h"
#include "dialog/setup_dialog.h"
#include "dialog_fixture.h"

namespace qb::test {
namespace {

using ::testing::IsEmpty;

// The demo's dialog on an X server; the offscreen platform's fonts and sizes would tell nothing.
class DialogOnX11 : public DemoDialogTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != "xcb")
      GTEST_SKIP() << "needs an X server: ctest runs it as dialog.on_x11 under xvfb-run ("
                   << QGuiApplication::platformName().toStdString() << " platform here)";
    Plugin().parts.dialog = window;
  }
  // Opens each device page with a device of its kind; `seen` is called on each.
  void ForEachDevicePage(const std::function<void(const char* file)>& seen) {
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
    window->tbSetup->setCurrentIndex(2);
    for (const auto& [rom, page, file] : pages) {
      window->devices->DisplayNodeInfo(rom, dialog::kNodeFromHost);
      EXPECT_EQ(window->devices->SelectedRom(), rom);
      window->devices->SelectPage(page);  // the page of the picture, where the click chose another
      EXPECT_EQ(window->devices->tbDevice->currentIndex(), page) << file;
      if (dialog::DevicePage* shown = window->devices->Page(page); shown && shown->block) {
        EXPECT_NE(shown->block->txtValue->text(), "Wait...") << file;
      }
      for (int i = 0; i < 5; ++i) QApplication::processEvents();
      seen(file);
    }
  }
  void TearDown() override { window->hide(); }
  std::shared_ptr<dialog::SetupWindow> window = std::make_shared<dialog::SetupWindow>();
};

TEST_F(DialogOnX11, ScreenshotsOfEveryTabAndDevicePageWithNothingCutOff) {
  StartDemo();
  window->resize(780, 580);
  window->ShowModeless();

  const char* env = std::getenv("QB_UPDATE_SCREENSHOTS");
  const std::filesystem::path dir = env && std::string(env) == "1"
                                        ? std::filesystem::path(QB_SOURCE_DIR) / "docs" / "dialog"
                                        : std::filesystem::path(QB_SCREENSHOT_DIR) / "dialog";
  std::filesystem::create_directories(dir);
  auto shoot = [&](const std::string& name) {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    EXPECT_THAT(CutTexts(window.get()), IsEmpty()) << name;
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
  ForEachDevicePage([&](const char* file) { shoot(file); });
}

// The names the scan gives the host devices it creates (ROM id and kind) show whole on every
// device page.
TEST_F(DialogOnX11, DevicePagesShowTheNamesTheScanGivesWhole) {
  StartDemo(false);
  window->resize(780, 580);
  window->ShowModeless();
  ForEachDevicePage([&](const char* file) {
    auto* page = window->devices->Page(window->devices->tbDevice->currentIndex());
    if (page && page->block) {
      EXPECT_THAT(page->block->txtname->text().toStdString(),
                  ::testing::StartsWith(window->devices->SelectedRom()))
          << file;
    }
    EXPECT_THAT(CutTexts(window.get()), IsEmpty()) << file;
  });
}

// The device tree at the dialog's own size shows every ROM id and part name whole, without a
// sideways scroll.
TEST_F(DialogOnX11, TheTreeShowsEveryRomIdAndPartNameWhole) {
  StartDemo();
  window->ShowModeless();
  window->tbSetup->setCurrentIndex(2);
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  QTreeWidget* tree = window->devices->DevView;
  const int room = tree->viewport()->width();
  EXPECT_EQ(tree->horizontalScrollBar()->maximum(), 0);
  int nodes = 0;
  for (int g = 0; g < tree->topLevelItemCount(); ++g) {
    QTreeWidgetItem* group = tree->topLevelItem(g);
    std::vector<QTreeWidgetItem*> items{group};
    for (int c = 0; c < group->childCount(); ++c) items.push_back(group->child(c));
    for (QTreeWidgetItem* item : items) {
      const int needed = tree->visualItemRect(item).left() + tree->iconSize().width() + 4 +
                         tree->fontMetrics().horizontalAdvance(item->text(0));
      EXPECT_LE(needed, room) << item->text(0).toStdString();
      ++nodes;
    }
  }
  EXPECT_GT(nodes, 30);  // every device of the demo and its part's group
}

}  // namespace
}  // namespace qb::test
