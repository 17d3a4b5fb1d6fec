// The Devices tab on the offscreen platform: the device tree and each device page, driving the
// plug-in on a simulated bus as a user does.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTreeWidget>

#include "core/timer_window.h"
#include "dialog/ad_page.h"
#include "dialog/device_commands.h"
#include "dialog/devices_tab.h"
#include "dialog/file_browser.h"
#include "dialog/memory_page.h"
#include "dialog/quad_ad_page.h"
#include "dialog/switch_page.h"
#include "dialog/temp_page.h"
#include "dialog/time_page.h"
#include "dialog_fixture.h"
#include "onewire/device_clock.h"
#include "onewire/humidity_choice.h"
#include "sim/ds2413.h"
#include "sim/ds2450.h"
#include "sim/ds2890.h"
#include "sim/memory_models.h"

namespace qb::test {
namespace {

using namespace std::chrono_literals;
using dialog::SetupWindow;

// The dialog shown on a bus, with the device `rom` opened from the host.
std::shared_ptr<SetupWindow> OpenOn(const std::string& rom) {
  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  if (!rom.empty()) window->devices->DisplayNodeInfo(rom, dialog::kNodeFromHost);
  return window;
}

TEST_F(SetupDialogTest, ClickOutsideAnyNodeAsksForADevice) {
  window->tbSetup->setCurrentIndex(2);
  QTreeWidgetItem* node = window->devices->DevView->FindDeviceNode(kB20);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->parent()->text(0), "DS18B20");
  QWidget* view = window->devices->DevView->viewport();
  QTest::mouseClick(view, Qt::LeftButton, {},
                    window->devices->DevView->visualItemRect(node).center());
  EXPECT_EQ(window->devices->SelectedRom(), kB20);
  EXPECT_EQ(window->devices->tbDevice->currentIndex(), 0);  // the Temp page
  EXPECT_NE(window->devices->info->lblInfo->text(), "Please select a device.");

  QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(view->width() / 2, view->height() - 3));
  EXPECT_EQ(window->devices->SelectedRom(), "");
  EXPECT_EQ(window->devices->info->lblInfo->text(), "Please select a device.");
}

TEST_F(SetupDialogTest, SetAlarmWritesOnlyTheLimitsThatWereChanged) {
  auto* model = bus->FindAs<sim::ThermometerModel>(*access::RomId::Parse(kB20));
  ASSERT_NE(model, nullptr);
  window->devices->DisplayNodeInfo(kB20, dialog::kNodeFromHost);
  ASSERT_EQ(window->devices->SelectedRom(), kB20);
  const auto eeprom = model->Eeprom();
  const auto writes_before = OneWire().adapter->Master().Stats().slots[0];

  QTest::mouseClick(window->devices->temp->cmdSetAlarm,
                    Qt::LeftButton);  // nothing changed: nothing written
  EXPECT_EQ(OneWire().adapter->Master().Stats().slots[0], writes_before);
  EXPECT_EQ(model->Eeprom(), eeprom);

  window->devices->temp->txtHi->selectAll();
  QTest::keyClicks(window->devices->temp->txtHi, "30");
  EXPECT_EQ(window->devices->temp->txtHi->styleSheet(), "color: red");
  QTest::mouseClick(window->devices->temp->cmdSetAlarm, Qt::LeftButton);
  EXPECT_EQ(static_cast<int8_t>(model->Eeprom()[0]), 30);
  EXPECT_EQ(model->Eeprom()[1], eeprom[1]);  // the low limit was not written
  EXPECT_EQ(window->devices->temp->txtHi->styleSheet(), "");

  window->devices->temp->UpDown2->stepBy(3);  // the spin button changes the low box
  QTest::mouseClick(window->devices->temp->cmdSetAlarm, Qt::LeftButton);
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
  window->devices->DisplayNodeInfo(rom, dialog::kNodeFromHost);
  EXPECT_EQ(window->devices->tbDevice->currentIndex(), 6);  // the Time page
  EXPECT_EQ(window->devices->time->txtTim[0]->text().toStdString(), "1970-01-01");
  EXPECT_FALSE(window->devices->time->chkTim[0]->isChecked());

  QTest::mouseClick(window->devices->time->cmdSetClock[0], Qt::LeftButton);
  const std::string now = DateText(DateOfLibraryTime(LibraryTimeOfLocal(clock.Now())));
  EXPECT_EQ(window->devices->time->txtTim[0]->text().toStdString().substr(0, 16),
            now.substr(0, 16));
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
  window->devices->DisplayNodeInfo(rom, dialog::kNodeFromHost);
  ASSERT_EQ(window->devices->SelectedRom(), rom);
  window->devices->quad->cmbAD4OutState[2]->setCurrentText("On");
  ASSERT_EQ(ui.questions.size(), 1u);
  std::vector<std::string> names;
  for (const auto& d : host->devices) names.push_back(d->name_);
  EXPECT_THAT(names, ::testing::Contains(rom + "-Switch2"));
  EXPECT_THAT(names, ::testing::Not(::testing::Contains(rom + "I-Switch")));
  window->hide();
}

// An installed program finds its help beside itself in the installation; a program in its build
// folder falls back to the source tree's page.
TEST_F(DialogBusTest, RefreshMemoryReadsTheShownDevicesMemoryAgain) {
  const std::string rom = Rom(0x06, 14);
  StartBus({{"devices", {{{"rom", rom}}}}});
  gROMs().Find(rom);
  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  window->devices->DisplayNodeInfo(rom, dialog::kNodeFromHost);
  ASSERT_GT(window->devices->memory->DataList->count(), 0);
  EXPECT_TRUE(window->devices->memory->DataList->item(0)->text().startsWith("  0: 00 00"));
  auto* model = bus->FindAs<sim::NvramModel>(*access::RomId::Parse(rom));
  ASSERT_NE(model, nullptr);
  model->Memory()[0] = 0xAB;

  window->RefreshMemory(Rom(0x06, 15));  // another device: nothing read
  EXPECT_TRUE(window->devices->memory->DataList->item(0)->text().startsWith("  0: 00 00"));
  QTest::mouseClick(window->devices->memory->cmdMemPause, Qt::LeftButton);
  window->RefreshMemory(rom);  // paused
  EXPECT_TRUE(window->devices->memory->DataList->item(0)->text().startsWith("  0: 00 00"));
  QTest::mouseClick(window->devices->memory->cmdMemPause, Qt::LeftButton);
  window->RefreshMemory(rom);
  EXPECT_TRUE(window->devices->memory->DataList->item(0)->text().startsWith("  0: AB 00"))
      << window->devices->memory->DataList->item(0)->text().toStdString();
  window->hide();
}

TEST_F(DialogBusTest, TheQuadADPageShowsEachChannelsReadingOnceRead) {
  const std::string quad = Rom(0x20, 6);
  StartBus({{"devices", {{{"rom", quad}, {"inputs", {1.2, 2.0, 0.0, 0.4}}}}}});
  StartPolling();
  auto window = std::make_shared<SetupWindow>();
  Plugin().parts.dialog = window;
  window->ShowModeless();
  // The page is opened before the bus was scanned, then left open while the plug-in polls.
  gROMs().Find(quad);
  window->devices->DisplayNodeInfo(quad, dialog::kNodeFromHost);
  loop.AdvanceAndRun(clock, 40s, 250ms);
  for (int ch = 0; ch < 4; ++ch) {
    const std::string shown = window->devices->quad->lblAD4[ch]->text().toStdString();
    EXPECT_EQ(shown.find("Wait..."), std::string::npos) << "channel " << ch << ": " << shown;
  }
  window->hide();
}

// What is chosen for a channel of the AD 4 page is stored in the channel's section and written
// to the DS2450's control and alarm registers (page 1 and 2 of its memory, two bytes and one
// alarm pair per channel); the name and the logging switch reach the channel's host device.
TEST_F(DialogBusTest, TheQuadADPageWritesEachChannelsChoicesToTheDevice) {
  const std::string quad = Rom(0x20, 15);
  StartBus({{"devices", {{{"rom", quad}, {"inputs", {1.0, 1.0, 1.0, 1.0}}}}}});
  Plugin().TimerLoop = 2;  // the enumeration tick: records and host devices
  Plugin().parts.devices->GetDevices();
  auto window = OpenOn(quad);
  auto& page = *window->devices->quad;
  auto* model = bus->FindAs<sim::DS2450Model>(*access::RomId::Parse(quad));
  ASSERT_NE(model, nullptr);
  const std::string b = quad + "H";  // channel B
  auto control = [&](int byte) { return model->Memory(0x08 + 2 + byte); };

  EXPECT_EQ(page.cmbAD4Scale[1]->currentText(), "2.56V") << "the range the device has";
  page.cmbAD4Scale[1]->setCurrentText("5.10V");
  EXPECT_EQ(store.GetOr(b, "Scale", ""), "5.1");
  EXPECT_EQ(control(1) & 0x01, 1) << "input range 5.12 V";
  page.cmbAD4BitRes[1]->setCurrentText("12");
  EXPECT_EQ(control(0) & 0x0F, 12);
  EXPECT_EQ(control(2) & 0x0F, 8) << "channel C as it was";

  page.cmbAD4High[1]->setCurrentText("2.0");
  EXPECT_EQ(store.GetOr(b, "TripH", ""), "2");
  EXPECT_EQ(model->Memory(0x13), 100) << "2.0 V of 5.12 V in the high byte";
  EXPECT_NE(control(1) & 0x08, 0) << "high alarm enabled";
  page.cmbAD4High[1]->setCurrentText("None");
  EXPECT_EQ(store.GetOr(b, "TripH", ""), "None");
  EXPECT_EQ(control(1) & 0x08, 0) << "high alarm disabled";

  page.chkAD4Save[1]->click();
  EXPECT_EQ(store.GetOr("InitDevice", b, ""), "1");
  page.chkAD4Log[1]->click();
  EXPECT_EQ(store.GetOr("Log", b, ""), "1");
  EXPECT_EQ(gROMs().FindDev(b)->LogtoDB, 1);
  page.txtAD4Name[1]->setText("Rain tank");
  QTest::keyClick(page.txtAD4Name[1], Qt::Key_Return);
  EXPECT_EQ(gROMs().FindDev(b)->HSName, "Rain tank");
  window->hide();
}

// Fahrenheit chosen in the dialog: the thermometers' host values say so at once, as when the
// scale is switched on the settings page, instead of keeping Centigrade values until each device

// A switch row shows its channel's state and the button turns it over on the device.
TEST_F(DialogBusTest, TheMiscButtonTurnsTheSwitchOverOnTheBus) {
  const std::string rom = Rom(0x3A, 7);
  StartBus({{"devices", {{{"rom", rom}, {"latches", {false, false}}, {"levels", {1, 1}}}}}});
  Plugin().TimerLoop = 2;  // the enumeration tick: records, host devices and switch states
  Plugin().parts.devices->GetDevices();
  Plugin().parts.devices->GetDevices();
  auto window = OpenOn(rom);
  auto& page = *window->devices->switches;
  EXPECT_EQ(window->devices->tbDevice->currentIndex(), dialog::kSwitchPage);
  auto* model = bus->FindAs<sim::DS2413Model>(*access::RomId::Parse(rom));
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(page.lblMisc1[1]->text(), "Off");
  // One row per switch channel: the part has two.
  for (int row = 0; row < 4; ++row)
    EXPECT_EQ(page.cmdMisc[row]->isVisibleTo(&page), row < 2) << row;
  ASSERT_FALSE(model->pio().Conducting(1));
  QTest::mouseClick(page.cmdMisc[1], Qt::LeftButton);
  EXPECT_TRUE(model->pio().Conducting(1));
  EXPECT_FALSE(model->pio().Conducting(0));
  EXPECT_EQ(page.lblMisc1[1]->text(), "On");
  QTest::mouseClick(page.cmdMisc[1], Qt::LeftButton);
  EXPECT_FALSE(model->pio().Conducting(1));
  // The page's own channel is the first switch: its bar is full while it is on.
  QProgressBar* bar = page.block->pbProps;
  EXPECT_EQ(bar->value(), bar->minimum());
  QTest::mouseClick(page.cmdMisc[0], Qt::LeftButton);
  EXPECT_EQ(page.block->txtValue->text(), "On");
  EXPECT_EQ(bar->value(), bar->maximum());
  window->hide();
}

// The wiper follows the slider and the typed value; the page shows the wiper read back.
TEST_F(DialogBusTest, ThePotPageSetsTheWiperOnTheBus) {
  const std::string rom = Rom(0x2C, 8);
  StartBus({{"devices", {{{"rom", rom}, {"wiper", 10}}}}});
  gROMs().Find(rom + "T");
  auto window = OpenOn(rom);
  auto& page = *window->devices->pot;
  EXPECT_EQ(window->devices->tbDevice->currentIndex(), dialog::kPotPage);
  auto* model = bus->FindAs<sim::DS2890Model>(*access::RomId::Parse(rom));
  ASSERT_NE(model, nullptr);
  page.hsPot->setValue(200);
  EXPECT_EQ(model->Wiper(), 200);
  EXPECT_EQ(page.txtPot->text(), "200");
  page.txtPot->setText("999");  // out of range: the largest position
  QTest::keyClick(page.txtPot, Qt::Key_Return);
  EXPECT_EQ(page.txtPot->text(), "255");
  EXPECT_EQ(model->Wiper(), 255);
  model->SetWiper(40);
  Plugin().parts.devices->GetDevices();  // the scan reads the wiper
  QTest::mouseClick(window->cmdRefresh, Qt::LeftButton);
  EXPECT_EQ(page.hsPot->value(), 40);
  window->hide();
}

// A node is red while its device alarms and grey while it does not answer; the colours follow
// the registry on each refresh.
TEST_F(DialogBusTest, TheTreeColoursFollowAlarmAndPresence) {
  const std::string warm = Rom(0x28, 2), gone = Rom(0x28, 3);
  StartBus(
      {{"devices", {{{"rom", warm}, {"temperature", 40}}, {{"rom", gone}, {"temperature", 20}}}}});
  gROMs().Find(warm + "M");
  gROMs().Find(gone + "M");
  auto window = OpenOn("");
  auto& tree = *window->devices->DevView;
  auto colour = [&](const std::string& rom) {
    return tree.FindDeviceNode(rom)->foreground(0).color();
  };
  window->ShowDeviceNode(warm, 255);  // the alarm colour as the plug-in hands it over
  EXPECT_EQ(colour(warm), dialog::kNodeAlarming);

  auto held = bus->Release(*access::RomId::Parse(gone));
  window->devices->DisplayNodeInfo(gone, dialog::kNodeFromHost);
  EXPECT_EQ(colour(gone), dialog::kNodeAbsent) << "the device did not answer its read";
  gROMs().FindParent(gone)->Absent = true;
  window->devices->DisplayNodeInfo(warm, dialog::kNodeFromHost);
  EXPECT_EQ(colour(gone), dialog::kNodeAbsent);
  EXPECT_NE(colour(warm), dialog::kNodeAlarming) << "read and answering: no longer red";
  gROMs().FindParent(gone)->Absent = false;  // back on the bus
  window->RefreshDisplay();
  EXPECT_NE(colour(gone), dialog::kNodeAbsent);
  window->hide();
}

// Devices found while the dialog was open but not told (a scan that was waiting when it opened)
// appear on the next refresh, under their parts.
TEST_F(DialogBusTest, RefreshAddsTheDevicesTheTreeDoesNotShowYet) {
  const std::string first = Rom(0x28, 4), later = Rom(0x26, 5);
  StartBus({{"devices", {{{"rom", first}, {"temperature", 20}}, {{"rom", later}}}}});
  gROMs().Find(first + "M");
  auto window = OpenOn("");
  auto& tree = *window->devices->DevView;
  EXPECT_EQ(tree.topLevelItemCount(), 1);
  gROMs().Find(later + "G");
  EXPECT_EQ(tree.FindDeviceNode(later), nullptr);
  QTest::mouseClick(window->cmdRefresh, Qt::LeftButton);
  ASSERT_NE(tree.FindDeviceNode(later), nullptr);
  EXPECT_EQ(tree.FindDeviceNode(later)->parent()->text(0), "DS2438");
  EXPECT_EQ(tree.topLevelItemCount(), 2);
  window->hide();
}

// The Info page's switch shows a device's ROM id as a host device of its own, and removes it.
TEST_F(DialogBusTest, ShowDeviceIdAddsAndRemovesTheHostDeviceOfTheRomId) {
  const std::string rom = Rom(0x06, 11);
  StartBus({{"devices", {{{"rom", rom}}}}});
  gROMs().Find(rom);
  auto window = OpenOn(rom);
  auto device_named = [&](const std::string& name) {
    for (const auto& d : host->devices)
      if (d->name_ == name) return true;
    return false;
  };
  window->devices->info->chkDeviceID->click();
  EXPECT_EQ(store.GetOr("Show Device ID", rom, ""), "1");
  EXPECT_TRUE(device_named(rom));
  window->devices->info->chkDeviceID->click();
  EXPECT_EQ(store.GetOr("Show Device ID", rom, ""), "0");
  EXPECT_FALSE(device_named(rom));
  EXPECT_THAT(host->LogTexts("Deleting 1-Wire DS1993"),
              ::testing::ElementsAre(::testing::HasSubstr("deleted.")));
  window->hide();
}

// A device that is nothing but its ROM id (a key) has its Info page to show it on the host; a
// battery monitor's humidity switch shows how the plug-in reads it, a humidity sensor unless the
// user said otherwise.
TEST_F(DialogBusTest, TheInfoPageServesAKeyAndTheHumiditySwitchShowsTheRepresentation) {
  const std::string key = Rom(0x01, 13), battery = Rom(0x26, 14);
  StartBus({{"devices", {{{"rom", key}}, {{"rom", battery}}}}});
  gROMs().Find(key);
  gROMs().Find(battery + "N");
  auto window = OpenOn(key);
  auto& tabs = *window->devices->tbDevice;
  auto& info = *window->devices->info;
  EXPECT_EQ(tabs.currentIndex(), dialog::kInfoPage);
  EXPECT_TRUE(tabs.isTabEnabled(dialog::kInfoPage));
  EXPECT_FALSE(tabs.isTabEnabled(dialog::kTempPage));
  ASSERT_TRUE(info.chkDeviceID->isEnabled());
  info.chkDeviceID->click();
  EXPECT_EQ(store.GetOr("Show Device ID", key, ""), "1");

  window->devices->DisplayNodeInfo(battery, dialog::kNodeFromHost);
  EXPECT_TRUE(window->devices->ad->chkHumid->isChecked());
  EXPECT_TRUE(info.chkHumidInfo->isChecked());
  ChooseHumidityRepresentation(battery, false);
  window->devices->DisplayNodeInfo(battery, dialog::kNodeFromHost);
  EXPECT_FALSE(window->devices->ad->chkHumid->isChecked());
  window->hide();
}

// Typed bytes go to the chosen page of the bank; text that is no byte writes nothing.
TEST_F(DialogBusTest, MemoryBytesTypedInHexadecimalAreWrittenToTheChosenPage) {
  const std::string rom = Rom(0x06, 12);
  StartBus({{"devices", {{{"rom", rom}}}}});
  std::string bad;
  EXPECT_FALSE(dialog::ParseHexBytes("01 GG", bad));
  EXPECT_EQ(bad, "GG");
  EXPECT_FALSE(dialog::ParseHexBytes("100", bad));
  const auto bytes = dialog::ParseHexBytes(" 0a  FF 7 ", bad);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, (access::Bytes{0x0A, 0xFF, 0x07}));
  EXPECT_EQ(dialog::WriteMemory(rom, 0, 2, *bytes), "");
  auto* model = bus->FindAs<sim::NvramModel>(*access::RomId::Parse(rom));
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->Memory()[64], 0x0A);  // page 2 of 32-byte pages
  EXPECT_EQ(model->Memory()[66], 0x07);
  EXPECT_EQ(model->Memory()[0], 0x00);
  EXPECT_EQ(dialog::WriteMemory(rom, 9, 0, *bytes), "") << "a bank the device lacks: nothing";
}

// A device without some kind of page (a memory button has no readings, a quad converter's memory
// holds no files) has that page shown as not applicable; nothing is logged as an error.
TEST_F(DialogBusTest, PagesADeviceHasNothingForAreNotApplicableAndLogNoError) {
  const std::string mem = Rom(0x06, 9), quad = Rom(0x20, 10);
  StartBus({{"devices", {{{"rom", mem}}, {{"rom", quad}, {"inputs", {1.0, 1.0, 1.0, 1.0}}}}}});
  Plugin().TimerLoop = 2;
  Plugin().parts.devices->GetDevices();
  auto window = OpenOn(mem);
  auto& tabs = *window->devices->tbDevice;
  EXPECT_EQ(tabs.currentIndex(), dialog::kMemPage);
  EXPECT_TRUE(tabs.isTabEnabled(dialog::kMemPage));
  EXPECT_TRUE(tabs.isTabEnabled(dialog::kInfoPage));
  EXPECT_FALSE(tabs.isTabEnabled(dialog::kTempPage));
  EXPECT_EQ(tabs.tabToolTip(dialog::kTempPage), "Not applicable to the DS1993");
  EXPECT_GT(window->devices->memory->DataList->count(), 0) << "its memory is shown";

  window->devices->DisplayNodeInfo(quad, dialog::kNodeFromHost);
  EXPECT_EQ(tabs.currentIndex(), dialog::kQuadADPage);
  EXPECT_FALSE(tabs.isTabEnabled(dialog::kTempPage));
  QTreeWidget* files = window->devices->memory->files->devFiles;
  ASSERT_EQ(files->topLevelItemCount(), 1);
  EXPECT_EQ(files->topLevelItem(0)->text(0), "Not applicable: the DS2450 keeps no files");
  EXPECT_FALSE(files->isEnabled());
  QTest::mouseClick(window->cmdRefresh, Qt::LeftButton);

  std::vector<std::string> errors;
  for (const auto& [category, text] : host->log)
    if (category.find("ERROR") != std::string::npos) errors.push_back(category + " " + text);
  EXPECT_THAT(errors, ::testing::IsEmpty());

  // No device selected: every page is there again.
  QWidget* view = window->devices->DevView->viewport();
  QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(view->width() / 2, view->height() - 3));
  EXPECT_TRUE(tabs.isTabEnabled(dialog::kTempPage));
  window->hide();
}

}  // namespace
}  // namespace qb::test
