#include "dialog/temp_page.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cmath>

#include "catalogue/family_catalogue.h"
#include "dialog/controls.h"
#include "onewire/device_config.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb::dialog {

namespace {

const char* const kResolutions[] = {"0.5", "0.25", "0.125", "0.0625"};

}  // namespace

TempPage::TempPage(DeviceView& view) : DevicePage(view) {
  block = new DeviceBlock(view, kTempPage);
  auto* res = new QGroupBox("Resolution");
  cmbResolution = Named(new QComboBox, "cmbResolution");
  cmbResolution->setToolTip("Resolution of temperature readings");
  for (const char* r : kResolutions) cmbResolution->addItem(r);
  (new QVBoxLayout(res))->addWidget(cmbResolution);
  auto* alarms = new QGroupBox("Alarms");
  txtHi = Box("txtHi", "High temperature alarm threshold");
  txtLo = Box("txtLo", "Low temperature alarm threshold");
  UpDown1 = Named(new QSpinBox, "UpDown1");
  UpDown2 = Named(new QSpinBox, "UpDown2");
  // Only the arrows show (the limit box beside shows the value), at the width the style gives
  // them with room for "-55".
  for (QSpinBox* s : {UpDown1, UpDown2}) {
    s->setRange(-55, 125);
    s->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    s->setMinimumWidth(s->sizeHint().width());
  }
  cmdSetAlarm = Named(new QPushButton("Set"), "cmdSetAlarm");
  cmdSetAlarm->setToolTip("Click to set alarm values");
  auto* note = new QLabel(
      "Set value then either wait for a refresh or click the Refresh button. Correction values "
      "are not used in this calculation.");
  note->setWordWrap(true);
  auto* grid = new QGridLayout(alarms);
  grid->addWidget(new QLabel("High:"), 0, 0);
  grid->addWidget(txtHi, 0, 1);
  grid->addWidget(UpDown1, 0, 2);
  grid->addWidget(new QLabel("Low:"), 1, 0);
  grid->addWidget(txtLo, 1, 1);
  grid->addWidget(UpDown2, 1, 2);
  grid->addWidget(cmdSetAlarm, 2, 1);
  grid->addWidget(note, 3, 0, 1, 3);
  auto* l = new QGridLayout(this);
  l->addWidget(block, 0, 0, 2, 1);
  l->addWidget(res, 0, 1);
  l->addWidget(alarms, 1, 1);
  l->setRowStretch(2, 1);  // the groups keep their own height; the room left stays below

  connect(txtHi, &QLineEdit::textEdited, [this] { LimitChanged(txtHi, hi_changed_); });
  connect(txtLo, &QLineEdit::textEdited, [this] { LimitChanged(txtLo, lo_changed_); });
  connect(UpDown1, &QSpinBox::valueChanged, [this](int v) {
    if (view_.loading) return;
    txtHi->setText(QString::number(v));
    LimitChanged(txtHi, hi_changed_);
  });
  connect(UpDown2, &QSpinBox::valueChanged, [this](int v) {
    if (view_.loading) return;
    txtLo->setText(QString::number(v));
    LimitChanged(txtLo, lo_changed_);
  });
  connect(cmdSetAlarm, &QPushButton::clicked, [this] { SetAlarm(); });
  connect(cmbResolution, &QComboBox::currentIndexChanged, [this](int) {
    if (view_.loading || view_.rom.empty()) return;
    if (auto ch = PageChannel(view_.rom, kTempPage))
      SetTempRes(*ch, Number(cmbResolution->currentText()));
  });
}

void TempPage::LimitChanged(QLineEdit* box, bool& changed) {
  changed = true;
  SetRed(box, true);
}

void TempPage::Show(const std::string& rom, uint32_t caps) {
  hi_changed_ = lo_changed_ = false;
  SetRed(txtHi, false);
  SetRed(txtLo, false);
  block->Show(PageChannel(rom, kTempPage).get());
  if (caps & kCapTemperature) {
    const QString res = Q(PlainNumberText(GetTempResolution(rom)));
    if (cmbResolution->findText(res) < 0) cmbResolution->addItem(res);
    cmbResolution->setCurrentText(res);
  }
}

void TempPage::Gather(const std::string& rom, uint32_t caps) {
  limits_ = {0, 0};
  // A DS1921 logger keeps its alarms in its mission registers, not as thermometer limits.
  if ((caps & kCapTemperature) && FamilyCode(rom) != "21") limits_ = GetTempAlarms(rom);
}

void TempPage::ShowReadings(const std::string& rom, uint32_t caps) {
  if (auto ch = PageChannel(rom, kTempPage)) block->ShowReading(*ch);
  if (!(caps & kCapTemperature)) return;
  if (!hi_changed_) txtHi->setText(Q(PlainNumberText(limits_.second)));
  if (!lo_changed_) txtLo->setText(Q(PlainNumberText(limits_.first)));
  UpDown1->setValue(static_cast<int>(std::lround(Number(txtHi->text()))));
  UpDown2->setValue(static_cast<int>(std::lround(Number(txtLo->text()))));
}

void TempPage::SetAlarm() {
  const std::string rom = view_.rom;
  if (rom.empty() || (!hi_changed_ && !lo_changed_)) return;
  if (hi_changed_) {
    SetTempAlarm(rom, true, Number(txtHi->text()));
    hi_changed_ = false;
    SetRed(txtHi, false);
  }
  if (lo_changed_) {
    SetTempAlarm(rom, false, Number(txtLo->text()));
    lo_changed_ = false;
    SetRed(txtLo, false);
  }
}

}  // namespace qb::dialog
