#pragma once

#include <QWidget>
#include <array>
#include <string>

#include "dialog/device_page.h"
#include "dialog/device_tree.h"

class QTabWidget;
class QTreeWidgetItem;

namespace qb::dialog {

class ADPage;
class InfoPage;
class MemoryPage;
class PotPage;
class QuadADPage;
class SwitchPage;
class TempPage;
class TimePage;

// The Devices tab: the device tree beside the page set of the selected device. A click on a node
// fills the pages from the device's records and selects the page of its function; Refresh reads
// the device and shows what it read.
class DevicesTab : public QWidget {
 public:
  DevicesTab();

  // A node clicked (null: beside every node).
  void NodeClick(QTreeWidgetItem* node);
  // Shows a device's node in a colour; navy (opened from the host) also selects it.
  void DisplayNodeInfo(const std::string& rom, const QColor& colour);
  // Reads the selected device and shows it; adds the devices the tree does not show yet.
  void RefreshDisplay();
  // Selects a device page by the number the host uses.
  void SelectPage(int page);
  // The tree anew from the registry (the first showing of the dialog).
  void RebuildTree() { DevView->Rebuild(view.rom); }
  const std::string& SelectedRom() const { return view.rom; }
  // The page of a number the host uses; null for the numbers kept free.
  DevicePage* Page(int page) const { return pages_.at(static_cast<size_t>(page)); }

  DeviceView view;
  DeviceTree* DevView;
  QTabWidget* tbDevice;
  TempPage* temp;
  ADPage* ad;
  QuadADPage* quad;
  MemoryPage* memory;
  TimePage* time;
  SwitchPage* switches;
  PotPage* pot;
  InfoPage* info;

 private:
  void ShowPages();
  static uint32_t PageCaps(int page);
  std::array<DevicePage*, kDevicePageCount> pages_{};
};

}  // namespace qb::dialog
