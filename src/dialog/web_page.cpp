#include "dialog/web_page.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>

#include "dialog/controls.h"

namespace qb::dialog {

WebPage::WebPage() {
  auto chart_frame = [this](const char* title, QLineEdit*& x, QLineEdit*& y, QCheckBox*& chk3d,
                            int first_colour, const char* xname, const char* yname,
                            const char* chkname) {
    auto* frame = new QGroupBox(title);
    x = Box(xname, nullptr);
    y = Box(yname, nullptr);
    for (QLineEdit* e : {x, y})
      e->setMaximumWidth(e->fontMetrics().horizontalAdvance("000000") + 16);
    chk3d = Check(chkname, "Plot 3D Chart");
    auto* form = new QFormLayout(frame);
    form->addRow("Width:", x);
    form->addRow("Height:", y);
    for (int i = first_colour; i < first_colour + 2; ++i) {
      cmdColour[i] = Named(new QPushButton, "cmdColour", i);
      cmdColour[i]->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);  // as wide as its name
      form->addRow(i % 2 == 0 ? "Start colour:" : "End colour:", cmdColour[i]);
      connect(cmdColour[i], &QPushButton::clicked, [this, i] {
        const QColor chosen = QColorDialog::getColor(colours[i], this);
        if (chosen.isValid()) ChooseColour(i, chosen);
      });
    }
    form->addRow(chk3d);
    for (QLineEdit* e : {x, y}) connect(e, &QLineEdit::textChanged, [this] { Changed(); });
    connect(chk3d, &QCheckBox::toggled, [this] { Changed(); });
    return frame;
  };
  // "ChartX" and "ChartY" size the chart of a device's page (today's readings), "ChartX1" and
  // "ChartY1" the chart of the charts page: each frame is titled by the chart it sizes.
  QWidget* device_chart = chart_frame("Device Chart Settings", txtChartX, txtChartY, chk3DChart, 0,
                                      "txtChartX", "txtChartY", "chk3DChart");
  QWidget* main_chart = chart_frame("Main Chart Settings", txtChartX1, txtChartY1, chk3DChart1, 2,
                                    "txtChartX1", "txtChartY1", "chk3DChart1");
  auto* pages = new QGroupBox("Default");
  auto* pl = new QGridLayout(pages);
  const char* names[] = {"Devices", "Charts", "Setup", "Debug"};
  for (int i = 0; i < 4; ++i) {
    optPage[i] = Named(new QRadioButton(names[i]), "optPage", i);
    chkPages[i] = Check("chkPages", "Show Page", nullptr, i);
    pl->addWidget(optPage[i], i, 0);
    pl->addWidget(chkPages[i], i, 1);
    connect(optPage[i], &QRadioButton::toggled, [this] { Changed(); });
    connect(chkPages[i], &QCheckBox::toggled, [this] { Changed(); });
  }
  auto* grid = new QGridLayout(this);
  grid->addWidget(device_chart, 0, 0);
  grid->addWidget(main_chart, 0, 1);
  grid->addWidget(pages, 1, 0);
  grid->setRowStretch(2, 1);
}

void WebPage::ChooseColour(int index, const QColor& colour) {
  colours[index] = colour;
  Swatch(cmdColour[index], colour);
  Changed();
}

void WebPage::Show(const Settings& s) {
  Filling filling(loading_);
  txtChartX->setText(QString::number(s.ChartX));
  txtChartY->setText(QString::number(s.ChartY));
  txtChartX1->setText(QString::number(s.ChartX1));
  txtChartY1->setText(QString::number(s.ChartY1));
  colours = {FromColourValue(s.StartColor), FromColourValue(s.EndColor),
             FromColourValue(s.StartColor1), FromColourValue(s.EndColor1)};
  for (int i = 0; i < 4; ++i) Swatch(cmdColour[i], colours[i]);
  chk3DChart->setChecked(s.Chart3D);
  chk3DChart1->setChecked(s.Chart3D1);
  optPage[std::clamp(s.DefaultPage, 0, 3)]->setChecked(true);
  for (int i = 0; i < 4; ++i) chkPages[i]->setChecked(s.WebPages[i]);
}

void WebPage::Read(Settings& s) const {
  auto num = [](const QLineEdit* e) { return SettingToInt(S(e->text().trimmed())); };
  s.ChartX = num(txtChartX);
  s.ChartY = num(txtChartY);
  s.ChartX1 = num(txtChartX1);
  s.ChartY1 = num(txtChartY1);
  s.StartColor = ToColourValue(colours[0]);
  s.EndColor = ToColourValue(colours[1]);
  s.StartColor1 = ToColourValue(colours[2]);
  s.EndColor1 = ToColourValue(colours[3]);
  s.Chart3D = chk3DChart->isChecked();
  s.Chart3D1 = chk3DChart1->isChecked();
  for (int i = 0; i < 4; ++i) {
    if (optPage[i]->isChecked()) s.DefaultPage = i;
    s.WebPages[i] = chkPages[i]->isChecked();
  }
}

}  // namespace qb::dialog
