#include "dialog/device_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <algorithm>
#include <cmath>

#include "catalogue/family_catalogue.h"
#include "core/plugin_state.h"
#include "dialog/controls.h"
#include "platform/settings_store.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb::dialog {

std::string GroupName(const std::string& rom) {
  std::string part = FamilyName(rom);
  if (part == "DS1921") return "DS1921L-F52";
  if (part.empty()) return "Family " + FamilyCode(rom);
  return part;
}

std::string ChannelLetterOf(const std::string& key) {
  return key.size() > 16 ? key.substr(16, 1) : std::string();
}

QString ValueText(const DSDevice& ch) {
  if (!ch.HSString.empty()) return QString::fromStdString(ch.HSString);
  if (ch.Reading != -1) return QString::fromStdString(PlainNumberText(ch.Reading));
  return "Wait...";
}

std::shared_ptr<DSDevice> PageChannel(const std::string& rom, int page) {
  if (rom.empty()) return nullptr;
  auto record = gROMs().FindParent(rom);
  if (!record) return nullptr;
  const auto devices = record->Devices;  // held: a lookup may let events run
  std::shared_ptr<DSDevice> fallback;
  for (const auto& d : devices->DevList) {
    const std::string letter = ChannelLetterOf(d->ROM);
    if (!fallback || (ChannelLetterOf(fallback->ROM).empty() && !letter.empty())) fallback = d;
    if (page == kTempPage && letter == "M") return d;
    if (page == kADPage && (letter == "N" || letter == "G" || letter == "H")) return d;
    if (page == kSwitchPage && (letter == "S" || letter == "P" || letter == "K")) return d;
    if (page == kPotPage && letter == "T") return d;
  }
  return page == kInfoPage ? fallback : nullptr;
}

std::shared_ptr<DSDevice> ChannelOf(const std::string& rom, const std::string& key) {
  auto record = gROMs().FindParent(rom);
  if (!record) return nullptr;
  const auto devices = record->Devices;
  std::shared_ptr<DSDevice> found;
  for (const auto& d : devices->DevList)
    if (d->ROM == key) found = d;
  return found;
}

DeviceBlock::DeviceBlock(DeviceView& view, int page)
    : QGroupBox("Device"), view_(view), page_(page) {
  txtname = Box("txtname", "Device name in Hearthmoor", page);
  txtLocation = Box("txtLocation", "Device location in Hearthmoor", page);
  chkLogToDB = Check("chkLogToDB", "Log to Database", nullptr, page);
  txtAdj =
      Box("txtAdj", "Enter amount to add or subtract from reading (use - for minus value eg. -1.5)",
          page);
  // The longest name the scan gives a host device of its own (ROM id and the channel's kind)
  // shows whole; the boxes below take the same width.
  FitRomIdText(txtname, {"-Humidity", "-Counter0", "-ChannelA", "-Switch0", "-Vsense"});
  txtValue = Box("txtValue", nullptr, page);
  txtValue->setReadOnly(true);
  txtValue->setText("Wait...");
  pbProps = Named(new QProgressBar, "pbProps", page);
  pbProps->setTextVisible(false);
  auto* form = new QFormLayout(this);
  form->addRow("Name:", txtname);
  form->addRow("Location:", txtLocation);
  form->addRow("Correction:", txtAdj);
  form->addRow(chkLogToDB);
  form->addRow("Reading:", txtValue);
  form->addRow(pbProps);

  connect(txtname, &QLineEdit::editingFinished, [this] {
    if (view_.loading) return;
    if (auto ch = PageChannel(view_.rom, page_)) RenameHSDevice(ch->ROM, S(txtname->text()));
  });
  connect(txtLocation, &QLineEdit::editingFinished, [this] {
    if (view_.loading) return;
    if (auto ch = PageChannel(view_.rom, page_)) RelocateHSDevice(ch->ROM, S(txtLocation->text()));
  });
  connect(chkLogToDB, &QCheckBox::toggled, [this](bool on) {
    if (view_.loading) return;
    if (auto ch = PageChannel(view_.rom, page_)) {
      Store().Set("Log", ch->ROM, on ? "1" : "0");
      ch->LogtoDB = on ? 1 : 0;
    }
  });
  connect(txtAdj, &QLineEdit::editingFinished, [this] {
    if (view_.loading) return;
    if (auto ch = PageChannel(view_.rom, page_)) {
      const double adj = Number(txtAdj->text());
      Store().Set("Adjustment", ch->ROM, PlainNumberText(adj));
      ch->Adjustment = adj;
    }
  });
}

void DeviceBlock::Show(const DSDevice* ch) {
  txtname->setText(ch ? Q(ch->HSName) : QString());
  txtLocation->setText(ch ? Q(ch->HSLocation) : QString());
  chkLogToDB->setChecked(ch && ch->LogtoDB != 0);
  txtAdj->setText(ch ? Q(PlainNumberText(ch->Adjustment)) : QString());
  txtValue->setText(ch ? ValueText(*ch) : QString("Wait..."));
}

void DeviceBlock::ShowReading(const DSDevice& ch) {
  txtValue->setText(ValueText(ch));
  const double v = ch.Reading;
  if (ch.HSString == "On" || ch.HSString == "Off") {
    // A state, not a measure (its reading is 1 or 0): the bar is full or empty.
    pbProps->setRange(0, 1);
    pbProps->setValue(ch.HSString == "On" ? 1 : 0);
  } else if (page_ == kTempPage) {
    pbProps->setRange(-55, 125);
    pbProps->setValue(static_cast<int>(std::lround(std::clamp(v, -55.0, 125.0))));
  } else if (page_ == kPotPage) {
    pbProps->setRange(0, 255);
    pbProps->setValue(static_cast<int>(std::clamp(v, 0.0, 255.0)));
  } else {
    pbProps->setRange(0, 100);
    pbProps->setValue(static_cast<int>(std::clamp(v, 0.0, 100.0)));
  }
}

}  // namespace qb::dialog
