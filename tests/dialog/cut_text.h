#pragma once

// What a person would see cut off in a window: a box whose text does not fit, a button, check
// box or label narrower than its caption, a tab whose title is elided. Measured with the fonts
// and style of the platform the test runs on, so it tells most under a real X server.
#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTabBar>
#include <QWidget>
#include <algorithm>
#include <string>
#include <vector>

namespace qb::test {

inline std::string WidgetName(const QWidget* w) {
  std::string name = w->objectName().toStdString();
  if (const QVariant index = w->property("Index"); index.isValid())
    name += "(" + index.toString().toStdString() + ")";
  return name.empty() ? w->metaObject()->className() : name;
}

// The width a line edit gives its text: inside its frame, its margins and the two pixels Qt keeps
// free on each side.
inline int TextRoom(const QLineEdit* box) {
  QStyleOptionFrame option;
  option.initFrom(box);
  option.rect = box->rect();
  option.lineWidth = box->hasFrame() ? box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
  const QRect contents = box->style()->subElementRect(QStyle::SE_LineEditContents, &option, box);
  const QMargins margins = box->textMargins();
  return contents.width() - margins.left() - margins.right() - 4;
}

// One line per visible control under `top` whose text a person would see cut off.
inline std::vector<std::string> CutTexts(const QWidget* top) {
  std::vector<std::string> cut;
  auto note = [&](const QWidget* w, const QString& text, int need, int room) {
    cut.push_back(WidgetName(w) + " \"" + text.toStdString() + "\" needs " + std::to_string(need) +
                  " px, has " + std::to_string(room));
  };
  for (const QWidget* w : top->findChildren<QWidget*>()) {
    if (!w->isVisible()) continue;
    if (auto* box = qobject_cast<const QLineEdit*>(w)) {
      const int need = box->fontMetrics().horizontalAdvance(box->text());
      if (need > TextRoom(box)) note(w, box->text(), need, TextRoom(box));
    } else if (auto* tabs = qobject_cast<const QTabBar*>(w)) {
      for (int i = 0; i < tabs->count(); ++i) {
        if (!tabs->isTabVisible(i)) continue;
        const QRect tab = tabs->tabRect(i);
        const int need = tabs->fontMetrics().size(Qt::TextShowMnemonic, tabs->tabText(i)).width();
        if (tab.width() < need || tab.right() >= tabs->width())
          note(w, tabs->tabText(i), need, std::min(tab.width(), tabs->width() - tab.left()));
      }
    } else if (auto* label = qobject_cast<const QLabel*>(w); label && label->wordWrap()) {
      continue;  // a wrapping label takes the lines it needs
    } else if (qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLabel*>(w) ||
               qobject_cast<const QComboBox*>(w)) {
      const QSize need = w->minimumSizeHint();
      if (w->width() < need.width() || w->height() < need.height()) {
        QString text;
        if (auto* b = qobject_cast<const QAbstractButton*>(w)) text = b->text();
        if (auto* l = qobject_cast<const QLabel*>(w)) text = l->text();
        if (auto* c = qobject_cast<const QComboBox*>(w)) text = c->currentText();
        note(w, text, need.width(), w->width());
      }
    }
  }
  return cut;
}

}  // namespace qb::test
