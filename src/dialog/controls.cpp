#include "dialog/controls.h"

#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>

#include "core/settings.h"

namespace qb::dialog {

QLineEdit* Box(const char* name, const char* tip, int index) {
  auto* box = Named(new QLineEdit, name, index);
  if (tip) box->setToolTip(tip);
  return box;
}

void FitRomIdText(QLineEdit* box, const QStringList& suffixes) {
  const QFontMetrics metrics = box->fontMetrics();
  QChar widest = '0';
  for (QChar c : QString("0123456789ABCDEF"))
    if (metrics.horizontalAdvance(c) > metrics.horizontalAdvance(widest)) widest = c;
  int suffix = 0;
  for (const QString& s : suffixes) suffix = std::max(suffix, metrics.horizontalAdvance(s));
  const QMargins margins = box->textMargins();
  // The text, the two pixels the box keeps free on each side, its margins, then its frame as the
  // style draws it.
  const QSize text(metrics.horizontalAdvance(QString(16, widest)) + suffix + 4 + margins.left() +
                       margins.right(),
                   metrics.height());
  QStyleOptionFrame option;
  option.initFrom(box);
  option.lineWidth = box->hasFrame() ? box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
  box->setMinimumWidth(
      box->style()->sizeFromContents(QStyle::CT_LineEdit, &option, text, box).width());
}

QCheckBox* Check(const char* name, const char* caption, const char* tip, int index) {
  auto* c = Named(new QCheckBox(caption), name, index);
  if (tip) c->setToolTip(tip);
  return c;
}

double Number(const QString& text) {
  return SettingToDouble(S(text.trimmed()));
}

QColor FromColourValue(int32_t v) {
  return QColor(v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF);
}

int32_t ToColourValue(const QColor& c) {
  return c.red() + 256 * c.green() + 65536 * c.blue();
}

void Swatch(QPushButton* button, const QColor& colour) {
  // The colour's name on it, in black or white as reads best: a white swatch on a light window
  // would look like an empty box.
  const bool light = colour.lightness() > 140;
  button->setText(colour.name().toUpper());
  button->setStyleSheet(
      QString("background-color: %1; color: %2").arg(colour.name(), light ? "black" : "white"));
}

void SetRed(QLineEdit* box, bool red) {
  box->setStyleSheet(red ? "color: red" : "");
}

}  // namespace qb::dialog
