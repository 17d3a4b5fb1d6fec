#include "dialog/quad_ad_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "dialog/controls.h"
#include "dialog/device_commands.h"
#include "platform/settings_store.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb::dialog {

namespace {

const char* const kScales[] = {"2.55V", "2.56V", "5.10V"};

}  // namespace

QuadADPage::QuadADPage(DeviceView& view) : DevicePage(view) {
  tbAD4 = Named(new QTabWidget, "tbAD4");
  for (int ch = 0; ch < 4; ++ch) {
    auto* p = new QWidget;
    cmbAD4Scale[ch] = Named(new QComboBox, "cmbAD4Scale", ch);
    for (const char* s : kScales) cmbAD4Scale[ch]->addItem(s);
    cmbAD4BitRes[ch] = Named(new QComboBox, "cmbAD4BitRes", ch);
    for (int bits = 1; bits <= 16; ++bits) cmbAD4BitRes[ch]->addItem(QString::number(bits));
    cmbAD4Low[ch] = Named(new QComboBox, "cmbAD4Low", ch);
    cmbAD4High[ch] = Named(new QComboBox, "cmbAD4High", ch);
    for (QComboBox* c : {cmbAD4Low[ch], cmbAD4High[ch]}) {
      c->addItem("None");
      for (int tenth = 0; tenth <= 51; tenth += 1)
        if (tenth % 5 == 0) c->addItem(QString::number(tenth / 10.0, 'f', 1));
    }
    cmbAD4OutState[ch] = Named(new QComboBox, "cmbAD4OutState", ch);
    cmbAD4OutState[ch]->addItems({"None", "On", "Off"});
    chkAD4Save[ch] = Check("chkAD4Save", "Init device on start", nullptr, ch);
    chkAD4Log[ch] = Check("chkAD4Log", "Log to DB", nullptr, ch);
    txtAD4Name[ch] = Box("txtname", "Device name in Hearthmoor", 10 + ch);
    txtAD4Location[ch] = Box("txtLocation", "Device location in Hearthmoor", 10 + ch);
    lblAD4[ch] = Named(new QLabel("Wait..."), "lblAD4", ch);
    pbAD4[ch] = Named(new QProgressBar, "pbAD4", ch);
    pbAD4[ch]->setRange(0, 510);
    pbAD4[ch]->setTextVisible(false);
    auto* form = new QFormLayout(p);
    form->addRow("Name:", txtAD4Name[ch]);
    form->addRow("Location:", txtAD4Location[ch]);
    form->addRow("Range:", cmbAD4Scale[ch]);
    form->addRow("Bits:", cmbAD4BitRes[ch]);
    form->addRow("Low trip:", cmbAD4Low[ch]);
    form->addRow("High trip:", cmbAD4High[ch]);
    form->addRow("Output:", cmbAD4OutState[ch]);
    form->addRow(chkAD4Save[ch]);
    form->addRow(chkAD4Log[ch]);
    form->addRow("Reading:", lblAD4[ch]);
    form->addRow(pbAD4[ch]);
    tbAD4->addTab(p, QString("Channel %1").arg(QChar('A' + ch)));
    connect(cmbAD4Scale[ch], &QComboBox::currentIndexChanged, [this, ch] { SettingChosen(ch, 1); });
    connect(cmbAD4BitRes[ch], &QComboBox::currentIndexChanged,
            [this, ch] { SettingChosen(ch, 2); });
    connect(cmbAD4Low[ch], &QComboBox::currentIndexChanged, [this, ch] { SettingChosen(ch, 3); });
    connect(cmbAD4High[ch], &QComboBox::currentIndexChanged, [this, ch] { SettingChosen(ch, 4); });
    connect(cmbAD4OutState[ch], &QComboBox::currentIndexChanged, [this, ch] { OutputChosen(ch); });
    connect(chkAD4Save[ch], &QCheckBox::toggled, [this, ch](bool on) {
      if (view_.loading || view_.rom.empty()) return;
      Store().Set("InitDevice", ChannelKey(ch), on ? "1" : "0");
    });
    connect(chkAD4Log[ch], &QCheckBox::toggled, [this, ch](bool on) {
      if (view_.loading || view_.rom.empty()) return;
      const std::string key = ChannelKey(ch);
      Store().Set("Log", key, on ? "1" : "0");
      if (auto rec = gROMs().FindDev(key)) rec->LogtoDB = on ? 1 : 0;
    });
    connect(txtAD4Name[ch], &QLineEdit::editingFinished, [this, ch] {
      if (!view_.loading && !view_.rom.empty())
        RenameHSDevice(ChannelKey(ch), S(txtAD4Name[ch]->text()));
    });
    connect(txtAD4Location[ch], &QLineEdit::editingFinished, [this, ch] {
      if (!view_.loading && !view_.rom.empty())
        RelocateHSDevice(ChannelKey(ch), S(txtAD4Location[ch]->text()));
    });
  }
  (new QVBoxLayout(this))->addWidget(tbAD4);
}

std::string QuadADPage::ChannelKey(int ch) const {
  return view_.rom + static_cast<char>('G' + ch);
}

void QuadADPage::Show(const std::string& rom, uint32_t caps) {
  if (!(caps & kCapQuadAD)) return;
  for (int ch = 0; ch < 4; ++ch) {
    const std::string key = rom + static_cast<char>('G' + ch);
    const auto channel = ChannelOf(rom, key);
    txtAD4Name[ch]->setText(channel ? Q(channel->HSName) : QString());
    txtAD4Location[ch]->setText(channel ? Q(channel->HSLocation) : QString());
    chkAD4Log[ch]->setChecked(channel && channel->LogtoDB != 0);
    chkAD4Save[ch]->setChecked(Store().GetOr("InitDevice", key, "0") == "1");
    auto pick = [&](QComboBox* box, const std::string& setting, const QString& fallback) {
      const std::string stored = Store().GetOr(key, setting, "");
      QString text = fallback;
      if (!stored.empty() && stored != "None") {
        text = Q(stored);
        if (setting == "Scale") text = QString::number(SettingToDouble(stored), 'f', 2) + "V";
        if (setting == "Output") text = stored == "1" ? "On" : "Off";
        if (setting == "TripL" || setting == "TripH")
          text = QString::number(SettingToDouble(stored), 'f', 1);
      }
      const int i = box->findText(text);
      box->setCurrentIndex(i >= 0 ? i : 0);
    };
    pick(cmbAD4Scale[ch], "Scale", "5.10V");
    pick(cmbAD4BitRes[ch], "Res", "8");
    pick(cmbAD4Low[ch], "TripL", "None");
    pick(cmbAD4High[ch], "TripH", "None");
    pick(cmbAD4OutState[ch], "Output", "None");
  }
}

void QuadADPage::Gather(const std::string& rom, uint32_t caps) {
  read_.clear();
  if (caps & kCapQuadAD) read_ = AD4Read(rom);
}

void QuadADPage::ShowReadings(const std::string& rom, uint32_t) {
  for (int ch = 0; ch < 4 && ch < static_cast<int>(read_.size()); ++ch) {
    const std::string key = rom + static_cast<char>('G' + ch);
    std::string shown;
    double volts = -1;
    if (const auto channel = ChannelOf(rom, key)) {
      shown = channel->HSString;
      volts = channel->Reading;
    }
    lblAD4[ch]->setText(
        Q((shown.empty() ? (volts != -1 ? PlainNumberText(volts) + "V" : "Wait...") : shown) +
          "   (range " + read_[ch].range + ", output " + read_[ch].output + ")"));
    // With no range stored for the channel, the range box shows the one the device has.
    if (Store().GetOr(key, "Scale", "").empty()) {
      const QString range = read_[ch].range.rfind("2.5", 0) == 0 ? "2.56V" : "5.10V";
      cmbAD4Scale[ch]->setCurrentText(range);
    }
    pbAD4[ch]->setValue(static_cast<int>(std::clamp(volts * 100, 0.0, 510.0)));
  }
}

void QuadADPage::SettingChosen(int ch, int setting) {
  if (view_.loading || view_.rom.empty()) return;
  const std::string key = ChannelKey(ch);
  double value = -1;
  std::string stored = "None";
  switch (setting) {
    case 1:
      value = Number(cmbAD4Scale[ch]->currentText().chopped(1));
      stored = PlainNumberText(value);
      Store().Set(key, "Scale", stored);
      break;
    case 2: {
      // The resolution as the converter takes it: volts per step for the chosen bits.
      const double range = Number(cmbAD4Scale[ch]->currentText().chopped(1));
      const int bits = cmbAD4BitRes[ch]->currentText().toInt();
      value = range / std::pow(2.0, bits);
      stored = PlainNumberText(value);
      Store().Set(key, "Res", stored);
      break;
    }
    case 3:
    case 4: {
      QComboBox* box = setting == 3 ? cmbAD4Low[ch] : cmbAD4High[ch];
      if (box->currentText() != "None") {
        value = Number(box->currentText());
        stored = PlainNumberText(value);
      }
      Store().Set(key, setting == 3 ? "TripL" : "TripH", stored);
      break;
    }
    default:
      return;
  }
  Skip([&] { Plugin().parts.devices->AD4Adjust(ch, setting, value, key); });
}

void QuadADPage::OutputChosen(int ch) {
  if (view_.loading || view_.rom.empty()) return;
  const std::string rom = view_.rom;
  const std::string key = ChannelKey(ch);
  const QString text = cmbAD4OutState[ch]->currentText();
  const double value = text == "On" ? 1 : text == "Off" ? 0 : -1;
  Store().Set(key, "Output", text == "None" ? "None" : value == 1 ? "1" : "0");
  Skip([&] { Plugin().parts.devices->AD4Adjust(ch, 5, value, key); });
  if (value != -1) OfferOutputSwitch(rom, ch, value == 1);
}

}  // namespace qb::dialog
