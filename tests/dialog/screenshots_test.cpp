// Pictures of the Setup dialog on the demo bus: the five main tabs and three device pages. They go
// to the build folder, and to docs/ with QB_UPDATE_SCREENSHOTS=1 (run under Xvfb with
// QT_QPA_PLATFORM=xcb for the pictures in docs/).
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

using namespace std::chrono_literals;

TEST_F(DialogBusTest, ScreenshotsOfTheTabsAndDevicePagesOnTheDemoBus) {
  StartBus(sim::LoadBusFile(QB_DEMO_BUS, clock));
  Plugin().parts.devices->GetDevices();  // the scan: records and host devices
  Plugin().parts.devices->GetDevices();
  OneWireBusCycle().ReadNet();
  auto window = std::make_shared<dialog::SetupWindow>();
  Plugin().parts.dialog = window;
  window->resize(780, 580);
  window->ShowModeless();

  const char* env = std::getenv("QB_UPDATE_SCREENSHOTS");
  const std::filesystem::path dir = env && std::string(env) == "1"
                                        ? std::filesystem::path(QB_SOURCE_DIR) / "docs"
                                        : std::filesystem::path(QB_SCREENSHOT_DIR);
  std::filesystem::create_directories(dir);
  auto shoot = [&](const std::string& name) {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    const QPixmap picture = window->grab();
    EXPECT_FALSE(picture.isNull());
    EXPECT_TRUE(picture.save(QString::fromStdString((dir / name).string()), "PNG")) << name;
  };
  const char* tabs[] = {"setup-interface.png", "setup-settings.png", "setup-devices.png",
                        "setup-database.png", "setup-web-page.png"};
  for (int t = 0; t < 5; ++t) {
    window->tbSetup->setCurrentIndex(t);
    if (t == 2) window->devices->DisplayNodeInfo("A300000000049E28", dialog::kNodeFromHost);
    shoot(tabs[t]);
  }
  window->tbSetup->setCurrentIndex(2);
  const std::pair<const char*, const char*> pages[] = {
      {"A300000000049E28", "setup-device-temp.png"},
      {"E900000000045120", "setup-device-ad4.png"},
      {"C400000000000D06", "setup-device-mem.png"}};
  for (const auto& [rom, file] : pages) {
    window->devices->DisplayNodeInfo(rom, dialog::kNodeFromHost);
    EXPECT_EQ(window->devices->SelectedRom(), rom);
    shoot(file);
  }
  EXPECT_EQ(window->devices->tbDevice->currentIndex(), 5);  // the memory button shows its Mem page
  window->hide();
}

}  // namespace
}  // namespace qb::test
