// The settings tabs of the Setup dialog, each built alone: what a user changes on a tab reaches
// the settings it stands for, and filling a tab from settings changes nothing.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "dialog/database_page.h"
#include "dialog/interface_page.h"
#include "dialog/settings_page.h"
#include "dialog/web_page.h"
#include "dialog_fixture.h"
#include "logging/readings_table.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

// Counts the changes a tab reports (the dialog enables Apply on each).
template <typename Page>
struct Shown {
  Shown() {
    page.changed = [this] { ++changes; };
    page.Show(settings);
  }
  Settings Read() const {
    Settings s = settings;
    page.Read(s);
    return s;
  }
  Page page;
  Settings settings;
  int changes = 0;
};

void TypeInto(QLineEdit* box, const char* text) {
  box->selectAll();
  QTest::keyClicks(box, text);
}

TEST_F(PluginTest, EachSettingsTabShowsItsSettingsQuietlyAndReadsBackWhatAUserChanged) {
  {
    Shown<dialog::SettingsPage> tab;
    EXPECT_EQ(tab.changes, 0) << "filling the controls is no change";
    EXPECT_EQ(tab.page.txtPollCycle->text(), "30");
    TypeInto(tab.page.txtPollCycle, "12");
    tab.page.OptionTemp[1]->click();
    tab.page.optAlarm[2]->click();
    tab.page.cmbDebug->setCurrentIndex(3);
    TypeInto(tab.page.txtSpeech[1], "Too warm");
    EXPECT_GT(tab.changes, 0);
    const Settings s = tab.Read();
    EXPECT_EQ(s.CycleSeconds, 12);
    EXPECT_TRUE(s.Range);
    EXPECT_EQ(s.AlarmMode, 2);
    EXPECT_EQ(s.DebugLevel, 3);
    EXPECT_EQ(s.AlarmSpeech, "Too warm");
  }
  {
    Shown<dialog::InterfacePage> tab;
    EXPECT_EQ(tab.changes, 0);
    tab.page.IntType->setCurrentText("DS2490");
    tab.page.optSpeed[2]->click();
    tab.page.ChkDefault->click();
    EXPECT_GT(tab.changes, 0);
    const Settings s = tab.Read();
    EXPECT_EQ(s.IntType, "DS2490");
    EXPECT_EQ(s.IntSpeed, 2);
    EXPECT_NE(s.DefaultPort, tab.settings.DefaultPort);
    EXPECT_EQ(tab.page.IntPort->count(), 4) << "a USB adapter offers four ports";
    EXPECT_THAT(tab.page.lblVer->text().toStdString(), ::testing::HasSubstr("USB"));
  }
  {
    Shown<dialog::DatabasePage> tab;
    EXPECT_EQ(tab.changes, 0);
    tab.page.optDB[1]->click();
    tab.page.chkChanges->click();
    tab.page.FieldCombo[2]->setEditText("Celsius");
    EXPECT_GT(tab.changes, 0);
    const Settings s = tab.Read();
    EXPECT_TRUE(s.DeviceIDByName);
    EXPECT_NE(s.chkChanges, tab.settings.chkChanges);
    EXPECT_EQ(s.Fields[2], "Celsius");
    EXPECT_THAT(tab.page.txtSQL->text().toStdString(), ::testing::HasSubstr("Celsius"));
  }
  {
    Shown<dialog::WebPage> tab;
    EXPECT_EQ(tab.changes, 0);
    TypeInto(tab.page.txtChartY1, "333");
    tab.page.ChooseColour(1, QColor(1, 2, 3));  // what the colour picker hands back
    tab.page.chkPages[3]->click();
    tab.page.optPage[1]->click();
    EXPECT_EQ(tab.page.cmdColour[1]->styleSheet(), "background-color: #010203; color: white");
    EXPECT_EQ(tab.page.cmdColour[1]->text(), "#010203");
    const Settings s = tab.Read();
    EXPECT_EQ(s.ChartY1, 333);
    EXPECT_EQ(s.EndColor, 1 + 2 * 256 + 3 * 65536);
    EXPECT_EQ(s.StartColor, tab.settings.StartColor);
    EXPECT_NE(s.WebPages[3], tab.settings.WebPages[3]);
    EXPECT_EQ(s.DefaultPage, 1);
  }
}

TEST_F(PluginTest, OnlyTickingGenerateWebPagesShowsTheRestartMessage) {
  Shown<dialog::InterfacePage> tab;
  tab.page.chkWeb->setChecked(false);  // the untick shows nothing
  EXPECT_TRUE(messages.empty());
  tab.page.chkWeb->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].second, "You will need to restart Hearthmoor for this to take effect.");
  tab.page.chkWeb->click();
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_GT(tab.changes, 0);
}

// The charts page's chart is the main chart; the one on a device's page is the device chart.
TEST_F(PluginTest, EachChartFrameIsTitledByTheChartItSizes) {
  Shown<dialog::WebPage> tab;
  auto frame_of = [](QWidget* w) {
    while (w && !qobject_cast<QGroupBox*>(w)) w = w->parentWidget();
    return w ? qobject_cast<QGroupBox*>(w)->title() : QString();
  };
  EXPECT_EQ(frame_of(tab.page.txtChartX1), "Main Chart Settings");
  EXPECT_EQ(tab.page.txtChartX1->text(), "500");
  EXPECT_EQ(frame_of(tab.page.txtChartX), "Device Chart Settings");
  EXPECT_EQ(tab.page.txtChartX->text(), "590");
}

TEST_F(DialogBusTest, TheInterfacePageOffersWorkingAdaptersAndTheirSpeeds) {
  StartBus({{"devices", nlohmann::json::array()}});
  dialog::InterfacePage page;
  std::vector<std::string> types;
  for (int i = 0; i < page.IntType->count(); ++i)
    types.push_back(page.IntType->itemText(i).toStdString());
  EXPECT_THAT(types, ::testing::IsSupersetOf({"DS9097E", "DS9097U", "DS2490", "DS1490", "SIM"}));
  EXPECT_THAT(types, ::testing::Not(::testing::Contains("DS1410E")));

  // An adapter that runs the bus at regular speed only (a passive one): nothing faster offered.
  OneWire().max_speed = 0;
  Settings s;
  s.IntSpeed = 0;
  page.Show(s);
  EXPECT_TRUE(page.optSpeed[0]->isEnabled());
  EXPECT_FALSE(page.optSpeed[1]->isEnabled());
  EXPECT_FALSE(page.optSpeed[2]->isEnabled());
  OneWire().max_speed = 2;
  page.Show(s);
  EXPECT_TRUE(page.optSpeed[1]->isEnabled());
  EXPECT_TRUE(page.optSpeed[2]->isEnabled());
  EXPECT_FALSE(page.optSpeed[3]->isEnabled());
  // A stored type this system does not open is still shown as the current one.
  s.IntType = "DS1410E";
  page.Show(s);
  EXPECT_EQ(page.IntType->currentText(), "DS1410E");
}

TEST_F(PluginTest, ADatabaseConnectionListsItsTablesAndTheChosenTablesColumns) {
  Shown<dialog::DatabasePage> tab;
  TempDir dir;
  const std::string connection = "Provider=SQLite;Data Source=" + (dir.path() / "t.db").string();
  ASSERT_EQ(CreateSqliteReadingsDatabase((dir.path() / "t.db").string(), "Readings",
                                         {"Sensor", "Taken", "Celsius"}),
            "");
  tab.page.txtDB->setText(QString::fromStdString(connection));
  tab.page.Browse(1);
  ASSERT_EQ(tab.page.TableCombo->count(), 1);
  EXPECT_EQ(tab.page.TableCombo->currentText(), "Readings");
  EXPECT_EQ(tab.page.FieldCombo[0]->currentText(), "Sensor");
  EXPECT_EQ(tab.page.FieldCombo[1]->currentText(), "Taken");
  EXPECT_EQ(tab.page.FieldCombo[2]->currentText(), "Celsius");
  EXPECT_EQ(tab.page.txtSQL->text(), "INSERT INTO Readings (Sensor, Taken, Celsius) VALUES");
  EXPECT_GT(tab.changes, 0);
  EXPECT_EQ(tab.Read().Table, "Readings");

  // A database that cannot be opened leaves the choices as they were.
  tab.page.txtDB->setText("Provider=SQLite;Data Source=/nonexistent/dir/x.db");
  tab.page.Browse(1);
  EXPECT_EQ(tab.page.FieldCombo[2]->currentText(), "Celsius");
}

// The "..." button's connection dialog: it shows the connection held, tests the one typed (a
// refused one says why), and hands back the one built; Cancel keeps the old one.
TEST_F(DialogBusTest, TheConnectionDialogShowsTestsAndHandsBackAConnection) {
  Shown<dialog::DatabasePage> tab;
  TempDir dir;
  const std::string file = (dir.path() / "t.db").string();
  ASSERT_EQ(CreateSqliteReadingsDatabase(file, "Readings", {"Sensor", "Taken", "Celsius"}), "");
  auto in = [](QWidget* dialog, const char* name) {
    QLineEdit* box = dialog->findChild<QLineEdit*>(name);
    EXPECT_NE(box, nullptr) << name;
    return box;
  };
  auto press = [](QWidget* dialog, QDialogButtonBox::StandardButton which) {
    dialog->findChild<QDialogButtonBox*>()->button(which)->click();
  };

  // A PostgreSQL server that refuses: the test says so, and OK still hands the text back.
  WhenModal([&](QWidget* dialog) {
    dialog->findChild<QComboBox*>("cmbEngine")->setCurrentIndex(1);
    EXPECT_FALSE(in(dialog, "txtFile")->isEnabled());
    in(dialog, "txtHost")->setText("127.0.0.1");
    in(dialog, "txtPort")->setText("1");
    in(dialog, "txtDatabase")->setText("house");
    in(dialog, "txtUser")->setText("hm");
    in(dialog, "txtPassword")->setText("secret");
    dialog->findChild<QPushButton*>("cmdTest")->click();
    press(dialog, QDialogButtonBox::Ok);
  });
  tab.page.cmdFile->click();
  ASSERT_FALSE(messages.empty());
  EXPECT_THAT(messages.back().second, ::testing::StartsWith("The connection failed: "));
  const std::string postgres =
      "Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=house;User ID=hm;Password=secret";
  EXPECT_EQ(tab.page.txtDB->text().toStdString(), postgres);

  // Opened again it shows that connection; a SQLite file instead lists its table.
  WhenModal([&](QWidget* dialog) {
    EXPECT_EQ(dialog->findChild<QComboBox*>("cmbEngine")->currentText(), "PostgreSQL");
    EXPECT_EQ(in(dialog, "txtUser")->text(), "hm");
    dialog->findChild<QComboBox*>("cmbEngine")->setCurrentIndex(0);
    EXPECT_FALSE(in(dialog, "txtHost")->isEnabled());
    in(dialog, "txtFile")->setText(QString::fromStdString(file));
    dialog->findChild<QPushButton*>("cmdTest")->click();
    press(dialog, QDialogButtonBox::Ok);
  });
  tab.page.cmdFile->click();
  EXPECT_EQ(messages.back().second, "Connection succeeded.");
  EXPECT_EQ(tab.page.txtDB->text().toStdString(), "Provider=SQLite;Data Source=" + file);
  EXPECT_EQ(tab.page.TableCombo->currentText(), "Readings");

  WhenModal([&](QWidget* dialog) {
    in(dialog, "txtFile")->setText("/elsewhere.db");
    press(dialog, QDialogButtonBox::Cancel);
  });
  tab.page.cmdFile->click();
  EXPECT_EQ(tab.page.txtDB->text().toStdString(), "Provider=SQLite;Data Source=" + file);
}

}  // namespace
}  // namespace qb::test
