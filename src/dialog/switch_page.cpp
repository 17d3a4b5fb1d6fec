#include "dialog/switch_page.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <algorithm>

#include "dialog/controls.h"
#include "onewire/device_config.h"
#include "registry/records.h"

namespace qb::dialog {

SwitchPage::SwitchPage(DeviceView& view) : DevicePage(view) {
  block = new DeviceBlock(view, kSwitchPage);
  auto* grid = new QGridLayout(this);
  grid->addWidget(block, 0, 0, 5, 1);
  for (int i = 0; i < 4; ++i) {
    cmdMisc[i] = Named(new QPushButton("Misc"), "cmdMisc", i);
    cmdMisc[i]->setToolTip("Update the switch status");
    lblMisc1[i] = Named(new QLabel, "lblMisc1", i);
    lblMisc2[i] = Named(new QLabel, "lblMisc2", i);
    grid->addWidget(cmdMisc[i], i, 1);
    grid->addWidget(lblMisc1[i], i, 2);
    grid->addWidget(lblMisc2[i], i, 3);
    connect(cmdMisc[i], &QPushButton::clicked, [this, i] { MiscClicked(i); });
    for (QWidget* w : std::initializer_list<QWidget*>{cmdMisc[i], lblMisc1[i], lblMisc2[i]})
      w->hide();  // until a device with that many switch channels is shown
  }
}

void SwitchPage::Show(const std::string& rom, uint32_t) {
  block->Show(PageChannel(rom, kSwitchPage).get());
  // A row for each switch channel the device has; a counter has none.
  int rows = 0;
  if (auto record = gROMs().FindParent(rom)) {
    const auto devices = record->Devices;
    for (const auto& d : devices->DevList)
      if (ChannelLetterOf(d->ROM) == "S") ++rows;
  }
  for (int i = 0; i < 4; ++i)
    for (QWidget* w : std::initializer_list<QWidget*>{cmdMisc[i], lblMisc1[i], lblMisc2[i]})
      w->setVisible(i < rows);
}

void SwitchPage::ShowReadings(const std::string& rom, uint32_t) {
  if (auto ch = PageChannel(rom, kSwitchPage)) block->ShowReading(*ch);
  auto record = gROMs().FindParent(rom);
  if (!record) return;
  const auto devices = record->Devices;
  int row = 0;
  for (const auto& d : devices->DevList) {
    if (ChannelLetterOf(d->ROM) != "S" || row >= 4) continue;
    lblMisc1[row]->setText(Q(d->HSString));
    std::string level;
    const std::string level_key = rom + "P" + d->ROM.substr(17);
    for (const auto& l : devices->DevList)
      if (l->ROM == level_key) level = l->HSString;
    lblMisc2[row]->setText(Q(level.empty() ? std::string() : "Level " + level));
    ++row;
  }
}

void SwitchPage::MiscClicked(int row) {
  auto record = gROMs().FindParent(view_.rom);
  if (!record) return;
  std::shared_ptr<DSDevice> channel;
  int seen = 0;
  const auto devices = record->Devices;
  for (const auto& d : devices->DevList) {
    if (ChannelLetterOf(d->ROM) != "S") continue;
    if (seen++ == row) channel = d;
  }
  if (!channel) return;
  const bool currently_on = lblMisc1[row]->text() == "On";
  SetSwitch(*channel, !currently_on);
  if (refresh) refresh();
}

PotPage::PotPage(DeviceView& view) : DevicePage(view) {
  block = new DeviceBlock(view, kPotPage);
  hsPot = Named(new QSlider(Qt::Horizontal), "hsPot");
  hsPot->setRange(0, 255);
  txtPot = Box("txtPot", nullptr);
  auto* grid = new QGridLayout(this);
  grid->addWidget(block, 0, 0, 3, 1);
  grid->addWidget(hsPot, 0, 1, 1, 2);
  grid->addWidget(new QLabel("Value(0-255):"), 1, 1);
  grid->addWidget(txtPot, 1, 2);
  auto write = [this](int v) {
    if (view_.loading || view_.rom.empty()) return;
    if (auto ch = PageChannel(view_.rom, kPotPage)) SetPot(*ch, v);
  };
  connect(hsPot, &QSlider::valueChanged, [this, write](int v) {
    txtPot->setText(QString::number(v));
    if (!hsPot->isSliderDown()) write(v);
  });
  connect(hsPot, &QSlider::sliderReleased, [this, write] { write(hsPot->value()); });
  connect(txtPot, &QLineEdit::editingFinished, [this] {
    const int v = std::clamp(static_cast<int>(Number(txtPot->text())), 0, 255);
    txtPot->setText(QString::number(v));
    hsPot->setValue(v);
  });
}

void PotPage::Show(const std::string& rom, uint32_t) {
  block->Show(PageChannel(rom, kPotPage).get());
}

void PotPage::ShowReadings(const std::string& rom, uint32_t) {
  auto ch = PageChannel(rom, kPotPage);
  if (!ch) return;
  block->ShowReading(*ch);
  hsPot->setValue(static_cast<int>(std::clamp(ch->Reading, 0.0, 255.0)));
  txtPot->setText(QString::number(hsPot->value()));
}

}  // namespace qb::dialog
