#include "dialog/setup_dialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

#include "core/host_calls.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "core/timer_window.h"
#include "dialog/controls.h"
#include "dialog/database_page.h"
#include "dialog/devices_tab.h"
#include "dialog/help_page.h"
#include "dialog/interface_page.h"
#include "dialog/memory_page.h"
#include "dialog/settings_page.h"
#include "dialog/web_page.h"
#include "onewire/temperature_scale.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"

namespace qb::dialog {

SetupWindow::SetupWindow() {
#ifdef QB_SOURCE_HELP_PAGE
  help_source_page = QB_SOURCE_HELP_PAGE;
#endif
  setObjectName("frmSetup");
  setWindowTitle("1-Wire Interface Setup");
  setModal(false);
  tbSetup = Named(new QTabWidget, "tbSetup");
  interface_page = new InterfacePage;
  settings_page = new SettingsPage;
  devices = new DevicesTab;
  database_page = new DatabasePage;
  web_page = new WebPage;
  tbSetup->addTab(interface_page, "&Interface");
  tbSetup->addTab(settings_page, "&Settings");
  tbSetup->addTab(devices, "De&vices");
  tbSetup->addTab(database_page, "Databas&e");
  tbSetup->addTab(web_page, "&Web Page");
  for (SettingsTab* tab :
       std::initializer_list<SettingsTab*>{interface_page, settings_page, database_page, web_page})
    tab->changed = [this] { Apply->setEnabled(true); };

  cmdAbout = Named(new QPushButton("About"), "cmdAbout");
  cmdHelp = Named(new QPushButton("Help"), "cmdHelp");
  cmdHelp->setToolTip("Click here to open help");
  cmdRefresh = Named(new QPushButton("&Refresh"), "cmdRefresh");
  cmdRefresh->setToolTip("Refresh the display");
  Apply = Named(new QPushButton("&Apply"), "Apply");
  Apply->setToolTip("Apply changes");
  OKButton = Named(new QPushButton("OK"), "OKButton");
  OKButton->setToolTip("Accept changes and close dialog box");
  CancelButton = Named(new QPushButton("&Cancel"), "CancelButton");
  CancelButton->setToolTip("Ignore changes and close dialog box");
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {cmdAbout, cmdHelp, cmdRefresh}) buttons->addWidget(b);
  buttons->addStretch();
  for (QPushButton* b : {Apply, OKButton, CancelButton}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tbSetup);
  layout->addLayout(buttons);

  connect(cmdAbout, &QPushButton::clicked, [this] { ShowAbout(); });
  connect(cmdHelp, &QPushButton::clicked, [this] { ShowHelp(); });
  connect(cmdRefresh, &QPushButton::clicked, [this] { RefreshDisplay(); });
  connect(Apply, &QPushButton::clicked, [this] { ApplySettings(); });
  connect(OKButton, &QPushButton::clicked, [this] { OK(); });
  connect(CancelButton, &QPushButton::clicked, [this] { Cancel(); });
  Apply->setEnabled(false);
  resize(720, 560);
}

SetupWindow::~SetupWindow() = default;

// ---- settings ----

void SetupWindow::ShowSettings(const Settings& s) {
  interface_page->Show(s);
  settings_page->Show(s);
  database_page->Show(s);
  web_page->Show(s);
}

void SetupWindow::LoadSettings() {
  LoadProcessSettings();
  ShowSettings(Plugin().settings);
  Apply->setEnabled(false);
}

Settings SetupWindow::FromControls() const {
  Settings s = Plugin().settings;
  interface_page->Read(s);
  settings_page->Read(s);
  database_page->Read(s);
  web_page->Read(s);
  return s;
}

// The settings into effect: a changed scale converts the temperatures shown, and the poll timer
// follows "Enable" at once once polling has begun.
void SetupWindow::TakeIntoEffect(const Settings& s) {
  ShowSettings(s);  // a value outside its limits shows the bound applied
  PluginState& p = Plugin();
  const bool was_fahrenheit = p.settings.Range;
  p.settings = s;
  if (s.Range != was_fahrenheit) Skip([&] { ConvertShownTemperatures(was_fahrenheit); });
  if (p.PollingStarted && p.parts.timers)
    Skip([&] { p.parts.timers->SetPollTimerEnabled(s.chkTimer); });
}

void SetupWindow::ApplySettings() {
  Settings s = FromControls();
  ApplySettingsLimits(s);
  TakeIntoEffect(s);
  Apply->setEnabled(false);
}

void SetupWindow::OK() {
  Settings s = FromControls();
  ApplySettingsLimits(s);
  TakeIntoEffect(s);
  Skip([&] { SaveSettings(Store(), s); });
  Apply->setEnabled(false);
  MarkClosed();
  hide();
  PluginState& p = Plugin();
  if (!p.AdapterReady) {
    p.InterfaceReady = false;
    std::string result;
    Skip([&] { result = p.parts.adapter->InitHW(0); });
    if (!result.empty()) {
      UI().MessageBox("Initialization of 1-Wire Interface failed!\nCheck your settings...",
                      MessageIcon::Critical);
      ShowModeless();
      tbSetup->setCurrentIndex(0);
    }
  }
}

void SetupWindow::Cancel() {
  LoadSettings();  // what Apply changed goes back to the stored values
  MarkClosed();
  hide();
  PluginState& p = Plugin();
  if (!p.AdapterReady) {
    WriteLog(LogClass::Always, "1-Wire I/F FATAL", "Shutting down plug-in.");
    UI().MessageBox("Quellbrook 1-Wire Interface\n\nShutting down.", MessageIcon::Critical);
    p.ShutdownRequested = true;
  }
}

void SetupWindow::MarkClosed() {
  if (!open_ && first_activation_) return;
  open_ = false;
  first_activation_ = true;  // closing unloads the dialog: the next show starts afresh
  const int tab = tbSetup->currentIndex();
  Plugin().settings.Tab = tab;
  Skip([&] { Store().Set(kSettingsSection, "Tab", std::to_string(tab)); });
}

void SetupWindow::Unload() {
  const bool was_open = isVisible();
  MarkClosed();
  hide();
  LoadSettings();  // what the controls held and was not stored is dropped
  if (was_open) {
    WriteLog(LogClass::Always, "1-Wire Settings",
             "Setup dialog closed: the settings were changed elsewhere (web page); open it "
             "again to see them");
  }
}

void SetupWindow::closeEvent(QCloseEvent* event) {
  MarkClosed();
  event->accept();
}

void SetupWindow::reject() {
  Cancel();
}

// ---- showing ----

void SetupWindow::ShowModeless() {
  if (!isVisible()) {
    LoadSettings();
    show();
    Activate();
  } else {
    BringToFront();
  }
}

void SetupWindow::BringToFront() {
  raise();
  activateWindow();
}

void SetupWindow::Activate() {
  devices->memory->Unpause();
  if (!first_activation_) return;
  PluginState& p = Plugin();
  if (p.callback) Skip([&] { p.callback->ForceFront(static_cast<int32_t>(winId())); });
  devices->SelectPage(kTempPage);
  open_ = true;
  if (p.InterfaceReady) tbSetup->setCurrentIndex(std::clamp(p.settings.Tab, 0, 4));
  Skip([&] { p.parts.devices->AdoptHSDevices(false); });
  devices->RebuildTree();
  first_activation_ = false;
}

void SetupWindow::SelectDeviceTab(int tab) {
  tbSetup->setCurrentIndex(2);
  devices->SelectPage(tab);
}

void SetupWindow::ShowDeviceNode(const std::string& rom, int32_t highlight) {
  devices->DisplayNodeInfo(rom, FromColourValue(highlight));
}

void SetupWindow::RefreshDisplay() {
  devices->RefreshDisplay();
}

void SetupWindow::RefreshMemory(const std::string& rom) {
  if (open_) devices->memory->Reread(rom);
}

// ---- About and Help ----

void SetupWindow::ShowAbout() {
  auto* window = dynamic_cast<frm1Wire*>(Plugin().parts.timers.get());
  QString text = "Quellbrook 1-Wire Interface";
  if (window) {
    window->ShowAbout();
    text = Q(window->InfoText()).replace('\r', '\n');
  }
  QMessageBox::about(this, "About", text);
  // The timer window may have been replaced while the box was open: look it up again.
  if (auto* again = dynamic_cast<frm1Wire*>(Plugin().parts.timers.get())) again->CloseAbout();
}

void SetupWindow::ShowHelp() {
  const HelpLookup help = FindHelpPage(
      help_executable.empty() ? RunningExecutable() : std::filesystem::path(help_executable),
      help_source_page);
  if (help.page.empty()) {
    std::string places;
    for (const auto& place : help.tried) places += (places.empty() ? "" : " nor in ") + place;
    const std::string text =
        "The help page could not be opened: it is not in " +
        (places.empty() ? std::string("any known place") : places) +
        ". Reinstall the dialog's package, or read docs/help/index.html in the source tree.";
    Skip([&] { Host().writelog("1-Wire Setup", text); });
    UI().MessageBox(text, MessageIcon::Exclamation, "Help");
    return;
  }
  if (!help_window) {
    help_window = new QDialog(this);
    help_window->setObjectName("frmHelp");
    help_window->setWindowTitle("1-Wire Interface Setup: Help");
    auto* browser = Named(new QTextBrowser, "txtHelp");
    browser->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(help_window);
    layout->addWidget(browser);
    help_window->resize(720, 640);
  }
  auto* browser = help_window->findChild<QTextBrowser*>("txtHelp");
  browser->setSource(QUrl::fromLocalFile(Q(help.page)));
  Skip([&] { Host().writelog("1-Wire Setup", "Help: showing " + help.page); });
  help_window->show();
  help_window->raise();
  help_window->activateWindow();
}

}  // namespace qb::dialog
