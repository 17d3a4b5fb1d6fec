#include "dialog/device_tree.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

#include "dialog/controls.h"
#include "dialog/device_page.h"
#include "registry/records.h"

namespace qb::dialog {

namespace {

constexpr int kRomRole = Qt::UserRole;

}  // namespace

DeviceTree::DeviceTree() {
  setObjectName("DevView");
  setToolTip("Select device to display");
  setHeaderHidden(true);
  // A device's ROM id shows in full: room for sixteen of the widest hexadecimal digit, two
  // levels of indentation, the icon and the scroll bar.
  int digit = 0;
  for (QChar c : QString("0123456789ABCDEF"))
    digit = std::max(digit, fontMetrics().horizontalAdvance(c));
  const int icon = style()->pixelMetric(QStyle::PM_SmallIconSize);
  setMinimumWidth(16 * digit + 2 * indentation() + icon + 16 +
                  style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 2 * frameWidth());
  header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  header()->setStretchLastSection(false);
}

void DeviceTree::mousePressEvent(QMouseEvent* event) {
  QTreeWidget::mousePressEvent(event);
  QTreeWidgetItem* item = itemAt(event->position().toPoint());
  if (!item) setCurrentItem(nullptr);
  if (clicked) clicked(item);
}

std::string DeviceTree::RomOf(const QTreeWidgetItem* node) {
  return node ? S(node->data(0, kRomRole).toString()) : std::string();
}

QTreeWidgetItem* DeviceTree::FindDeviceNode(const std::string& rom) const {
  const QString key = Q(rom.substr(0, 16));
  for (int g = 0; g < topLevelItemCount(); ++g) {
    QTreeWidgetItem* group = topLevelItem(g);
    for (int c = 0; c < group->childCount(); ++c)
      if (group->child(c)->data(0, kRomRole).toString() == key) return group->child(c);
  }
  return nullptr;
}

QTreeWidgetItem* DeviceTree::AddDeviceNode(const std::string& rom) {
  if (rom.size() < 16) return nullptr;
  if (QTreeWidgetItem* node = FindDeviceNode(rom)) return node;
  const QString part = Q(GroupName(rom));
  QTreeWidgetItem* group = nullptr;
  for (int g = 0; g < topLevelItemCount(); ++g)
    if (topLevelItem(g)->text(0) == part) group = topLevelItem(g);
  if (!group) {
    group = new QTreeWidgetItem(QStringList(part));
    group->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));  // "tree"
    addTopLevelItem(group);
    group->setExpanded(true);
  }
  auto* node = new QTreeWidgetItem(QStringList(Q(rom.substr(0, 16))));
  node->setData(0, kRomRole, Q(rom.substr(0, 16)));
  node->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));  // "node"
  group->addChild(node);
  return node;
}

void DeviceTree::Rebuild(const std::string& selected) {
  clear();
  Mend();
  if (QTreeWidgetItem* node = FindDeviceNode(selected)) setCurrentItem(node);
}

void DeviceTree::Mend() {
  const auto roms = gROMs().ROMlist;  // a copy: the registry may change while nodes are added
  for (const auto& rom : roms) {
    const bool known = FindDeviceNode(rom->ROM) != nullptr;
    QTreeWidgetItem* node = AddDeviceNode(rom->ROM);
    if (!node) continue;
    if (rom->Absent)
      node->setForeground(0, kNodeAbsent);
    else if (known && node->foreground(0).color() == kNodeAbsent)
      node->setForeground(0, palette().text().color());
  }
}

}  // namespace qb::dialog
