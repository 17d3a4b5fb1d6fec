// The Setup dialog on the offscreen platform, driving the plug-in on a simulated bus.
#include "dialog/setup_dialog.h"

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
#include "dialog/help_page.h"
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

class SetupDialogTest : public DialogBusTest {
 protected:
  void SetUp() override {
    StartBus({{"devices", {{{"rom", kB20}, {"temperature", 21.5}}}}});
    gROMs().Find(kB20 + "M");
    Plugin().parts.dialog = window;
    window->ShowModeless();
  }
  void TearDown() override { window->hide(); }
  std::shared_ptr<SetupWindow> window = std::make_shared<SetupWindow>();
};

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

TEST_F(SetupDialogTest, OnlyTickingGenerateWebPagesShowsTheRestartMessage) {
  window->chkWeb->setChecked(false);  // the untick shows nothing
  EXPECT_TRUE(messages.empty());
  window->chkWeb->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].second, "You will need to restart Hearthmoor for this to take effect.");
  window->chkWeb->click();
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_TRUE(window->Apply->isEnabled());
}

// The charts page's chart is the main chart; the one on a device's page is the device chart.
TEST_F(SetupDialogTest, EachChartFrameIsTitledByTheChartItSizes) {
  auto frame_of = [](QWidget* w) {
    while (w && !qobject_cast<QGroupBox*>(w)) w = w->parentWidget();
    return w ? qobject_cast<QGroupBox*>(w)->title() : QString();
  };
  EXPECT_EQ(frame_of(window->txtChartX1), "Main Chart Settings");
  EXPECT_EQ(window->txtChartX1->text(), "500");
  EXPECT_EQ(frame_of(window->txtChartX), "Device Chart Settings");
  EXPECT_EQ(window->txtChartX->text(), "590");
}

TEST_F(SetupDialogTest, ApplyBoundsValuesShowsTheBoundsAndCancelRestoresTheStore) {
  window->txtPollCycle->setText("70000");
  window->txtChartX->setText("100");
  window->txtSig->setText("300");  // would wrap in the byte it is held in
  QTest::mouseClick(window->Apply, Qt::LeftButton);
  EXPECT_EQ(Plugin().settings.CycleSeconds, 65535);
  EXPECT_EQ(window->txtChartX->text(), "200");
  EXPECT_EQ(window->txtSig->text(), "10");
  EXPECT_FALSE(window->Apply->isEnabled());
  EXPECT_FALSE(store.Get("Settings", "PollCycle").has_value());  // Apply stores nothing

  QTest::mouseClick(window->CancelButton, Qt::LeftButton);
  EXPECT_EQ(Plugin().settings.CycleSeconds, 30);  // back to the stored value
}

TEST_F(SetupDialogTest, ClickOutsideAnyNodeAsksForADevice) {
  window->tbSetup->setCurrentIndex(2);
  QTreeWidgetItem* node = window->FindDeviceNode(kB20);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->parent()->text(0), "DS18B20");
  QWidget* view = window->DevView->viewport();
  QTest::mouseClick(view, Qt::LeftButton, {}, window->DevView->visualItemRect(node).center());
  EXPECT_EQ(window->SelectedRom(), kB20);
  EXPECT_EQ(window->tbDevice->currentIndex(), 0);  // the Temp page
  EXPECT_NE(window->lblInfo->text(), "Please select a device.");

  QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(view->width() / 2, view->height() - 3));
  EXPECT_EQ(window->SelectedRom(), "");
  EXPECT_EQ(window->lblInfo->text(), "Please select a device.");
}

TEST_F(SetupDialogTest, TheInterfacePageOffersWorkingAdaptersAndTheirSpeeds) {
  std::vector<std::string> types;
  for (int i = 0; i < window->IntType->count(); ++i)
    types.push_back(window->IntType->itemText(i).toStdString());
  EXPECT_THAT(types, ::testing::IsSupersetOf({"DS9097E", "DS9097U", "DS2490", "DS1490", "SIM"}));
  EXPECT_THAT(types, ::testing::Not(::testing::Contains("DS1410E")));

  // An adapter that runs the bus at regular speed only (a passive one): nothing faster offered.
  OneWire().max_speed = 0;
  Plugin().settings.IntSpeed = 0;
  window->hide();
  window->ShowModeless();
  EXPECT_TRUE(window->optSpeed[0]->isEnabled());
  EXPECT_FALSE(window->optSpeed[1]->isEnabled());
  EXPECT_FALSE(window->optSpeed[2]->isEnabled());
  OneWire().max_speed = 2;
  window->hide();
  window->ShowModeless();
  EXPECT_TRUE(window->optSpeed[1]->isEnabled());
  EXPECT_TRUE(window->optSpeed[2]->isEnabled());
  EXPECT_FALSE(window->optSpeed[3]->isEnabled());
}

TEST_F(SetupDialogTest, SetAlarmWritesOnlyTheLimitsThatWereChanged) {
  auto* model = bus->FindAs<sim::ThermometerModel>(*access::RomId::Parse(kB20));
  ASSERT_NE(model, nullptr);
  window->DisplayNodeInfo(kB20, dialog::kNodeFromHost);
  ASSERT_EQ(window->SelectedRom(), kB20);
  const auto eeprom = model->Eeprom();
  const auto writes_before = OneWire().adapter->Master().Stats().slots[0];

  QTest::mouseClick(window->cmdSetAlarm, Qt::LeftButton);  // nothing changed: nothing written
  EXPECT_EQ(OneWire().adapter->Master().Stats().slots[0], writes_before);
  EXPECT_EQ(model->Eeprom(), eeprom);

  window->txtHi->selectAll();
  QTest::keyClicks(window->txtHi, "30");
  EXPECT_EQ(window->txtHi->styleSheet(), "color: red");
  QTest::mouseClick(window->cmdSetAlarm, Qt::LeftButton);
  EXPECT_EQ(static_cast<int8_t>(model->Eeprom()[0]), 30);
  EXPECT_EQ(model->Eeprom()[1], eeprom[1]);  // the low limit was not written
  EXPECT_EQ(window->txtHi->styleSheet(), "");

  window->UpDown2->stepBy(3);  // the spin button changes the low box
  QTest::mouseClick(window->cmdSetAlarm, Qt::LeftButton);
  EXPECT_EQ(static_cast<int8_t>(model->Eeprom()[1]), static_cast<int8_t>(eeprom[1]) + 3);
  EXPECT_EQ(static_cast<int8_t>(model->Eeprom()[0]), 30);
}

TEST_F(DialogBusTest, SetClockToPcSetsTheDeviceClockAndTheRowShowsIt) {
  const std::string rom = Rom(0x04, 9);
  StartBus({{"devices", {{{"rom", rom}, {"clock", 0}, {"running", false}}}}});
  gROMs().Find(rom);
  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->DisplayNodeInfo(rom, dialog::kNodeFromHost);
  EXPECT_EQ(window->tbDevice->currentIndex(), 6);  // the Time page
  EXPECT_EQ(window->txtTim[0]->text().toStdString(), "1970-01-01");
  EXPECT_FALSE(window->chkTim[0]->isChecked());

  QTest::mouseClick(window->cmdSetClock[0], Qt::LeftButton);
  const std::string now = DateText(DateOfLibraryTime(LibraryTimeOfLocal(clock.Now())));
  EXPECT_EQ(window->txtTim[0]->text().toStdString().substr(0, 16), now.substr(0, 16));
  EXPECT_TRUE(host->LogTexts("1-Wire ERROR(SetClock)").empty());
  window->hide();
}

// Choosing an output on a DS2450 channel offers a host switch for it, named like every other
// switch channel: the ROM id, "-Switch" and the channel number.
TEST_F(DialogBusTest, AnAd4OutputSwitchIsNamedAfterItsChannel) {
  const std::string rom = Rom(0x20, 12);
  StartBus({{"devices", {{{"rom", rom}, {"inputs", {1.0, 1.0, 1.0, 1.0}}}}}});
  gROMs().Find(rom + "G");
  gROMs().Find(rom + "S2");
  ui.SetAnswer("add-output-switch", true);
  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->DisplayNodeInfo(rom, dialog::kNodeFromHost);
  ASSERT_EQ(window->SelectedRom(), rom);
  window->cmbAD4OutState[2]->setCurrentText("On");
  ASSERT_EQ(ui.questions.size(), 1u);
  std::vector<std::string> names;
  for (const auto& d : host->devices) names.push_back(d->name_);
  EXPECT_THAT(names, ::testing::Contains(rom + "-Switch2"));
  EXPECT_THAT(names, ::testing::Not(::testing::Contains(rom + "I-Switch")));
  window->hide();
}

// An installed program finds its help beside itself in the installation; a program in its build
// folder falls back to the source tree's page.
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
  window->txtPollCycle->setText("99");  // typed, not applied
  store.Set("Settings", "PollCycle", "7");
  window->Unload();
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(window->IsOpen());
  EXPECT_EQ(store.GetOr("Settings", "PollCycle", ""), "7");
  EXPECT_THAT(host->LogTexts("1-Wire Settings"),
              ::testing::Contains(::testing::HasSubstr("Setup dialog closed")));
  window->ShowModeless();
  EXPECT_TRUE(window->IsOpen());
  EXPECT_EQ(window->txtPollCycle->text(), "7");
}

// The memory view of an open dialog follows a read elsewhere of the same device's memory, unless
// it is paused.
TEST_F(DialogBusTest, RefreshMemoryReadsTheShownDevicesMemoryAgain) {
  const std::string rom = Rom(0x06, 14);
  StartBus({{"devices", {{{"rom", rom}}}}});
  gROMs().Find(rom);
  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->DisplayNodeInfo(rom, dialog::kNodeFromHost);
  ASSERT_GT(window->DataList->count(), 0);
  EXPECT_TRUE(window->DataList->item(0)->text().startsWith("  0: 00 00"));
  auto* model = bus->FindAs<sim::NvramModel>(*access::RomId::Parse(rom));
  ASSERT_NE(model, nullptr);
  model->Memory()[0] = 0xAB;

  window->RefreshMemory(Rom(0x06, 15));  // another device: nothing read
  EXPECT_TRUE(window->DataList->item(0)->text().startsWith("  0: 00 00"));
  QTest::mouseClick(window->cmdMemPause, Qt::LeftButton);
  window->RefreshMemory(rom);  // paused
  EXPECT_TRUE(window->DataList->item(0)->text().startsWith("  0: 00 00"));
  QTest::mouseClick(window->cmdMemPause, Qt::LeftButton);
  window->RefreshMemory(rom);
  EXPECT_TRUE(window->DataList->item(0)->text().startsWith("  0: AB 00"))
      << window->DataList->item(0)->text().toStdString();
  window->hide();
}

TEST_F(SetupDialogTest, ADatabaseConnectionListsItsTablesAndTheChosenTablesColumns) {
  TempDir dir;
  const std::string connection = "Provider=SQLite;Data Source=" + (dir.path() / "t.db").string();
  ASSERT_EQ(CreateSqliteReadingsDatabase((dir.path() / "t.db").string(), "Readings",
                                         {"Sensor", "Taken", "Celsius"}),
            "");
  window->txtDB->setText(QString::fromStdString(connection));
  window->Browse(1);
  ASSERT_EQ(window->TableCombo->count(), 1);
  EXPECT_EQ(window->TableCombo->currentText(), "Readings");
  EXPECT_EQ(window->FieldCombo[0]->currentText(), "Sensor");
  EXPECT_EQ(window->FieldCombo[1]->currentText(), "Taken");
  EXPECT_EQ(window->FieldCombo[2]->currentText(), "Celsius");
  EXPECT_EQ(window->txtSQL->text(), "INSERT INTO Readings (Sensor, Taken, Celsius) VALUES");
  EXPECT_TRUE(window->Apply->isEnabled());

  // A database that cannot be opened leaves the choices as they were.
  window->txtDB->setText("Provider=SQLite;Data Source=/nonexistent/dir/x.db");
  window->Browse(1);
  EXPECT_EQ(window->FieldCombo[2]->currentText(), "Celsius");
}

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
  Plugin().parts.cycle = cycle;
  auto timers = std::make_shared<frm1Wire>(loop);
  Plugin().parts.timers = timers;
  LoadProcessSettings();
  Plugin().settings.IntType = "SIM";
  timers->SetPollTimerEnabled(true);
  Plugin().PollingStarted = true;

  loop.AdvanceAndRun(clock, 65s, 250ms);
  const int at_30s = cycle->reads;
  EXPECT_GE(at_30s, 2) << at_30s;
  EXPECT_LE(at_30s, 3) << at_30s;

  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->txtPollCycle->setText("5");
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

TEST_F(DialogBusTest, TheQuadADPageShowsEachChannelsReadingOnceRead) {
  const std::string quad = Rom(0x20, 6);
  StartBus({{"devices", {{{"rom", quad}, {"inputs", {1.2, 2.0, 0.0, 0.4}}}}}});
  Plugin().parts.cycle = std::make_shared<OneWireBusCycle>();
  auto timers = std::make_shared<frm1Wire>(loop);
  Plugin().parts.timers = timers;
  LoadProcessSettings();
  Plugin().settings.IntType = "SIM";
  timers->SetPollTimerEnabled(true);
  Plugin().PollingStarted = true;
  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  // The page is opened before the bus was scanned, then left open while the plug-in polls.
  gROMs().Find(quad);
  window->DisplayNodeInfo(quad, dialog::kNodeFromHost);
  loop.AdvanceAndRun(clock, 40s, 250ms);
  for (int ch = 0; ch < 4; ++ch) {
    const std::string shown = window->lblAD4[ch]->text().toStdString();
    EXPECT_EQ(shown.find("Wait..."), std::string::npos) << "channel " << ch << ": " << shown;
  }
  window->hide();
}

// Fahrenheit chosen in the dialog: the thermometers' host values say so at once, as when the
// scale is switched on the settings page, instead of keeping Centigrade values until each device
// is read again.
TEST_F(DialogBusTest, ApplyingFahrenheitConvertsTheShownTemperaturesAtOnce) {
  StartBus({{"devices", {{{"rom", kB20}, {"temperature", 20}}}}});
  Plugin().parts.cycle = std::make_shared<OneWireBusCycle>();
  auto timers = std::make_shared<frm1Wire>(loop);
  Plugin().parts.timers = timers;
  LoadProcessSettings();
  Plugin().settings.IntType = "SIM";
  timers->SetPollTimerEnabled(true);
  Plugin().PollingStarted = true;
  loop.AdvanceAndRun(clock, 40s, 250ms);
  const auto channel = gROMs().FindDev(kB20 + "M");
  ASSERT_TRUE(channel && channel->dc != -1);
  ASSERT_EQ(ReadNumber(host->DeviceString(channel->Code())), 20);

  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->OptionTemp[1]->setChecked(true);
  QTest::mouseClick(window->Apply, Qt::LeftButton);
  EXPECT_TRUE(Plugin().settings.Range);
  EXPECT_EQ(ReadNumber(host->DeviceString(channel->Code())), 68);
  window->OptionTemp[0]->setChecked(true);
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
