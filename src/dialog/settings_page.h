#pragma once

#include <array>

#include "dialog/settings_tab.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;

namespace qb::dialog {

// The Settings tab: the poll cycle and what each cycle reads, the display of temperatures, what
// an alarm does, the speech texts and how much is logged.
class SettingsPage : public SettingsTab {
 public:
  SettingsPage();
  void Show(const Settings& s) override;
  void Read(Settings& s) const override;

  QLineEdit *txtPollCycle, *PollTemp, *PollAD, *PollI, *txtSig;
  QCheckBox *chkTimer, *chkPresence, *chkAlarming, *chkAppend, *chkAlarmLog, *chkPollAlarm,
      *chkDisplay;
  std::array<QRadioButton*, 2> OptionTemp;
  std::array<QRadioButton*, 3> optAlarm;
  std::array<QLineEdit*, 2> txtSpeech;
  QComboBox* cmbDebug;
};

}  // namespace qb::dialog
