#include "dialog/controls.h"

#include <QPushButton>

#include "core/settings.h"

namespace qb::dialog {

QLineEdit* Box(const char* name, const char* tip, int index) {
  auto* box = Named(new QLineEdit, name, index);
  if (tip) box->setToolTip(tip);
  return box;
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
  button->setStyleSheet(QString("background-color: %1").arg(colour.name()));
}

void SetRed(QLineEdit* box, bool red) {
  box->setStyleSheet(red ? "color: red" : "");
}

}  // namespace qb::dialog
