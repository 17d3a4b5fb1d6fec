#pragma once

#include <QColor>
#include <QTreeWidget>
#include <functional>
#include <string>

namespace qb::dialog {

// The node colours of the device tree.
inline const QColor kNodeAlarming(255, 0, 0);
inline const QColor kNodeAbsent(128, 128, 128);
inline const QColor kNodeFromHost(0, 0, 128);

// The device tree: one group node per part, one node per device under it, keyed by ROM id. A
// press anywhere, on a node or beside every node, is a node click.
class DeviceTree : public QTreeWidget {
 public:
  DeviceTree();
  std::function<void(QTreeWidgetItem*)> clicked;

  QTreeWidgetItem* FindDeviceNode(const std::string& rom) const;
  // The device's node, added under its part's group when it has none.
  QTreeWidgetItem* AddDeviceNode(const std::string& rom);
  // The tree anew from the registry, `selected` selected again.
  void Rebuild(const std::string& selected);
  // Adds the devices of the registry the tree does not show yet (found while the tree was not
  // looking) and greys those the read cycle found absent; other colours stay.
  void Mend();
  // The ROM id of a device node; empty for a group node or none.
  static std::string RomOf(const QTreeWidgetItem* node);

 protected:
  void mousePressEvent(class QMouseEvent* event) override;
};

}  // namespace qb::dialog
