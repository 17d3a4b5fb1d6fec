#pragma once

#include <utility>

#include "dialog/device_page.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace qb::dialog {

// The Temp page of a thermometer: its resolution and its alarm limits.
class TempPage : public DevicePage {
 public:
  explicit TempPage(DeviceView& view);
  void Show(const std::string& rom, uint32_t caps) override;
  void Gather(const std::string& rom, uint32_t caps) override;
  void ShowReadings(const std::string& rom, uint32_t caps) override;
  // Writes the limits typed in (shown red) to the device; a limit not changed is not written.
  void SetAlarm();

  QComboBox* cmbResolution;
  QLineEdit *txtHi, *txtLo;
  QSpinBox *UpDown1, *UpDown2;
  QPushButton* cmdSetAlarm;

 private:
  void LimitChanged(QLineEdit* box, bool& changed);
  bool hi_changed_ = false, lo_changed_ = false;
  std::pair<double, double> limits_{0, 0};
};

}  // namespace qb::dialog
