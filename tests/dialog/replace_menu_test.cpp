// The device tree's "Replace sensor..." entry on a simulated bus: the new thermometer takes over
// the old one's host device, settings and alarm limits; a ROM id that is none changes nothing.
#include "dialog/replace_menu.h"

#include <QAction>
#include <QTreeWidget>

#include "dialog/devices_tab.h"
#include "dialog/setup_dialog.h"
#include "dialog_fixture.h"
#include "onewire/device_config.h"
#include "registry/host_codes.h"
#include "registry/value_text.h"

namespace qb::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST_F(DialogBusTest, TheDeviceTreeOffersReplacingASensor) {
  const std::string old_rom = Rom(0x28, 91), new_rom = Rom(0x28, 92);
  StartBus(
      {{"devices",
        {{{"rom", old_rom}, {"temperature", 20.5}}, {{"rom", new_rom}, {"temperature", 21}}}}});
  auto record = gROMs().FindDev(old_rom + "M");
  CreateHSDevice(*record, "DS18B20", "0", old_rom + "-Temp");
  store.Set("Calibration", old_rom + "M", "0,0.5,100,100.5");
  store.Set("Log", old_rom + "M", "1");
  SetTempAlarm(old_rom, false, -5);
  SetTempAlarm(old_rom, true, 30);

  auto window = std::make_shared<dialog::SetupWindow>();
  QAction* entry = nullptr;
  for (QAction* a : window->devices->DevView->actions())
    if (a->objectName() == "actReplaceSensor") entry = a;
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->text(), "Replace sensor...");

  EXPECT_THAT(ReplaceSelectedSensor(old_rom, "not a rom"),
              StartsWith("The sensor was not replaced: \"not a rom\" is not a ROM id"));
  EXPECT_EQ(host->devices.at(0)->iomisc(), old_rom + "M");
  EXPECT_EQ(ReplaceSelectedSensor(old_rom, ""), "");  // the box was cancelled

  std::string lower = new_rom;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_THAT(ReplaceSelectedSensor(old_rom, lower),
              HasSubstr("Sensor " + old_rom + " replaced by " + new_rom));
  EXPECT_EQ(host->devices.at(0)->iomisc(), new_rom + "M");
  EXPECT_EQ(store.GetOr("Calibration", new_rom + "M", ""), "0,0.5,100,100.5");
  EXPECT_EQ(store.GetOr("Log", new_rom + "M", ""), "1");
  EXPECT_FALSE(store.Get("Calibration", old_rom + "M"));
  EXPECT_EQ(GetTempAlarms(new_rom), (std::pair<double, double>{-5, 30}));
  EXPECT_FALSE(gROMs().FindParent(old_rom));
  ASSERT_TRUE(gROMs().FindParent(new_rom));
}

// A counter whose total continues: the new chip's counts go on from the old total.
TEST_F(DialogBusTest, ANewCounterContinuesTheOldTotal) {
  const std::string old_rom = Rom(0x1D, 93), new_rom = Rom(0x1D, 94);
  StartBus({{"devices",
             {{{"rom", old_rom}, {"counters", {0, 0, 1000, 0}}},
              {{"rom", new_rom}, {"counters", {0, 0, 7, 0}}}}}});
  store.Set("Counter Total", old_rom + "K2", "1");
  store.Set("Counter Offset", old_rom + "K2", "500");
  for (const std::string& rom : {old_rom, new_rom}) {
    auto channel = gROMs().FindDev(rom + "K2");
    CreateHSDevice(*channel, "DS2423", "0", rom + "-Counter2");
    ReadChannel(*channel);
  }
  ASSERT_EQ(host->devices.size(), 2u);
  const std::string code = host->devices[0]->hc_ + host->devices[0]->dc_;
  ASSERT_EQ(ReadNumber(host->DeviceString(code)), 1500);

  EXPECT_THAT(ReplaceSelectedSensor(old_rom, new_rom), HasSubstr("replaced by " + new_rom));
  ASSERT_EQ(host->devices.size(), 1u);  // the new chip's own host device went
  EXPECT_EQ(host->devices[0]->iomisc(), new_rom + "K2");
  auto channel = gROMs().FindDev(new_rom + "K2");
  ReadChannel(*channel);
  EXPECT_EQ(ReadNumber(host->DeviceString(code)), 1500);  // 7 counted by the new chip + 1493
  EXPECT_EQ(store.GetOr("Counter Total", new_rom + "K2", ""), "1");
  EXPECT_FALSE(store.Get("Counter Offset", old_rom + "K2"));
}

}  // namespace
}  // namespace qb::test
