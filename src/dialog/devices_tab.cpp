#include "dialog/devices_tab.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTabWidget>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "dialog/ad_page.h"
#include "dialog/bus_claim.h"
#include "dialog/controls.h"
#include "dialog/device_commands.h"
#include "dialog/memory_page.h"
#include "dialog/quad_ad_page.h"
#include "dialog/replace_menu.h"
#include "dialog/switch_page.h"
#include "dialog/temp_page.h"
#include "dialog/time_page.h"
#include "onewire/device_clock.h"
#include "onewire/device_info.h"
#include "onewire/device_reading.h"
#include "onewire/humidity_choice.h"
#include "registry/host_codes.h"
#include "registry/records.h"

namespace qb::dialog {

DevicesTab::DevicesTab() {
  view.ops.set_clock = [this](const std::string& rom, int bits) {
    const auto entries = time->Entries();
    ClockEntries clock;
    clock.clock_alarm_ms = entries[0];
    clock.interval_ms = entries[1];
    clock.interval_alarm_ms = entries[2];
    SetClock(bits, rom, clock);
  };
  view.ops.show_dev_time = ReadClockRows;
  view.ops.device_info = [](const std::string& rom) { return DeviceInfo(rom, true); };

  DevView = new DeviceTree;
  DevView->clicked = [this](QTreeWidgetItem* item) { NodeClick(item); };
  AddReplaceSensorMenu(DevView, [this] { return view.rom; }, {});
  tbDevice = Named(new QTabWidget, "tbDevice");
  temp = new TempPage(view);
  ad = new ADPage(view);
  quad = new QuadADPage(view);
  memory = new MemoryPage(view);
  time = new TimePage(view);
  switches = new SwitchPage(view);
  pot = new PotPage(view);
  info = new InfoPage(view);
  switches->refresh = [this] { RefreshDisplay(); };
  pages_ = {temp, ad, nullptr, nullptr, quad, memory, time, switches, pot, info};
  const char* titles[] = {"Temp", "A/D", "", "", "AD 4", "Mem", "Time", "Misc", "Pot", "Info"};
  for (int i = 0; i < kDevicePageCount; ++i) {
    tbDevice->addTab(pages_[i] ? static_cast<QWidget*>(pages_[i]) : new QWidget, titles[i]);
    // Pages 2 and 3 have no controls: they only keep the numbers of the later pages.
    if (!pages_[i]) tbDevice->setTabVisible(i, false);
  }

  // The humidity switch shows on the A/D and the Info page: both show the one setting.
  for (QCheckBox* humid : {ad->chkHumid, info->chkHumidInfo}) {
    connect(humid, &QCheckBox::toggled, [this](bool on) {
      if (view.loading || view.rom.empty()) return;
      const std::string rom = view.rom;
      {
        Filling filling(view.loading);
        ad->chkHumid->setChecked(on);
        info->chkHumidInfo->setChecked(on);
      }
      ChooseHumidityRepresentation(rom, on);
    });
  }

  auto* split = new QHBoxLayout(this);
  split->addWidget(DevView, 1);
  split->addWidget(tbDevice, 3);
}

void DevicesTab::SelectPage(int page) {
  if (page == 2 || page == 3) page = kInfoPage;
  if (page >= 0 && page < tbDevice->count()) tbDevice->setCurrentIndex(page);
}

void DevicesTab::DisplayNodeInfo(const std::string& rom, const QColor& colour) {
  QTreeWidgetItem* node = DevView->AddDeviceNode(rom);
  if (!node) return;
  node->setForeground(0, colour);
  if (colour == kNodeFromHost) {
    DevView->setCurrentItem(node);
    NodeClick(node);
  }
}

void DevicesTab::NodeClick(QTreeWidgetItem* node) {
  memory->Unpause();
  const std::string rom = DeviceTree::RomOf(node);
  if (rom.empty()) {
    view.rom.clear();
    for (int page = 0; page < kDevicePageCount; ++page) {
      tbDevice->setTabEnabled(page, true);
      tbDevice->setTabToolTip(page, QString());
    }
    {
      Filling filling(view.loading);
      info->ShowNone();
    }
    if (!node) tbDevice->setCurrentIndex(kInfoPage);
    return;
  }
  view.rom = rom;
  ShowPages();
  RefreshDisplay();
}

// The capabilities a page shows something of (the Info page serves every device, a key with no
// capability too: see ShowPages).
uint32_t DevicesTab::PageCaps(int page) {
  switch (page) {
    case kTempPage:
      return kCapTemperature;
    case kADPage:
      return kCapSupplyVoltage | kCapADInput | kCapCurrentSense;
    case kQuadADPage:
      return kCapQuadAD;
    case kMemPage:
      return kCapMemory | kCapEprom;
    case kTimePage:
      return kCapClock;
    case kSwitchPage:
      return kCapSwitch | kCapCounter;
    case kPotPage:
      return kCapPotentiometer;
    default:
      return ~0u;
  }
}

void DevicesTab::ShowPages() {
  const std::string rom = view.rom;
  const uint32_t caps = FamilyCaps(rom);
  // A page the device has nothing for is shown as not applicable instead of reading it.
  const QString part = Q(GroupName(rom));
  for (int page = 0; page < kDevicePageCount; ++page) {
    const bool applies = page == kInfoPage || (caps & PageCaps(page)) != 0;
    tbDevice->setTabEnabled(page, applies);
    tbDevice->setTabToolTip(page, applies ? QString() : "Not applicable to the " + part);
  }
  {
    Filling filling(view.loading);
    for (DevicePage* page : pages_)
      if (page && page != memory) page->Show(rom, caps);
  }
  // The page of the device's function: by its first channel's letter, or memory and clocks.
  int tab = kInfoPage;
  if (caps & kCapQuadAD) {
    tab = kQuadADPage;
  } else if (auto first = PageChannel(rom, kInfoPage); first && first->ROM.size() > 16) {
    tab = ChannelSetupTab(ChannelLetterOf(first->ROM));
  } else if (caps & kCapClock) {
    tab = kTimePage;
  } else if (caps & kCapMemory) {
    tab = kMemPage;
  }
  SelectPage(tab);
  memory->Show(rom, caps);
}

void DevicesTab::RefreshDisplay() {
  DevView->Mend();
  if (view.rom.empty()) return;
  const std::string rom = view.rom;
  const uint32_t caps = FamilyCaps(rom);
  auto record = gROMs().FindParent(rom);  // held by shared ownership across the read's pauses
  if (!record) return;
  bool present = false;
  {
    BusClaim bus(rom);
    present = bus.Present();
    // Memory alone gives no reading to show (the Mem page reads its banks itself): such a
    // device is not asked for one it does not have.
    const bool has_readings = (caps & ~(kCapMemory | kCapEprom)) != 0;
    if (present && has_readings) Skip([&] { ReadDev(*record, rom, kReadAll, bus.Shared()); });
  }
  // A click on another node while the bus was busy: that node is shown now, not this one.
  if (view.rom != rom) return;
  if (QTreeWidgetItem* node = DevView->FindDeviceNode(rom))
    node->setForeground(0, present ? palette().text().color() : kNodeAbsent);
  if (!present) return;

  for (DevicePage* page : pages_)
    if (page) page->Gather(rom, caps);
  if (view.rom != rom) return;
  {
    Filling filling(view.loading);
    for (DevicePage* page : pages_)
      if (page) page->ShowReadings(rom, caps);
  }
  if ((caps & (kCapMemory | kCapEprom)) && tbDevice->currentIndex() == kMemPage) memory->Refresh();
}

}  // namespace qb::dialog
