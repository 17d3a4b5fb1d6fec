#pragma once

#include <array>
#include <functional>

#include "dialog/device_page.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace qb::dialog {

// The Misc page of a switch: one row per switch channel with its state, its sensed level and a
// button that turns it over.
class SwitchPage : public DevicePage {
 public:
  explicit SwitchPage(DeviceView& view);
  void Show(const std::string& rom, uint32_t caps) override;
  void ShowReadings(const std::string& rom, uint32_t caps) override;
  // Turns the switch channel of the row off when it shows "On", else on, and shows it read again.
  void MiscClicked(int row);
  // Reads the selected device again and shows it (the dialog's Refresh).
  std::function<void()> refresh;

  std::array<QPushButton*, 4> cmdMisc;
  std::array<QLabel*, 4> lblMisc1, lblMisc2;
};

// The Pot page of a digital potentiometer: its wiper, by slider or typed.
class PotPage : public DevicePage {
 public:
  explicit PotPage(DeviceView& view);
  void Show(const std::string& rom, uint32_t caps) override;
  void ShowReadings(const std::string& rom, uint32_t caps) override;

  QSlider* hsPot;
  QLineEdit* txtPot;
};

}  // namespace qb::dialog
