#pragma once

// Small helpers shared by the Setup dialog's pages: named controls (the names the tests and the
// help page use), text conversions and the colour value the settings store.
#include <QCheckBox>
#include <QColor>
#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

class QPushButton;

namespace qb::dialog {

template <typename T>
T* Named(T* widget, const char* name, int index = -1) {
  widget->setObjectName(name);
  if (index >= 0) widget->setProperty("Index", index);
  return widget;
}

QLineEdit* Box(const char* name, const char* tip, int index = -1);
// Makes a box at least wide enough to show a ROM id (sixteen of the font's widest hexadecimal
// digit) followed by any of `suffixes` whole.
void FitRomIdText(QLineEdit* box, const QStringList& suffixes);
QCheckBox* Check(const char* name, const char* caption, const char* tip = nullptr, int index = -1);

inline QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
inline std::string S(const QString& s) {
  return s.toStdString();
}
// A number typed in a box, read as the settings read numbers (the leading number, else 0).
double Number(const QString& text);

// Colours as the settings hold them: red + 256 * green + 65536 * blue.
QColor FromColourValue(int32_t v);
int32_t ToColourValue(const QColor& c);

// A colour button shows its colour as its face, and the colour's name on it.
void Swatch(QPushButton* button, const QColor& colour);
// A limit box typed in but not yet written to the device shows red.
void SetRed(QLineEdit* box, bool red);

// Holds a "controls are being filled" flag for a scope and restores what it was: signals of
// controls filled from stored values must neither enable Apply nor write to a device.
class Filling {
 public:
  explicit Filling(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
  ~Filling() { flag_ = was_; }
  Filling(const Filling&) = delete;
  Filling& operator=(const Filling&) = delete;

 private:
  bool& flag_;
  bool was_;
};

}  // namespace qb::dialog
