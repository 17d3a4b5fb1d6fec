#pragma once

#include <array>
#include <vector>

#include "dialog/device_page.h"
#include "onewire/device_config.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QTabWidget;

namespace qb::dialog {

// The AD 4 page of a quad A/D converter: per channel its range, resolution, trip levels, output,
// host device and reading.
class QuadADPage : public DevicePage {
 public:
  explicit QuadADPage(DeviceView& view);
  void Show(const std::string& rom, uint32_t caps) override;
  void Gather(const std::string& rom, uint32_t caps) override;
  void ShowReadings(const std::string& rom, uint32_t caps) override;

  QTabWidget* tbAD4;
  std::array<QComboBox*, 4> cmbAD4Scale, cmbAD4BitRes, cmbAD4Low, cmbAD4High, cmbAD4OutState;
  std::array<QCheckBox*, 4> chkAD4Save, chkAD4Log;
  std::array<QLineEdit*, 4> txtAD4Name, txtAD4Location;
  std::array<QLabel*, 4> lblAD4;
  std::array<QProgressBar*, 4> pbAD4;

 private:
  // Stores a channel setting (1 range, 2 resolution, 3 low trip, 4 high trip) and writes it.
  void SettingChosen(int ch, int setting);
  void OutputChosen(int ch);
  std::string ChannelKey(int ch) const;
  std::vector<AD4Channel> read_;
};

}  // namespace qb::dialog
