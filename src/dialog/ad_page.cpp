#include "dialog/ad_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "dialog/controls.h"
#include "dialog/device_commands.h"
#include "platform/settings_store.h"
#include "registry/records.h"

namespace qb::dialog {

namespace {

// As the plug-in reads the device: its record's choice, which is the stored one, else a humidity
// sensor for a battery monitor the user has not said otherwise of.
bool IsHumiditySensor(const std::string& rom) {
  if (auto record = gROMs().FindParent(rom)) return record->DS2438Humid == 1;
  return Store().GetOr("DS2438", rom, FamilyName(rom) == "DS2438" ? "1" : "0") == "1";
}

}  // namespace

ADPage::ADPage(DeviceView& view) : DevicePage(view) {
  block = new DeviceBlock(view, kADPage);
  lblAD = Named(new QLabel, "lblAD");
  lblAD->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // beside the readings of the block
  chkHumid = Check("chkHumid", "Humidity Sensor", "Enable DS2438 as a humidity sensor", kADPage);
  auto* l = new QGridLayout(this);
  l->addWidget(block, 0, 0, 2, 1);
  l->addWidget(lblAD, 0, 1);
  l->addWidget(chkHumid, 1, 1);
}

void ADPage::Show(const std::string& rom, uint32_t) {
  block->Show(PageChannel(rom, kADPage).get());
  chkHumid->setChecked(IsHumiditySensor(rom));
  chkHumid->setEnabled(FamilyName(rom) == "DS2438");
}

void ADPage::ShowReadings(const std::string& rom, uint32_t) {
  if (auto ch = PageChannel(rom, kADPage)) block->ShowReading(*ch);
  std::string ad;
  if (auto record = gROMs().FindParent(rom)) {
    const auto devices = record->Devices;
    for (const auto& d : devices->DevList) {
      const std::string letter = ChannelLetterOf(d->ROM);
      if (letter == "N" || letter == "G" || letter == "H" || letter == "I")
        ad += d->ROM.substr(16) + ": " + (d->HSString.empty() ? "Wait..." : d->HSString) + "\n";
    }
  }
  lblAD->setText(Q(ad));
}

InfoPage::InfoPage(DeviceView& view) : DevicePage(view) {
  block = new DeviceBlock(view, kInfoPage);
  lblInfo = Named(new QLabel("Please select a device."), "lblInfo");
  lblInfo->setWordWrap(true);
  lblInfo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
  chkHumidInfo =
      Check("chkHumid", "Humidity Sensor", "Enable DS2438 as a humidity sensor", kInfoPage);
  chkDeviceID = Check("chkDeviceID", "Show Device ID in HS",
                      "Display the devices ID in Hearthmoor, can be used to trigger events");
  auto* grid = new QGridLayout(this);
  grid->addWidget(lblInfo, 0, 0, 1, 2);
  grid->addWidget(block, 1, 0, 2, 1);
  grid->addWidget(chkHumidInfo, 1, 1);
  grid->addWidget(chkDeviceID, 2, 1);
  grid->setRowStretch(0, 1);
  connect(chkDeviceID, &QCheckBox::toggled, [this](bool on) {
    if (view_.loading || view_.rom.empty()) return;
    ShowDeviceIdOnHost(view_.rom, on);
  });
}

void InfoPage::Show(const std::string& rom, uint32_t) {
  block->Show(PageChannel(rom, kInfoPage).get());
  std::string info = "ROM " + rom + "\nPart: " + GroupName(rom);
  if (view_.ops.device_info) Skip([&] { info = view_.ops.device_info(rom); });
  lblInfo->setText(Q(info));
  chkHumidInfo->setChecked(IsHumiditySensor(rom));
  chkHumidInfo->setEnabled(FamilyName(rom) == "DS2438");
  chkDeviceID->setChecked(Store().GetOr("Show Device ID", rom, "0") == "1");
}

void InfoPage::ShowReadings(const std::string& rom, uint32_t) {
  if (auto ch = PageChannel(rom, kInfoPage)) block->ShowReading(*ch);
}

void InfoPage::ShowNone() {
  lblInfo->setText("Please select a device.");
}

}  // namespace qb::dialog
