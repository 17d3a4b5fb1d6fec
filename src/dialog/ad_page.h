#pragma once

#include "dialog/device_page.h"

class QCheckBox;
class QLabel;

namespace qb::dialog {

// The A/D page of a battery monitor: its voltage (or humidity) channels and whether it is a
// humidity sensor.
class ADPage : public DevicePage {
 public:
  explicit ADPage(DeviceView& view);
  void Show(const std::string& rom, uint32_t caps) override;
  void ShowReadings(const std::string& rom, uint32_t caps) override;

  QLabel* lblAD;
  QCheckBox* chkHumid;
};

// The Info page: what the device is, the host device of its first channel, whether it is a
// humidity sensor (battery monitors) and whether the host shows its ROM id.
class InfoPage : public DevicePage {
 public:
  explicit InfoPage(DeviceView& view);
  void Show(const std::string& rom, uint32_t caps) override;
  void ShowReadings(const std::string& rom, uint32_t caps) override;
  // No device selected.
  void ShowNone();

  QLabel* lblInfo;
  QCheckBox *chkHumidInfo, *chkDeviceID;
};

}  // namespace qb::dialog
