#include "dialog/settings_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "dialog/controls.h"

namespace qb::dialog {

namespace {

const char* const kDebugItems[] = {"None",
                                   "Errors & Alarms",
                                   "Errors & Updates",
                                   "Above + Cycle Info",
                                   "Above + Detailed Cycle Info",
                                   "Log Filler!!"};

// A box for a whole number of a few digits: wide enough for them, not for a sentence.
QLineEdit* NumberBox(const char* name, const char* tip) {
  QLineEdit* box = Box(name, tip);
  box->setMaximumWidth(box->fontMetrics().horizontalAdvance("0000000") + 16);
  return box;
}

}  // namespace

SettingsPage::SettingsPage() {
  auto* poll = new QGroupBox("Poll Every");
  txtPollCycle = NumberBox("txtPollCycle", "Interval between polls");
  PollTemp = NumberBox("PollTemp", "Number of cycles between each temperature poll");
  PollAD = NumberBox("PollAD", "Number of cycles between each A/D poll");
  PollI = NumberBox("PollI", "Number of cycles between each Vsense poll");
  chkTimer = Check("chkTimer", "Enable");
  chkPresence = Check("chkPresence", "Presence Checking");
  chkAlarming = Check("chkAlarming", "Fast poll");
  txtSig = NumberBox("txtSig", "Number of digits to display after the decimal point");
  auto* pf = new QFormLayout(poll);
  pf->addRow("Seconds:", txtPollCycle);
  pf->addRow("Temperature cycles:", PollTemp);
  pf->addRow("A/D cycles:", PollAD);
  pf->addRow("Vsense cycles:", PollI);
  pf->addRow(chkTimer);
  pf->addRow(chkPresence);
  pf->addRow(chkAlarming);
  pf->addRow("Significant Digits:", txtSig);

  auto* display = new QGroupBox("Display");
  chkAppend = Check("chkAppend", "Append Unit to HS");
  OptionTemp[0] = Named(new QRadioButton("Centi&grade"), "OptionTemp", 0);
  OptionTemp[1] = Named(new QRadioButton("&Fahrenheit"), "OptionTemp", 1);
  auto* dl = new QVBoxLayout(display);
  dl->addWidget(chkAppend);
  dl->addWidget(OptionTemp[0]);
  dl->addWidget(OptionTemp[1]);

  auto* alarms = new QGroupBox("Alarms");
  const char* modes[] = {"Ig&nore", "&Beep", "Spea&k"};
  auto* al = new QVBoxLayout(alarms);
  for (int i = 0; i < 3; ++i) {
    optAlarm[i] = Named(new QRadioButton(modes[i]), "optAlarm", i);
    al->addWidget(optAlarm[i]);
  }
  chkAlarmLog = Check("chkAlarmLog", "&Log to HS");
  chkPollAlarm = Check("chkPollAlarm", "Always poll");
  al->addWidget(chkAlarmLog);
  al->addWidget(chkPollAlarm);

  txtSpeech[0] = Box("txtSpeech", nullptr, 0);
  txtSpeech[1] = Box("txtSpeech", nullptr, 1);
  cmbDebug = Named(new QComboBox, "cmbDebug");
  cmbDebug->setToolTip("Level of information logged to Hearthmoor");
  for (const char* item : kDebugItems) cmbDebug->addItem(item);
  chkDisplay = Check("chkDisplay", "Dis&play setup at startup");
  auto* bottom = new QFormLayout;
  bottom->addRow("Speech on load:", txtSpeech[0]);
  bottom->addRow("Speech on Alarm:", txtSpeech[1]);
  bottom->addRow("Debug:", cmbDebug);
  bottom->addRow(chkDisplay);

  auto* grid = new QGridLayout(this);
  grid->addWidget(poll, 0, 0, 2, 1);
  grid->addWidget(display, 0, 1);
  grid->addWidget(alarms, 1, 1);
  grid->addLayout(bottom, 2, 0, 1, 2);

  for (QLineEdit* e : {txtPollCycle, PollTemp, PollAD, PollI, txtSig, txtSpeech[0], txtSpeech[1]})
    connect(e, &QLineEdit::textChanged, [this] { Changed(); });
  for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
           chkTimer, chkPresence, chkAlarming, chkAppend, OptionTemp[0], OptionTemp[1], optAlarm[0],
           optAlarm[1], optAlarm[2], chkAlarmLog, chkPollAlarm, chkDisplay})
    connect(b, &QAbstractButton::toggled, [this] { Changed(); });
  connect(cmbDebug, &QComboBox::currentIndexChanged, [this] { Changed(); });
}

void SettingsPage::Show(const Settings& s) {
  Filling filling(loading_);
  txtPollCycle->setText(QString::number(s.CycleSeconds));
  PollTemp->setText(QString::number(s.PollTemp));
  PollAD->setText(QString::number(s.PollAD));
  PollI->setText(QString::number(s.PollI));
  chkTimer->setChecked(s.chkTimer);
  chkPresence->setChecked(s.Presence);
  chkAlarming->setChecked(s.Alarming);
  txtSig->setText(QString::number(s.SigFigs));
  chkAppend->setChecked(s.Append);
  OptionTemp[s.Range ? 1 : 0]->setChecked(true);
  optAlarm[std::clamp(s.AlarmMode, 0, 2)]->setChecked(true);
  chkAlarmLog->setChecked(s.LogAlarms);
  chkPollAlarm->setChecked(s.PollAlarming);
  txtSpeech[0]->setText(Q(s.Speech));
  txtSpeech[1]->setText(Q(s.AlarmSpeech));
  cmbDebug->setCurrentIndex(std::clamp(s.DebugLevel, 0, 5));
  chkDisplay->setChecked(s.Display);
}

void SettingsPage::Read(Settings& s) const {
  auto num = [](const QLineEdit* e) { return SettingToInt(S(e->text().trimmed())); };
  s.CycleSeconds = num(txtPollCycle);
  s.PollTemp = num(PollTemp);
  s.PollAD = num(PollAD);
  s.PollI = num(PollI);
  s.chkTimer = chkTimer->isChecked();
  s.Presence = chkPresence->isChecked();
  s.Alarming = chkAlarming->isChecked();
  // The byte it is held in would wrap a large number to a small one: bound it first.
  s.SigFigs = static_cast<uint8_t>(std::clamp(num(txtSig), 0, 10));
  s.Append = chkAppend->isChecked();
  s.Range = OptionTemp[1]->isChecked();
  for (int i = 0; i < 3; ++i)
    if (optAlarm[i]->isChecked()) s.AlarmMode = i;
  s.LogAlarms = chkAlarmLog->isChecked();
  s.PollAlarming = chkPollAlarm->isChecked();
  s.Speech = S(txtSpeech[0]->text());
  s.AlarmSpeech = S(txtSpeech[1]->text());
  s.DebugLevel = cmbDebug->currentIndex();
  s.Display = chkDisplay->isChecked();
}

}  // namespace qb::dialog
