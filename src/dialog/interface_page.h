#pragma once

#include <array>
#include <string>
#include <vector>

#include "dialog/settings_tab.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace qb::dialog {

// The Interface tab: adapter type, port and speed, the default adapter and its autodetect, the
// web-page switch, and what the chosen type opens.
class InterfacePage : public SettingsTab {
 public:
  InterfacePage();
  void Show(const Settings& s) override;
  void Read(Settings& s) const override;
  // Looks for adapters, says what it found and takes the first into the controls.
  void Autodetect();

  // Where Autodetect writes what it found (empty: the plug-in's default-adapter file).
  std::string default_adapter_file;
  std::vector<std::string> autodetect_extra_ports;

  QComboBox *IntType, *IntPort;
  std::array<QRadioButton*, 4> optSpeed;
  QCheckBox *ChkDefault, *chkWeb;
  QPushButton* cmdAuto;
  QLabel* lblVer;

 private:
  void FillPorts();
};

}  // namespace qb::dialog
