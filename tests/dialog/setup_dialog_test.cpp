// The Setup dialog on the offscreen platform, driving the plug-in on a simulated bus.
#include "dialog/setup_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>

#include "core/timer_window.h"
#include "dialog_fixture.h"
#include "logging/readings_table.h"
#include "onewire/device_clock.h"
#include "onewire/device_config.h"
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

}  // namespace
}  // namespace qb::test
