#pragma once

#include <array>

#include "dialog/settings_tab.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace qb::dialog {

// The Database tab: the connection, the table and columns readings are logged to, and when.
class DatabasePage : public SettingsTab {
 public:
  DatabasePage();
  void Show(const Settings& s) override;
  void Read(Settings& s) const override;
  // The database browser: 1 lists the tables of the connection, 2 the chosen table's columns.
  void Browse(int mode);

  QLineEdit* txtDB;
  QPushButton* cmdFile;
  QComboBox* TableCombo;
  std::array<QComboBox*, 3> FieldCombo;
  QLineEdit* txtSQL;
  std::array<QRadioButton*, 2> optDB;
  QCheckBox *chkDBLog, *chkChanges, *chkDBKeepOpen;
};

}  // namespace qb::dialog
