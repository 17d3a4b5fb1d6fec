// The Setup dialog as a whole on the offscreen platform: its buttons, the settings through all
// tabs, Help, and the dialog in the running plug-in on a simulated bus.
#include "dialog/setup_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeWidget>

#include "access/masters/adapter_types.h"
#include "access/provider.h"
#include "core/timer_window.h"
#include "dialog/bus_claim.h"
#include "dialog/devices_tab.h"
#include "dialog/help_page.h"
#include "dialog/settings_page.h"
#include "dialog/temp_page.h"
#include "dialog/web_page.h"
#include "dialog_fixture.h"
#include "logging/readings_table.h"
#include "onewire/device_clock.h"
#include "onewire/device_config.h"
#include "registry/value_text.h"
#include "sim/memory_models.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using namespace std::chrono_literals;
using dialog::SetupWindow;

const std::string kB20 = access::RomId::Make(0x28, 1).ToString();

TEST_F(SetupDialogTest, CancelShutsThePluginDownOnlyWhenTheAdapterIsNotReady) {
  QTest::mouseClick(window->CancelButton, Qt::LeftButton);
  EXPECT_FALSE(Plugin().ShutdownRequested);
  EXPECT_TRUE(messages.empty());

  Plugin().AdapterReady = false;
  window->ShowModeless();
  EXPECT_TRUE(window->IsOpen());
  QTest::mouseClick(window->CancelButton, Qt::LeftButton);
  EXPECT_FALSE(window->IsOpen());
  EXPECT_TRUE(Plugin().ShutdownRequested);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].second, "Quellbrook 1-Wire Interface\n\nShutting down.");
  EXPECT_THAT(host->LogTexts("1-Wire I/F FATAL"), ::testing::ElementsAre("Shutting down plug-in."));
}

TEST_F(SetupDialogTest, ApplyBoundsValuesShowsTheBoundsAndCancelRestoresTheStore) {
  window->settings_page->txtPollCycle->setText("70000");
  window->web_page->txtChartX->setText("100");
  window->settings_page->txtSig->setText("300");  // would wrap in the byte it is held in
  QTest::mouseClick(window->Apply, Qt::LeftButton);
  EXPECT_EQ(Plugin().settings.CycleSeconds, 65535);
  EXPECT_EQ(window->web_page->txtChartX->text(), "200");
  EXPECT_EQ(window->settings_page->txtSig->text(), "10");
  EXPECT_FALSE(window->Apply->isEnabled());
  EXPECT_FALSE(store.Get("Settings", "PollCycle").has_value());  // Apply stores nothing

  QTest::mouseClick(window->CancelButton, Qt::LeftButton);
  EXPECT_EQ(Plugin().settings.CycleSeconds, 30);  // back to the stored value
}

TEST(HelpPage, FoundBesideTheInstalledProgramElseInTheSourceTree) {
  TempDir dir;
  const auto exe = dir.path() / "opt" / "bin" / "quellbrook-1wire";
  const auto installed = dir.path() / "opt" / "share" / "quellbrook-1wire" / "help" / "index.html";
  const std::string source = (dir.path() / "src" / "index.html").string();
  std::filesystem::create_directories(dir.path() / "src");
  WriteFile(source, "<html></html>");
  dialog::HelpLookup found = dialog::FindHelpPage(exe, source);
  EXPECT_EQ(found.page, source);
  EXPECT_THAT(found.tried, ::testing::ElementsAre(installed.string(), source));
  std::filesystem::create_directories(installed.parent_path());
  WriteFile(installed, "<html></html>");
  EXPECT_EQ(dialog::FindHelpPage(exe, source).page, installed.string());
  found = dialog::FindHelpPage(dir.path() / "elsewhere" / "quellbrook-1wire", "");
  EXPECT_EQ(found.page, "");
  EXPECT_EQ(found.tried.size(), 1u);
}

// Help shows the page in a window of its own and logs it; without a page it logs and says where
// it looked.
TEST_F(SetupDialogTest, HelpShowsItsPageOrSaysWhereItLooked) {
  window->help_executable = "/nonexistent/bin/quellbrook-1wire";
  window->help_source_page = std::string(QB_SOURCE_DIR) + "/docs/help/index.html";
  QTest::mouseClick(window->cmdHelp, Qt::LeftButton);
  ASSERT_NE(window->help_window, nullptr);
  EXPECT_TRUE(window->help_window->isVisible());
  auto* browser = window->help_window->findChild<QTextBrowser*>("txtHelp");
  ASSERT_NE(browser, nullptr);
  EXPECT_EQ(browser->documentTitle(), "Quellbrook 1-Wire Interface: Setup dialog help");
  EXPECT_THAT(browser->toPlainText().toStdString(), ::testing::HasSubstr("1-Wire Interface Setup"));
  EXPECT_THAT(host->LogTexts("1-Wire Setup"),
              ::testing::Contains("Help: showing " + window->help_source_page));
  window->help_window->hide();

  window->help_source_page = "/nonexistent/docs/help/index.html";
  QTest::mouseClick(window->cmdHelp, Qt::LeftButton);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, "Help");
  EXPECT_THAT(messages[0].second,
              ::testing::HasSubstr("The help page could not be opened: it is not in "
                                   "/nonexistent/share/quellbrook-1wire/help/index.html nor in "
                                   "/nonexistent/docs/help/index.html"));
  EXPECT_THAT(host->LogTexts("1-Wire Setup"), ::testing::Contains(messages[0].second));
}

// Settings stored elsewhere (the web page) unload the dialog: an open one closes without storing
// what its controls held, and its next showing reads the stored settings.
TEST_F(SetupDialogTest, UnloadClosesWithoutStoringAndTheNextShowingReadsTheStore) {
  window->settings_page->txtPollCycle->setText("99");  // typed, not applied
  store.Set("Settings", "PollCycle", "7");
  window->Unload();
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(window->IsOpen());
  EXPECT_EQ(store.GetOr("Settings", "PollCycle", ""), "7");
  EXPECT_THAT(host->LogTexts("1-Wire Settings"),
              ::testing::Contains(::testing::HasSubstr("Setup dialog closed")));
  window->ShowModeless();
  EXPECT_TRUE(window->IsOpen());
  EXPECT_EQ(window->settings_page->txtPollCycle->text(), "7");
}

// The memory view of an open dialog follows a read elsewhere of the same device's memory, unless
// it is paused.

// The whole program's path on the demo bus: the poll tick of the timer window reads the network
// at the configured cycle; OK in the dialog changes the cycle of the running plug-in.
class CountingCycle : public BusCycle {
 public:
  void CheckPresence() override { real.CheckPresence(); }
  void ReadNet() override {
    ++reads;
    real.ReadNet();
  }
  OneWireBusCycle real;
  int reads = 0;
};

TEST_F(DialogBusTest, OkChangesThePollRateOfTheRunningPluginOnTheDemoBus) {
  StartBus(sim::LoadBusFile(QB_DEMO_BUS, clock));
  auto cycle = std::make_shared<CountingCycle>();
  StartPolling(cycle);

  loop.AdvanceAndRun(clock, 65s, 250ms);
  const int at_30s = cycle->reads;
  EXPECT_GE(at_30s, 2) << at_30s;
  EXPECT_LE(at_30s, 3) << at_30s;

  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->settings_page->txtPollCycle->setText("5");
  QTest::mouseClick(window->OKButton, Qt::LeftButton);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(store.GetOr("Settings", "PollCycle", ""), "5");

  cycle->reads = 0;
  loop.AdvanceAndRun(clock, 31s, 250ms);
  EXPECT_GE(cycle->reads, 5) << cycle->reads;
  EXPECT_LE(cycle->reads, 7) << cycle->reads;
  // The readings reached the host.
  EXPECT_FALSE(host->LogTexts("1-Wire I/F ERROR:").size() > 0);
  EXPECT_GT(gROMs().Count(), 10);
}

// Every tab and box of the dialog says what it is, a ROM id shows in full in the tree, and the
// spin buttons get the room their arrows need.
TEST_F(DialogBusTest, EveryTabAndBoxSaysWhatItIsAndShowsItsContentInFull) {
  StartBus(sim::LoadBusFile(QB_DEMO_BUS, clock));
  Plugin().TimerLoop = 2;
  Plugin().parts.devices->GetDevices();
  // A desktop's font, larger than the offscreen platform's own.
  const QFont font_before = QApplication::font();
  QFont desktop = font_before;
  desktop.setPixelSize(15);
  QApplication::setFont(desktop);
  auto window = std::make_shared<SetupWindow>();
  QApplication::setFont(font_before);
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->tbSetup->setCurrentIndex(2);
  QApplication::processEvents();
  for (const QTabWidget* tabs : window->findChildren<QTabWidget*>())
    for (int i = 0; i < tabs->count(); ++i)
      if (tabs->isTabVisible(i)) {
        EXPECT_FALSE(tabs->tabText(i).isEmpty()) << tabs->objectName().toStdString() << " " << i;
        EXPECT_NE(tabs->tabText(i), "None") << tabs->objectName().toStdString() << " " << i;
      }
  for (const QGroupBox* box : window->findChildren<QGroupBox*>()) {
    EXPECT_FALSE(box->title().isEmpty());
    EXPECT_FALSE(box->title().contains("ChartDirector")) << box->title().toStdString();
  }

  QTreeWidget* tree = window->devices->DevView;
  const int room = tree->viewport()->width();
  int nodes = 0;
  for (int g = 0; g < tree->topLevelItemCount(); ++g)
    for (int c = 0; c < tree->topLevelItem(g)->childCount(); ++c, ++nodes) {
      QTreeWidgetItem* node = tree->topLevelItem(g)->child(c);
      const int needed = tree->visualItemRect(node).left() + tree->iconSize().width() +
                         tree->fontMetrics().horizontalAdvance(node->text(0)) + 8;
      EXPECT_LE(needed, room) << node->text(0).toStdString();
    }
  EXPECT_GT(nodes, 10);

  window->devices->tbDevice->setCurrentIndex(dialog::kTempPage);
  QApplication::processEvents();
  for (const QSpinBox* spin : {window->devices->temp->UpDown1, window->devices->temp->UpDown2})
    EXPECT_GE(spin->width(), spin->minimumSizeHint().width());
  window->hide();
}

// The first scan meets a battery monitor and asks whether it is a humidity sensor. The user opens
// the dialog and takes a minute to answer: polling goes on meanwhile, the dialog's tree shows
// every device, and the answer then takes effect.
class SlowAnswer : public HeadlessUserInterface {
 public:
  SlowAnswer(Clock& clock, std::function<void()> meanwhile)
      : HeadlessUserInterface(clock, nullptr), meanwhile_(std::move(meanwhile)) {}
  bool Ask(const Question& question) override {
    asked.push_back(question.id);
    busy_when_asked = Plugin().TimerBusy;
    meanwhile_();
    return false;
  }
  bool AnswersAtOnce() const override { return false; }  // a person answers
  std::vector<std::string> asked;
  bool busy_when_asked = false;

 private:
  std::function<void()> meanwhile_;
};

TEST_F(DialogBusTest, AQuestionDuringAScanDoesNotStopPolling) {
  const std::string battery = Rom(0x26, 20), thermometer = Rom(0x28, 21), quad = Rom(0x20, 22);
  StartBus({{"devices",
             {{{"rom", battery}}, {{"rom", thermometer}, {"temperature", 20}}, {{"rom", quad}}}}});
  auto cycle = std::make_shared<CountingCycle>();
  StartPolling(cycle);
  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  int reads_while_asked = -1;
  int nodes_while_asked = -1;
  SlowAnswer slow(clock, [&] {
    window->ShowModeless();
    const int before = cycle->reads;
    loop.AdvanceAndRun(clock, 60s, 250ms);
    reads_while_asked = cycle->reads - before;
    QTest::mouseClick(window->cmdRefresh, Qt::LeftButton);
    QTreeWidget* tree = window->devices->DevView;
    nodes_while_asked = 0;
    for (int g = 0; g < tree->topLevelItemCount(); ++g)
      nodes_while_asked += tree->topLevelItem(g)->childCount();
  });
  UserInterface* before = Plugin().services.ui;
  Plugin().services.ui = &slow;
  loop.AdvanceAndRun(clock, 40s, 250ms);
  Plugin().services.ui = before;

  EXPECT_THAT(slow.asked, ::testing::ElementsAre("ds2438-humidity"));
  EXPECT_FALSE(slow.busy_when_asked) << "asked in the middle of a scan";
  EXPECT_GE(reads_while_asked, 1) << "polling stopped while the question was open";
  EXPECT_EQ(nodes_while_asked, 3);
  // Answered No: a voltage monitor from the next enumeration on, not asked again.
  EXPECT_EQ(store.GetOr("DS2438", battery, ""), "0");
  auto has_host_device = [&](const std::string& key) {
    const auto channel = gROMs().FindDev(key);
    return channel && channel->dc != -1;
  };
  EXPECT_TRUE(has_host_device(battery + "G"));
  EXPECT_FALSE(has_host_device(battery + "N"));
  EXPECT_EQ(slow.asked.size(), 1u);
  window->hide();
}

// Fahrenheit chosen in the dialog: the thermometers' host values say so at once, as when the
// scale is switched on the settings page, instead of keeping Centigrade values until each device
// is read again.
TEST_F(DialogBusTest, ApplyingFahrenheitConvertsTheShownTemperaturesAtOnce) {
  StartBus({{"devices", {{{"rom", kB20}, {"temperature", 20}}}}});
  StartPolling();
  loop.AdvanceAndRun(clock, 40s, 250ms);
  const auto channel = gROMs().FindDev(kB20 + "M");
  ASSERT_TRUE(channel && channel->dc != -1);
  ASSERT_EQ(ReadNumber(host->DeviceString(channel->Code())), 20);

  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->settings_page->OptionTemp[1]->setChecked(true);
  QTest::mouseClick(window->Apply, Qt::LeftButton);
  EXPECT_TRUE(Plugin().settings.Range);
  EXPECT_EQ(ReadNumber(host->DeviceString(channel->Code())), 68);
  window->settings_page->OptionTemp[0]->setChecked(true);
  QTest::mouseClick(window->OKButton, Qt::LeftButton);
  EXPECT_EQ(ReadNumber(host->DeviceString(channel->Code())), 20);
}

}  // namespace
// Autodetect takes the first adapter found: its type and port fill the Interface fields, and the
// default adapter file it writes opens the same adapter again.
TEST(Autodetect, TheFirstAdapterFoundBecomesTheDefaultAdapter) {
  TempDir dir;
  const std::string file = dir.str() + "/default-adapter.ini";
  auto found = dialog::TakeFirstAdapter(
      file, {{"DS2482", "/dev/i2c-1:0x1A:3", "DS2482-800 channel 3"},
             {"DS9097U", "/dev/ttyS0", "DS2480B serial adapter on /dev/ttyS0"}});
  ASSERT_TRUE(found.found);
  EXPECT_EQ(found.type, "DS2482");
  EXPECT_EQ(found.port, "/dev/i2c-1:0x1A:3");
  EXPECT_THAT(found.message, ::testing::HasSubstr("Also found: DS9097U /dev/ttyS0"));
  access::DefaultAdapter d = access::ReadDefaultAdapter(file);
  const std::string type = access::AdapterTypeForPortType(d.port_type);
  EXPECT_EQ(type, "DS2482");
  EXPECT_EQ(access::LookUpAdapterPort(type, d.port_number).port_text, "/dev/i2c-1:0x1A:3");

  // The first serial ports are stored by number, as the settings hold them.
  found = dialog::TakeFirstAdapter(file, {{"DS9097U", "/dev/ttyS1", "DS2480B"}});
  EXPECT_EQ(found.port, "2");
  d = access::ReadDefaultAdapter(file);
  EXPECT_EQ(access::LookUpAdapterPort(access::AdapterTypeForPortType(d.port_type), d.port_number)
                .port_text,
            "/dev/ttyS1");

  // A kernel master fills the fields but has no driver port type for the file.
  found = dialog::TakeFirstAdapter(file, {{"W1", "w1_bus_master1", "kernel master"}});
  EXPECT_EQ(found.type, "W1");
  EXPECT_THAT(found.message, ::testing::HasSubstr("not saved"));
  EXPECT_EQ(access::ReadDefaultAdapter(file).port_number, "2") << "the file was left alone";

  EXPECT_FALSE(dialog::TakeFirstAdapter(file, {}).found);
}

}  // namespace qb::test
