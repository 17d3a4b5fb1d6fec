#pragma once

#include "dialog/device_page.h"

class QComboBox;
class QListWidget;
class QPushButton;

namespace qb::dialog {

class FileBrowser;

// The Mem page of a memory device: its file system, and its memory banks page by page, read
// again on each refresh unless paused.
class MemoryPage : public DevicePage {
 public:
  explicit MemoryPage(DeviceView& view);
  void Show(const std::string& rom, uint32_t caps) override;
  // Lists the selected device's banks and shows the first.
  void ShowMemory();
  // Shows one bank's description and pages (-1: none).
  void ShowBank(int index);
  // Reads the shown bank again, unless paused.
  void Refresh();
  // The memory of `rom` was read elsewhere: the shown bank is read again unless paused.
  void Reread(const std::string& rom);
  // Continues a paused refresh (a new selection or a new showing of the dialog).
  void Unpause();
  bool Paused() const { return paused_; }

  FileBrowser* files;
  QComboBox* BankCombo;
  QListWidget *FeatureList, *DataList;
  QPushButton *cmdMemoryEdit, *cmdMemPause;

 private:
  void EditClicked();
  bool paused_ = false;
};

}  // namespace qb::dialog
