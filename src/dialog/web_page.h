#pragma once

#include <QColor>
#include <array>

#include "dialog/settings_tab.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace qb::dialog {

// The Web Page tab: the size, colours and look of the two charts, and which web pages are shown
// and opened first.
class WebPage : public SettingsTab {
 public:
  WebPage();
  void Show(const Settings& s) override;
  void Read(Settings& s) const override;
  // Takes a colour for one of the four colour buttons, as the colour picker does.
  void ChooseColour(int index, const QColor& colour);

  QLineEdit *txtChartX, *txtChartY, *txtChartX1, *txtChartY1;
  std::array<QPushButton*, 4> cmdColour;
  std::array<QColor, 4> colours;
  QCheckBox *chk3DChart, *chk3DChart1;
  std::array<QRadioButton*, 4> optPage;
  std::array<QCheckBox*, 4> chkPages;
};

}  // namespace qb::dialog
