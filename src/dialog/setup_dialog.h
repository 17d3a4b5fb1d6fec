#pragma once

#include <QColor>
#include <QDialog>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/plugin_parts.h"
#include "core/settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace qb {
struct DSDevice;
}

namespace qb::dialog {

class FileBrowser;

// Device operations the dialog's clock rows and Info page call. They belong to other parts of
// the plug-in; the program fills in those that are built, and a row whose operation is missing
// says so instead of doing nothing.
struct DialogOperations {
  // Sets a device clock: bits 1 the clock to the computer's time, 2 the clock alarm, 16 the
  // interval timer, 32 the interval-timer alarm.
  std::function<void(const std::string& rom, int bits)> set_clock;
  // The four clock rows of a device: text and tick of each.
  std::function<std::vector<std::pair<std::string, bool>>(const std::string& rom)> show_dev_time;
  // The device information text of the Info page.
  std::function<std::string(const std::string& rom)> device_info;
};

// The node colours of the device tree.
inline const QColor kNodeAlarming(255, 0, 0);
inline const QColor kNodeAbsent(128, 128, 128);
inline const QColor kNodeFromHost(0, 0, 128);

// The "1-Wire Interface Setup" dialog: five settings tabs, the device tree with per-device pages,
// and the buttons below. Runs on the plug-in's thread; every device operation takes the bus for
// itself and holds what it uses by shared ownership, so events that run while it waits (a web
// command, the poll tick, another click) cannot free it.
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

  // Device tree.
  void RebuildTree();
  QTreeWidgetItem* AddDeviceNode(const std::string& rom);
  void DisplayNodeInfo(const std::string& rom, const QColor& colour);
  void DevView_NodeClick(QTreeWidgetItem* node);
  QTreeWidgetItem* FindDeviceNode(const std::string& rom) const;
  const std::string& SelectedRom() const { return selected_rom_; }

  // Page actions.
  void SetAlarm();
  void MiscClicked(int row);
  void SetClockClicked(int row);
  void Autodetect();
  // The database browser: 1 lists the tables of the connection, 2 the chosen table's columns.
  void Browse(int mode);
  // Shows the help page in a window of its own; when there is none, logs and says where it
  // was looked for.
  void ShowHelp();

  DialogOperations ops;
  // Where Autodetect writes what it found (the plug-in's default-adapter file).
  std::string default_adapter_file;
  std::vector<std::string> autodetect_extra_ports;
  // Where Help looks for its page: beside this program (empty: the running program) and then
  // in the source tree (see help_page.h).
  std::string help_executable;
  std::string help_source_page;
  // The help window, once Help has opened it.
  QDialog* help_window = nullptr;

  // Controls, by their names.
  QTabWidget* tbSetup;
  QComboBox *IntType, *IntPort;
  std::array<QRadioButton*, 4> optSpeed;
  QCheckBox *ChkDefault, *chkWeb;
  QPushButton* cmdAuto;
  QLabel* lblVer;
  QLineEdit *txtPollCycle, *PollTemp, *PollAD, *PollI, *txtSig;
  QCheckBox *chkTimer, *chkPresence, *chkAlarming, *chkAppend, *chkAlarmLog, *chkPollAlarm,
      *chkDisplay;
  std::array<QRadioButton*, 2> OptionTemp;
  std::array<QRadioButton*, 3> optAlarm;
  std::array<QLineEdit*, 2> txtSpeech;
  QComboBox* cmbDebug;
  QTreeWidget* DevView;
  QTabWidget* tbDevice;
  QLineEdit* txtDB;
  QPushButton* cmdFile;
  QComboBox* TableCombo;
  std::array<QComboBox*, 3> FieldCombo;
  QLineEdit* txtSQL;
  std::array<QRadioButton*, 2> optDB;
  QCheckBox *chkDBLog, *chkChanges, *chkDBKeepOpen;
  QLineEdit *txtChartX, *txtChartY, *txtChartX1, *txtChartY1;
  std::array<QPushButton*, 4> cmdColour;
  std::array<QColor, 4> colours;
  QCheckBox *chk3DChart, *chk3DChart1;
  std::array<QRadioButton*, 4> optPage;
  std::array<QCheckBox*, 4> chkPages;
  QLabel* lblChartDirector;
  QPushButton *cmdAbout, *cmdHelp, *cmdRefresh, *Apply, *OKButton, *CancelButton;

  // Device pages: the common block, by page.
  std::array<QLineEdit*, 10> txtname{}, txtLocation{}, txtAdj{}, txtValue{};
  std::array<QCheckBox*, 10> chkLogToDB{};
  std::array<QProgressBar*, 10> pbProps{};
  QComboBox* cmbResolution;
  QLineEdit *txtHi, *txtLo;
  QSpinBox *UpDown1, *UpDown2;
  QPushButton* cmdSetAlarm;
  QLabel* lblAD;
  QCheckBox *chkHumid, *chkHumidInfo, *chkDeviceID;
  QTabWidget* tbAD4;
  std::array<QComboBox*, 4> cmbAD4Scale, cmbAD4BitRes, cmbAD4Low, cmbAD4High, cmbAD4OutState;
  std::array<QCheckBox*, 4> chkAD4Save, chkAD4Log;
  std::array<QLineEdit*, 4> txtAD4Name, txtAD4Location;
  std::array<QLabel*, 4> lblAD4;
  std::array<QProgressBar*, 4> pbAD4;
  FileBrowser* files;
  QComboBox* BankCombo;
  QListWidget *FeatureList, *DataList;
  QPushButton *cmdMemoryEdit, *cmdMemPause;
  std::array<QLineEdit*, 4> txtTim;
  std::array<QCheckBox*, 4> chkTim;
  std::array<QPushButton*, 4> cmdSetClock;
  std::array<QPushButton*, 4> cmdMisc;
  std::array<QLabel*, 4> lblMisc1, lblMisc2;
  QSlider* hsPot;
  QLineEdit* txtPot;
  QLabel* lblInfo;

 protected:
  void closeEvent(class QCloseEvent* event) override;
  void reject() override;

 private:
  void BuildInterfaceTab();
  void BuildSettingsTab();
  void BuildDevicesTab();
  void BuildDatabaseTab();
  void BuildWebTab();
  QWidget* CommonBlock(int page);
  void Changed();
  void FillPorts();
  void Activate();
  void MarkClosed();
  void ShowSettings(const Settings& s);
  void ShowPages();
  void ShowMemory();
  void ShowBank(int index);
  void AD4Changed(int ch, int setting);
  void AD4OutputChosen(int ch);
  void ShowAbout();
  std::shared_ptr<DSDevice> PageChannel(int page) const;
  std::string PageKey(int page) const;

  bool open_ = false;
  bool first_activation_ = true;
  bool loading_ = false;  // controls being filled: no Apply, no device writes
  bool paused_ = false;
  bool hi_changed_ = false, lo_changed_ = false;
  std::string selected_rom_;
};

}  // namespace qb::dialog
