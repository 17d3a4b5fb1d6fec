#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "core/plugin_parts.h"
#include "core/settings.h"
#include "dialog/device_tree.h"

class QPushButton;
class QTabWidget;

namespace qb::dialog {

class DatabasePage;
class DevicesTab;
class InterfacePage;
class SettingsPage;
class SettingsTab;
class WebPage;

// The "1-Wire Interface Setup" dialog: the settings tabs, the Devices tab, and the buttons below
// them. Runs on the plug-in's thread; every device operation takes the bus for itself and holds
// what it uses by shared ownership, so events that run while it waits (a web command, the poll
// tick, another click) cannot free it.
class SetupWindow : public QDialog, public SetupDialog {
 public:
  SetupWindow();
  ~SetupWindow() override;

  // SetupDialog
  void ShowModeless() override;
  void BringToFront() override;
  void ShowDeviceNode(const std::string& rom, int32_t highlight) override;
  void SelectDeviceTab(int tab) override;
  bool IsOpen() const override { return open_; }
  void RefreshDisplay() override;
  void Unload() override;
  void RefreshMemory(const std::string& rom) override;

  // Reads the stored settings into the controls and the process variables; disables Apply.
  void LoadSettings();
  // The controls' values as settings (limits not applied).
  Settings FromControls() const;
  // Takes the controls' values into effect with the limits; the controls show the bounds.
  void ApplySettings();
  void OK();
  void Cancel();
  // Shows the help page in a window of its own; when there is none, logs and says where it
  // was looked for.
  void ShowHelp();

  // Where Help looks for its page: beside this program (empty: the running program) and then
  // in the source tree (see help_page.h).
  std::string help_executable;
  std::string help_source_page;
  // The help window, once Help has opened it.
  QDialog* help_window = nullptr;

  QTabWidget* tbSetup;
  InterfacePage* interface_page;
  SettingsPage* settings_page;
  DevicesTab* devices;
  DatabasePage* database_page;
  WebPage* web_page;
  QPushButton *cmdAbout, *cmdHelp, *cmdRefresh, *Apply, *OKButton, *CancelButton;

 protected:
  void closeEvent(class QCloseEvent* event) override;
  void reject() override;

 private:
  void Activate();
  void MarkClosed();
  void ShowSettings(const Settings& s);
  void TakeIntoEffect(const Settings& s);
  void ShowAbout();

  bool open_ = false;
  bool first_activation_ = true;
};

}  // namespace qb::dialog
