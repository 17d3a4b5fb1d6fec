#include "dialog/setup_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

#include "access/container.h"
#include "access/masters/adapter_types.h"
#include "access/memory_bank.h"
#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "core/timer_window.h"
#include "dialog/bus_claim.h"
#include "dialog/file_browser.h"
#include "dialog/help_page.h"
#include "dialog/replace_menu.h"
#include "logging/database_browser.h"
#include "logging/database_logging.h"
#include "onewire/device_clock.h"
#include "onewire/device_config.h"
#include "onewire/device_info.h"
#include "onewire/device_reading.h"
#include "onewire/onewire_state.h"
#include "onewire/temperature_scale.h"
#include "platform/database.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb::dialog {

namespace {

constexpr int kRomRole = Qt::UserRole;

// The device tree: a press anywhere, on a node or beside every node, is a node click.
class DeviceTree : public QTreeWidget {
 public:
  using QTreeWidget::QTreeWidget;
  std::function<void(QTreeWidgetItem*)> clicked;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    QTreeWidget::mousePressEvent(event);
    QTreeWidgetItem* item = itemAt(event->position().toPoint());
    if (!item) setCurrentItem(nullptr);
    if (clicked) clicked(item);
  }
};

template <typename T>
T* Named(T* widget, const char* name, int index = -1) {
  widget->setObjectName(name);
  if (index >= 0) widget->setProperty("Index", index);
  return widget;
}

QLineEdit* Box(const char* name, const char* tip, int index = -1) {
  auto* box = Named(new QLineEdit, name, index);
  if (tip) box->setToolTip(tip);
  return box;
}

QCheckBox* Check(const char* name, const char* caption, const char* tip = nullptr, int index = -1) {
  auto* c = Named(new QCheckBox(caption), name, index);
  if (tip) c->setToolTip(tip);
  return c;
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
std::string S(const QString& s) {
  return s.toStdString();
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

// The part name a group node shows.
std::string GroupName(const std::string& rom) {
  std::string part = FamilyName(rom);
  if (part == "DS1921") return "DS1921L-F52";
  if (part.empty()) return "Family " + FamilyCode(rom);
  return part;
}

// A channel's reading as the pages show it: the host text, else the number last read.
QString ValueText(const DSDevice& ch) {
  if (!ch.HSString.empty()) return QString::fromStdString(ch.HSString);
  if (ch.Reading != -1) return QString::fromStdString(PlainNumberText(ch.Reading));
  return "Wait...";
}

std::string ChannelLetterOf(const std::string& key) {
  return key.size() > 16 ? key.substr(16, 1) : std::string();
}

const char* const kDebugItems[] = {"None",
                                   "Errors & Alarms",
                                   "Errors & Updates",
                                   "Above + Cycle Info",
                                   "Above + Detailed Cycle Info",
                                   "Log Filler!!"};
// The adapter types this system opens. A stored type not listed (a parallel-port DS1410E) is
// still shown as the current one.
const char* const kAdapterTypes[] = {"DS9097E", "DS9097", "DS9097U", "DS1411",
                                     "DS2490",  "DS1490", "DS2482", "SIM"};
const char* const kResolutions[] = {"0.5", "0.25", "0.125", "0.0625"};
const char* const kScales[] = {"2.55V", "2.56V", "5.10V"};

double Number(const QString& text) {
  return SettingToDouble(S(text.trimmed()));
}

// The connection-string dialog of the database tab, for the two engines this build talks to.
std::string AskConnection(QWidget* parent, const std::string& current,
                          const std::function<std::string(const std::string&)>& test) {
  QDialog dlg(parent);
  dlg.setObjectName("frmConnection");
  dlg.setWindowTitle("Database Connection");
  auto* engine = Named(new QComboBox, "cmbEngine");
  engine->addItems({"SQLite", "PostgreSQL"});
  auto* file = Box("txtFile", "SQLite database file");
  auto* browse = Named(new QPushButton("..."), "cmdBrowse");
  auto* host = Box("txtHost", "PostgreSQL server");
  auto* port = Box("txtPort", "PostgreSQL port");
  auto* db = Box("txtDatabase", "Database name");
  auto* user = Box("txtUser", "User name");
  auto* password = Box("txtPassword", "Password");
  password->setEchoMode(QLineEdit::Password);
  auto* test_button = Named(new QPushButton("Test"), "cmdTest");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  auto* form = new QFormLayout(&dlg);
  form->addRow("Engine:", engine);
  auto* file_row = new QHBoxLayout;
  file_row->addWidget(file);
  file_row->addWidget(browse);
  form->addRow("File:", file_row);
  form->addRow("Host:", host);
  form->addRow("Port:", port);
  form->addRow("Database:", db);
  form->addRow("User:", user);
  form->addRow("Password:", password);
  form->addRow(test_button);
  form->addRow(buttons);

  // Take apart the current text ("Key=Value;" pairs) to start from it.
  std::map<std::string, std::string> parts;
  size_t pos = 0;
  while (pos < current.size()) {
    const size_t end = std::min(current.find(';', pos), current.size());
    const std::string pair = current.substr(pos, end - pos);
    const size_t eq = pair.find('=');
    if (eq != std::string::npos)
      parts[QString::fromStdString(pair.substr(0, eq)).trimmed().toLower().toStdString()] =
          pair.substr(eq + 1);
    pos = end + 1;
  }
  engine->setCurrentIndex(
      QString::fromStdString(parts["provider"]).compare("PostgreSQL", Qt::CaseInsensitive) == 0
          ? 1
          : 0);
  file->setText(Q(parts["data source"]));
  host->setText(Q(parts["host"].empty() ? "localhost" : parts["host"]));
  port->setText(Q(parts["port"].empty() ? "5432" : parts["port"]));
  db->setText(Q(parts["database"]));
  user->setText(Q(parts["user id"]));
  password->setText(Q(parts["password"]));
  auto enable = [&] {
    const bool sqlite = engine->currentIndex() == 0;
    file->setEnabled(sqlite);
    browse->setEnabled(sqlite);
    for (QLineEdit* e : {host, port, db, user, password}) e->setEnabled(!sqlite);
  };
  enable();
  QObject::connect(engine, &QComboBox::currentIndexChanged, [&](int) { enable(); });
  auto text = [&]() -> std::string {
    if (engine->currentIndex() == 0) return "Provider=SQLite;Data Source=" + S(file->text());
    return "Provider=PostgreSQL;Host=" + S(host->text()) + ";Port=" + S(port->text()) +
           ";Database=" + S(db->text()) + ";User ID=" + S(user->text()) +
           ";Password=" + S(password->text());
  };
  QObject::connect(browse, &QPushButton::clicked, [&] {
    const QString chosen = QFileDialog::getSaveFileName(
        &dlg, "Database file", file->text(), "SQLite databases (*.db *.sqlite);;All files (*)",
        nullptr, QFileDialog::DontConfirmOverwrite);
    if (!chosen.isEmpty()) file->setText(chosen);
  });
  QObject::connect(test_button, &QPushButton::clicked, [&] {
    const std::string problem =
        test ? test(text()) : std::string("Testing a connection needs the database layer.");
    UI().MessageBox(problem.empty() ? "Connection succeeded." : problem,
                    problem.empty() ? MessageIcon::Information : MessageIcon::Exclamation,
                    "Test Connection");
  });
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
  return dlg.exec() == QDialog::Accepted ? text() : std::string();
}

// A date as the Time page shows it ("2026-12-07 17:05:09", or "01/01/70 00:00:00" before the
// first read) back to library milliseconds; nullopt for text that is no date.
std::optional<int64_t> LibraryMsOfText(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  const int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &sec);
  if (n != 3 && n != 6) {
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &mo, &d, &y, &h, &mi, &sec) != 6)
      return std::nullopt;
    y += y < 70 ? 2000 : 1900;
  }
  const std::chrono::year_month_day day{std::chrono::year(y), std::chrono::month(mo),
                                        std::chrono::day(d)};
  if (!day.ok() || h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 59) return std::nullopt;
  const auto days = std::chrono::sys_days(day).time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(days).count() +
         ((h * 60 + mi) * 60 + sec) * int64_t{1000};
}

// The four rows of the Time page read from a clock device: the clock, its alarm, the interval
// timer and its alarm, each with its tick box.
std::vector<std::pair<std::string, bool>> ReadClockRows(const std::string& rom) {
  std::vector<std::pair<std::string, bool>> rows;
  BusClaim bus(rom);
  try {
    if (!bus.Present()) return rows;
    access::OneWireContainer& c = bus.Container();
    const access::DeviceState state = c.readDevice();
    auto text = [](int64_t ms) { return DateText(DateOfLibraryTime(ms)); };
    rows.emplace_back(text(c.getClock(state)), c.isClockRunning(state));
    if (c.hasClockAlarm())
      rows.emplace_back(text(c.getClockAlarm(state)), c.isClockAlarmEnabled(state));
    else
      rows.emplace_back("", false);
    try {
      rows.emplace_back(text(c.getIntervalTimer(state)), c.isIntervalTimerAutomatic(state));
      rows.emplace_back(text(c.getIntervalTimerAlarm(state)), c.isIntervalTimerAlarmEnabled(state));
    } catch (const std::exception&) {  // a clock without an interval timer
    }
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(ShowDevTime)", e.what());
  }
  return rows;
}

}  // namespace

SetupWindow::SetupWindow() {
#ifdef QB_SOURCE_HELP_PAGE
  help_source_page = QB_SOURCE_HELP_PAGE;
#endif
  ops.set_clock = [this](const std::string& rom, int bits) {
    ClockEntries entries;
    entries.clock_alarm_ms = LibraryMsOfText(S(txtTim[1]->text())).value_or(0);
    entries.interval_ms = LibraryMsOfText(S(txtTim[2]->text())).value_or(0);
    entries.interval_alarm_ms = LibraryMsOfText(S(txtTim[3]->text())).value_or(0);
    SetClock(bits, rom, entries);
  };
  ops.show_dev_time = ReadClockRows;
  ops.device_info = [](const std::string& rom) { return DeviceInfo(rom, true); };
  setObjectName("frmSetup");
  setWindowTitle("1-Wire Interface Setup");
  setModal(false);
  tbSetup = Named(new QTabWidget, "tbSetup");
  BuildInterfaceTab();
  BuildSettingsTab();
  BuildDevicesTab();
  BuildDatabaseTab();
  BuildWebTab();

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

void SetupWindow::Changed() {
  if (!loading_) Apply->setEnabled(true);
}

void SetupWindow::BuildInterfaceTab() {
  auto* tab = new QWidget;
  auto* frame = new QGroupBox("Interface Settings");
  IntType = Named(new QComboBox, "IntType");
  IntType->setToolTip("Select the interface type");
  for (const char* t : kAdapterTypes) IntType->addItem(t);
  IntPort = Named(new QComboBox, "IntPort");
  IntPort->setToolTip("Select the interface port");
  IntPort->setEditable(true);
  auto* speed = new QGroupBox("Speed");
  auto* speed_layout = new QHBoxLayout(speed);
  const char* speeds[] = {"Regular", "Flex", "Overdrive", "Hyperdrive"};
  for (int i = 0; i < 4; ++i) {
    optSpeed[i] = Named(new QRadioButton(speeds[i]), "optSpeed", i);
    speed_layout->addWidget(optSpeed[i]);
    connect(optSpeed[i], &QRadioButton::toggled, [this] { Changed(); });
  }
  ChkDefault = Check("ChkDefault", "Use Defaul&t", "Use auto-detected settings");
  cmdAuto = Named(new QPushButton("Auto&detect"), "cmdAuto");
  auto* form = new QFormLayout(frame);
  form->addRow("Type:", IntType);
  form->addRow("Port:", IntPort);
  form->addRow(speed);
  auto* row = new QHBoxLayout;
  row->addWidget(ChkDefault);
  row->addWidget(cmdAuto);
  form->addRow(row);

  auto* web = new QGroupBox("Web Pages");
  chkWeb = Check("chkWeb", "Generate Web Pages", "Automatically generate web pages");
  (new QVBoxLayout(web))->addWidget(chkWeb);
  auto* version = new QGroupBox("Driver Version");
  lblVer = Named(new QLabel("Driver not loaded"), "lblVer");
  lblVer->setWordWrap(true);
  (new QVBoxLayout(version))->addWidget(lblVer);
  auto* note = new QGroupBox("Please Note");
  auto* note_text =
      new QLabel("Any changes made to these settings will require Hearthmoor to be restarted.");
  note_text->setWordWrap(true);
  (new QVBoxLayout(note))->addWidget(note_text);

  auto* grid = new QGridLayout(tab);
  grid->addWidget(frame, 0, 0, 2, 1);
  grid->addWidget(web, 0, 1);
  grid->addWidget(version, 1, 1);
  grid->addWidget(note, 2, 0, 1, 2);
  tbSetup->addTab(tab, "&Interface");

  connect(IntType, &QComboBox::currentIndexChanged, [this](int) {
    FillPorts();
    Changed();
  });
  connect(IntPort, &QComboBox::currentTextChanged, [this] { Changed(); });
  connect(ChkDefault, &QCheckBox::toggled, [this] { Changed(); });
  connect(chkWeb, &QCheckBox::toggled, [this](bool on) {
    if (loading_) return;
    Changed();
    if (on)
      UI().MessageBox("You will need to restart Hearthmoor for this to take effect.",
                      MessageIcon::Information);
  });
  connect(cmdAuto, &QPushButton::clicked, [this] { Autodetect(); });
}

void SetupWindow::FillPorts() {
  const bool was_loading = loading_;
  loading_ = true;
  const QString kept = IntPort->currentText();
  const access::AdapterPort port = access::LookUpAdapterPort(S(IntType->currentText()), "1");
  IntPort->clear();
  const int count = port.prefix == "LPT"   ? 3
                    : port.prefix == "USB" ? 4
                    : port.prefix == "I2C" ? 0
                    : port.prefix.empty()  ? 0
                                           : 8;
  for (int i = 1; i <= count; ++i) IntPort->addItem(QString::number(i));
  // A bridge's port names its bus and address (and a DS2482-800's channel).
  if (port.prefix == "I2C") IntPort->addItems({"/dev/i2c-1:0x18", "/dev/i2c-1:0x18:0"});
  IntPort->setCurrentText(kept);
  lblVer->setText(Q(port.prefix.empty() ? "Simulated bus (the port is a bus file)"
                                        : "Port kind " + port.prefix + ", driver port type " +
                                              std::to_string(port.port_type)));
  loading_ = was_loading;
}

void SetupWindow::BuildSettingsTab() {
  auto* tab = new QWidget;
  auto* poll = new QGroupBox("Poll Every");
  txtPollCycle = Box("txtPollCycle", "Interval between polls");
  PollTemp = Box("PollTemp", "Number of cycles between each temperature poll");
  PollAD = Box("PollAD", "Number of cycles between each A/D poll");
  PollI = Box("PollI", "Number of cycles between each Vsense poll");
  chkTimer = Check("chkTimer", "Enable");
  chkPresence = Check("chkPresence", "Presence Checking");
  chkAlarming = Check("chkAlarming", "Fast poll");
  txtSig = Box("txtSig", "Number of digits to display after the decimal point");
  auto* pf = new QFormLayout(poll);
  pf->addRow("Seconds:", txtPollCycle);
  pf->addRow("Temperature cycles:", PollTemp);
  pf->addRow("A/D cycles:", PollAD);
  pf->addRow("Vsense cycles:", PollI);
  pf->addRow(chkTimer);
  pf->addRow(chkPresence);
  pf->addRow(chkAlarming);
  pf->addRow("Significant Digits:", txtSig);

  auto* display = new QGroupBox("Display");
  chkAppend = Check("chkAppend", "Append Unit to HS");
  OptionTemp[0] = Named(new QRadioButton("Centi&grade"), "OptionTemp", 0);
  OptionTemp[1] = Named(new QRadioButton("&Fahrenheit"), "OptionTemp", 1);
  auto* dl = new QVBoxLayout(display);
  dl->addWidget(chkAppend);
  dl->addWidget(OptionTemp[0]);
  dl->addWidget(OptionTemp[1]);

  auto* alarms = new QGroupBox("Alarms");
  const char* modes[] = {"Ig&nore", "&Beep", "Spea&k"};
  auto* al = new QVBoxLayout(alarms);
  for (int i = 0; i < 3; ++i) {
    optAlarm[i] = Named(new QRadioButton(modes[i]), "optAlarm", i);
    al->addWidget(optAlarm[i]);
  }
  chkAlarmLog = Check("chkAlarmLog", "&Log to HS");
  chkPollAlarm = Check("chkPollAlarm", "Always poll");
  al->addWidget(chkAlarmLog);
  al->addWidget(chkPollAlarm);

  txtSpeech[0] = Box("txtSpeech", nullptr, 0);
  txtSpeech[1] = Box("txtSpeech", nullptr, 1);
  cmbDebug = Named(new QComboBox, "cmbDebug");
  cmbDebug->setToolTip("Level of information logged to Hearthmoor");
  for (const char* item : kDebugItems) cmbDebug->addItem(item);
  chkDisplay = Check("chkDisplay", "Dis&play setup at startup");
  auto* bottom = new QFormLayout;
  bottom->addRow("Speech on load:", txtSpeech[0]);
  bottom->addRow("Speech on Alarm:", txtSpeech[1]);
  bottom->addRow("Debug:", cmbDebug);
  bottom->addRow(chkDisplay);

  auto* grid = new QGridLayout(tab);
  grid->addWidget(poll, 0, 0, 2, 1);
  grid->addWidget(display, 0, 1);
  grid->addWidget(alarms, 1, 1);
  grid->addLayout(bottom, 2, 0, 1, 2);
  tbSetup->addTab(tab, "&Settings");

  for (QLineEdit* e : {txtPollCycle, PollTemp, PollAD, PollI, txtSig, txtSpeech[0], txtSpeech[1]})
    connect(e, &QLineEdit::textChanged, [this] { Changed(); });
  for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
           chkTimer, chkPresence, chkAlarming, chkAppend, OptionTemp[0], OptionTemp[1], optAlarm[0],
           optAlarm[1], optAlarm[2], chkAlarmLog, chkPollAlarm, chkDisplay})
    connect(b, &QAbstractButton::toggled, [this] { Changed(); });
  connect(cmbDebug, &QComboBox::currentIndexChanged, [this] { Changed(); });
}

QWidget* SetupWindow::CommonBlock(int page) {
  auto* block = new QGroupBox("Device");
  txtname[page] = Box("txtname", "Device name in Hearthmoor", page);
  txtLocation[page] = Box("txtLocation", "Device location in Hearthmoor", page);
  chkLogToDB[page] = Check("chkLogToDB", "Log to Database", nullptr, page);
  txtAdj[page] =
      Box("txtAdj", "Enter amount to add or subtract from reading (use - for minus value eg. -1.5)",
          page);
  txtValue[page] = Box("txtValue", nullptr, page);
  txtValue[page]->setReadOnly(true);
  txtValue[page]->setText("Wait...");
  pbProps[page] = Named(new QProgressBar, "pbProps", page);
  pbProps[page]->setTextVisible(false);
  auto* form = new QFormLayout(block);
  form->addRow("Name:", txtname[page]);
  form->addRow("Location:", txtLocation[page]);
  form->addRow("Correction:", txtAdj[page]);
  form->addRow(chkLogToDB[page]);
  form->addRow("Reading:", txtValue[page]);
  form->addRow(pbProps[page]);

  connect(txtname[page], &QLineEdit::editingFinished, [this, page] {
    if (loading_) return;
    if (auto ch = PageChannel(page)) RenameHSDevice(ch->ROM, S(txtname[page]->text()));
  });
  connect(txtLocation[page], &QLineEdit::editingFinished, [this, page] {
    if (loading_) return;
    if (auto ch = PageChannel(page)) RelocateHSDevice(ch->ROM, S(txtLocation[page]->text()));
  });
  connect(chkLogToDB[page], &QCheckBox::toggled, [this](bool on) {
    if (loading_) return;
    const int p = tbDevice->currentIndex();
    if (auto ch = PageChannel(p)) {
      Store().Set("Log", ch->ROM, on ? "1" : "0");
      ch->LogtoDB = on ? 1 : 0;
    }
  });
  connect(txtAdj[page], &QLineEdit::editingFinished, [this, page] {
    if (loading_) return;
    if (auto ch = PageChannel(page)) {
      const double adj = Number(txtAdj[page]->text());
      Store().Set("Adjustment", ch->ROM, PlainNumberText(adj));
      ch->Adjustment = adj;
    }
  });
  return block;
}

void SetupWindow::BuildDevicesTab() {
  auto* tab = new QWidget;
  auto* tree = new DeviceTree;
  DevView = Named<QTreeWidget>(tree, "DevView");
  DevView->setToolTip("Select device to display");
  DevView->setHeaderHidden(true);
  DevView->setMinimumWidth(200);
  tree->clicked = [this](QTreeWidgetItem* item) { DevView_NodeClick(item); };
  AddReplaceSensorMenu(DevView, [this] { return selected_rom_; }, {});
  tbDevice = Named(new QTabWidget, "tbDevice");

  // 0 Temp
  {
    auto* page = new QWidget;
    auto* res = new QGroupBox("Resolution");
    cmbResolution = Named(new QComboBox, "cmbResolution");
    cmbResolution->setToolTip("Resolution of temperature readings");
    for (const char* r : kResolutions) cmbResolution->addItem(r);
    (new QVBoxLayout(res))->addWidget(cmbResolution);
    auto* alarms = new QGroupBox("Alarms");
    txtHi = Box("txtHi", "High temperature alarm threshold");
    txtLo = Box("txtLo", "Low temperature alarm threshold");
    UpDown1 = Named(new QSpinBox, "UpDown1");
    UpDown2 = Named(new QSpinBox, "UpDown2");
    for (QSpinBox* s : {UpDown1, UpDown2}) {
      s->setRange(-55, 125);
      s->setFixedWidth(22);
      s->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    }
    cmdSetAlarm = Named(new QPushButton("Set"), "cmdSetAlarm");
    cmdSetAlarm->setToolTip("Click to set alarm values");
    auto* note = new QLabel(
        "Set value then either wait for a refresh or click the Refresh button. Correction values "
        "are not used in this calculation.");
    note->setWordWrap(true);
    auto* grid = new QGridLayout(alarms);
    grid->addWidget(new QLabel("High:"), 0, 0);
    grid->addWidget(txtHi, 0, 1);
    grid->addWidget(UpDown1, 0, 2);
    grid->addWidget(new QLabel("Low:"), 1, 0);
    grid->addWidget(txtLo, 1, 1);
    grid->addWidget(UpDown2, 1, 2);
    grid->addWidget(cmdSetAlarm, 2, 1);
    grid->addWidget(note, 3, 0, 1, 3);
    auto* l = new QGridLayout(page);
    l->addWidget(CommonBlock(0), 0, 0, 2, 1);
    l->addWidget(res, 0, 1);
    l->addWidget(alarms, 1, 1);
    tbDevice->addTab(page, "Temp");

    connect(txtHi, &QLineEdit::textEdited, [this] {
      hi_changed_ = true;
      SetRed(txtHi, true);
    });
    connect(txtLo, &QLineEdit::textEdited, [this] {
      lo_changed_ = true;
      SetRed(txtLo, true);
    });
    connect(UpDown1, &QSpinBox::valueChanged, [this](int v) {
      if (loading_) return;
      txtHi->setText(QString::number(v));
      hi_changed_ = true;
      SetRed(txtHi, true);
    });
    connect(UpDown2, &QSpinBox::valueChanged, [this](int v) {
      if (loading_) return;
      txtLo->setText(QString::number(v));
      lo_changed_ = true;
      SetRed(txtLo, true);
    });
    connect(cmdSetAlarm, &QPushButton::clicked, [this] { SetAlarm(); });
    connect(cmbResolution, &QComboBox::currentIndexChanged, [this](int) {
      if (loading_ || selected_rom_.empty()) return;
      if (auto ch = PageChannel(0)) SetTempRes(*ch, Number(cmbResolution->currentText()));
    });
  }
  // 1 A/D
  {
    auto* page = new QWidget;
    lblAD = Named(new QLabel, "lblAD");
    chkHumid = Check("chkHumid", "Humidity Sensor", "Enable DS2438 as a humidity sensor", 1);
    auto* l = new QGridLayout(page);
    l->addWidget(CommonBlock(1), 0, 0, 2, 1);
    l->addWidget(lblAD, 0, 1);
    l->addWidget(chkHumid, 1, 1);
    tbDevice->addTab(page, "A/D");
  }
  tbDevice->addTab(new QWidget, "None");
  tbDevice->addTab(new QWidget, "None");
  // 4 AD 4
  {
    auto* page = new QWidget;
    tbAD4 = Named(new QTabWidget, "tbAD4");
    for (int ch = 0; ch < 4; ++ch) {
      auto* p = new QWidget;
      cmbAD4Scale[ch] = Named(new QComboBox, "cmbAD4Scale", ch);
      for (const char* s : kScales) cmbAD4Scale[ch]->addItem(s);
      cmbAD4BitRes[ch] = Named(new QComboBox, "cmbAD4BitRes", ch);
      for (int bits = 1; bits <= 16; ++bits) cmbAD4BitRes[ch]->addItem(QString::number(bits));
      cmbAD4Low[ch] = Named(new QComboBox, "cmbAD4Low", ch);
      cmbAD4High[ch] = Named(new QComboBox, "cmbAD4High", ch);
      for (QComboBox* c : {cmbAD4Low[ch], cmbAD4High[ch]}) {
        c->addItem("None");
        for (int tenth = 0; tenth <= 51; tenth += 1)
          if (tenth % 5 == 0) c->addItem(QString::number(tenth / 10.0, 'f', 1));
      }
      cmbAD4OutState[ch] = Named(new QComboBox, "cmbAD4OutState", ch);
      cmbAD4OutState[ch]->addItems({"None", "On", "Off"});
      chkAD4Save[ch] = Check("chkAD4Save", "Init device on start", nullptr, ch);
      chkAD4Log[ch] = Check("chkAD4Log", "Log to DB", nullptr, ch);
      txtAD4Name[ch] = Box("txtname", "Device name in Hearthmoor", 10 + ch);
      txtAD4Location[ch] = Box("txtLocation", "Device location in Hearthmoor", 10 + ch);
      lblAD4[ch] = Named(new QLabel("Wait..."), "lblAD4", ch);
      pbAD4[ch] = Named(new QProgressBar, "pbAD4", ch);
      pbAD4[ch]->setRange(0, 510);
      pbAD4[ch]->setTextVisible(false);
      auto* form = new QFormLayout(p);
      form->addRow("Name:", txtAD4Name[ch]);
      form->addRow("Location:", txtAD4Location[ch]);
      form->addRow("Range:", cmbAD4Scale[ch]);
      form->addRow("Bits:", cmbAD4BitRes[ch]);
      form->addRow("Low trip:", cmbAD4Low[ch]);
      form->addRow("High trip:", cmbAD4High[ch]);
      form->addRow("Output:", cmbAD4OutState[ch]);
      form->addRow(chkAD4Save[ch]);
      form->addRow(chkAD4Log[ch]);
      form->addRow("Reading:", lblAD4[ch]);
      form->addRow(pbAD4[ch]);
      tbAD4->addTab(p, QString("Channel %1").arg(QChar('A' + ch)));
      connect(cmbAD4Scale[ch], &QComboBox::currentIndexChanged, [this, ch] { AD4Changed(ch, 1); });
      connect(cmbAD4BitRes[ch], &QComboBox::currentIndexChanged, [this, ch] { AD4Changed(ch, 2); });
      connect(cmbAD4Low[ch], &QComboBox::currentIndexChanged, [this, ch] { AD4Changed(ch, 3); });
      connect(cmbAD4High[ch], &QComboBox::currentIndexChanged, [this, ch] { AD4Changed(ch, 4); });
      connect(cmbAD4OutState[ch], &QComboBox::currentIndexChanged,
              [this, ch] { AD4OutputChosen(ch); });
      connect(chkAD4Save[ch], &QCheckBox::toggled, [this, ch](bool on) {
        if (loading_ || selected_rom_.empty()) return;
        Store().Set("InitDevice", selected_rom_ + static_cast<char>('G' + ch), on ? "1" : "0");
      });
      connect(chkAD4Log[ch], &QCheckBox::toggled, [this, ch](bool on) {
        if (loading_ || selected_rom_.empty()) return;
        const std::string key = selected_rom_ + static_cast<char>('G' + ch);
        Store().Set("Log", key, on ? "1" : "0");
        if (auto rec = gROMs().FindDev(key)) rec->LogtoDB = on ? 1 : 0;
      });
      connect(txtAD4Name[ch], &QLineEdit::editingFinished, [this, ch] {
        if (!loading_ && !selected_rom_.empty())
          RenameHSDevice(selected_rom_ + static_cast<char>('G' + ch), S(txtAD4Name[ch]->text()));
      });
      connect(txtAD4Location[ch], &QLineEdit::editingFinished, [this, ch] {
        if (!loading_ && !selected_rom_.empty())
          RelocateHSDevice(selected_rom_ + static_cast<char>('G' + ch),
                           S(txtAD4Location[ch]->text()));
      });
    }
    (new QVBoxLayout(page))->addWidget(tbAD4);
    tbDevice->addTab(page, "AD 4");
  }
  // 5 Mem
  {
    auto* page = new QWidget;
    files = new FileBrowser;
    BankCombo = Named(new QComboBox, "BankCombo");
    FeatureList = Named(new QListWidget, "FeatureList");
    DataList = Named(new QListWidget, "DataList");
    DataList->setFont(QFont("Monospace"));
    cmdMemoryEdit = Named(new QPushButton("Edit"), "cmdMemoryEdit");
    cmdMemPause = Named(new QPushButton("Pause Update"), "cmdMemPause");
    auto* files_box = new QGroupBox("Files");
    (new QVBoxLayout(files_box))->addWidget(files);
    auto* mem_box = new QGroupBox("Memory");
    auto* ml = new QVBoxLayout(mem_box);
    ml->addWidget(BankCombo);
    ml->addWidget(FeatureList, 1);
    ml->addWidget(DataList, 2);
    auto* mb = new QHBoxLayout;
    mb->addWidget(cmdMemoryEdit);
    mb->addWidget(cmdMemPause);
    ml->addLayout(mb);
    auto* l = new QHBoxLayout(page);
    l->addWidget(files_box, 1);
    l->addWidget(mem_box, 2);
    tbDevice->addTab(page, "Mem");
    connect(BankCombo, &QComboBox::currentIndexChanged, [this](int i) {
      if (!loading_) ShowBank(i);
    });
    connect(cmdMemPause, &QPushButton::clicked, [this] {
      paused_ = !paused_;
      cmdMemPause->setText(paused_ ? "Continue" : "Pause Update");
    });
    connect(cmdMemoryEdit, &QPushButton::clicked, [this] {
      const int bank_index = BankCombo->currentIndex();
      const int page_index = std::max(0, DataList->currentRow());
      const std::string rom = selected_rom_;
      if (rom.empty() || bank_index < 0) return;
      const std::string typed =
          UI().InputBox("Bytes to write at the start of page " + std::to_string(page_index) +
                            " (hexadecimal, e.g. 01 02 FF):",
                        std::string());
      if (typed.empty()) return;
      access::Bytes bytes;
      for (const QString& part : Q(typed).split(' ', Qt::SkipEmptyParts)) {
        bool ok = false;
        const uint v = part.toUInt(&ok, 16);
        if (!ok || v > 255) {
          UI().MessageBox("Not a byte in hexadecimal: " + S(part), MessageIcon::Exclamation,
                          "Edit Memory");
          return;
        }
        bytes.push_back(static_cast<uint8_t>(v));
      }
      BusClaim bus(rom);
      try {
        if (!bus.Present()) return;
        auto banks = bus.Container().getMemoryBanks();
        if (bank_index >= static_cast<int>(banks.size())) return;
        auto* paged = dynamic_cast<access::PagedMemoryBank*>(banks[bank_index].get());
        const int start = paged ? page_index * paged->getPageLength() : 0;
        banks[bank_index]->write(start, bytes);
      } catch (const std::exception& e) {
        UI().MessageBox(e.what(), MessageIcon::Critical, "Edit Memory");
      }
      ShowBank(bank_index);
    });
  }
  // 6 Time
  {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    const char* checks[] = {"Clock Running", "Alarm Enabled", "Timer Automatic", "Alarm Enabled"};
    const char* buttons[] = {"Set Clock to PC", "Set Alarm", "Set Interval Timer", "Set Alarm"};
    const char* rows[] = {"Clock:", "Clock alarm:", "Interval timer:", "Timer alarm:"};
    for (int i = 0; i < 4; ++i) {
      txtTim[i] = Box("txtTim", nullptr, i);
      txtTim[i]->setText("01/01/70 00:00:00");
      chkTim[i] = Check("chkTim", checks[i], nullptr, i);
      cmdSetClock[i] = Named(new QPushButton(buttons[i]), "cmdSetClock", i);
      if (i == 0) cmdSetClock[i]->setToolTip("Set the clock to the PCs time and date");
      grid->addWidget(new QLabel(rows[i]), i, 0);
      grid->addWidget(txtTim[i], i, 1);
      grid->addWidget(chkTim[i], i, 2);
      grid->addWidget(cmdSetClock[i], i, 3);
      connect(cmdSetClock[i], &QPushButton::clicked, [this, i] { SetClockClicked(i); });
    }
    grid->setRowStretch(4, 1);
    tbDevice->addTab(page, "Time");
  }
  // 7 Misc
  {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->addWidget(CommonBlock(7), 0, 0, 5, 1);
    for (int i = 0; i < 4; ++i) {
      cmdMisc[i] = Named(new QPushButton("Misc"), "cmdMisc", i);
      cmdMisc[i]->setToolTip("Update the switch status");
      lblMisc1[i] = Named(new QLabel, "lblMisc1", i);
      lblMisc2[i] = Named(new QLabel, "lblMisc2", i);
      grid->addWidget(cmdMisc[i], i, 1);
      grid->addWidget(lblMisc1[i], i, 2);
      grid->addWidget(lblMisc2[i], i, 3);
      connect(cmdMisc[i], &QPushButton::clicked, [this, i] { MiscClicked(i); });
    }
    tbDevice->addTab(page, "Misc");
  }
  // 8 Pot
  {
    auto* page = new QWidget;
    hsPot = Named(new QSlider(Qt::Horizontal), "hsPot");
    hsPot->setRange(0, 255);
    txtPot = Box("txtPot", nullptr);
    auto* grid = new QGridLayout(page);
    grid->addWidget(CommonBlock(8), 0, 0, 3, 1);
    grid->addWidget(hsPot, 0, 1, 1, 2);
    grid->addWidget(new QLabel("Value(0-255):"), 1, 1);
    grid->addWidget(txtPot, 1, 2);
    tbDevice->addTab(page, "Pot");
    auto write = [this](int v) {
      if (loading_ || selected_rom_.empty()) return;
      if (auto ch = PageChannel(8)) SetPot(*ch, v);
    };
    connect(hsPot, &QSlider::valueChanged, [this, write](int v) {
      txtPot->setText(QString::number(v));
      if (!hsPot->isSliderDown()) write(v);
    });
    connect(hsPot, &QSlider::sliderReleased, [this, write] { write(hsPot->value()); });
    connect(txtPot, &QLineEdit::editingFinished, [this] {
      const int v = std::clamp(static_cast<int>(Number(txtPot->text())), 0, 255);
      txtPot->setText(QString::number(v));
      hsPot->setValue(v);
    });
  }
  // 9 Info
  {
    auto* page = new QWidget;
    lblInfo = Named(new QLabel("Please select a device."), "lblInfo");
    lblInfo->setWordWrap(true);
    lblInfo->setTextInteractionFlags(Qt::TextSelectableByMouse);
    chkHumidInfo = Check("chkHumid", "Humidity Sensor", "Enable DS2438 as a humidity sensor", 9);
    chkDeviceID = Check("chkDeviceID", "Show Device ID in HS",
                        "Display the devices ID in Hearthmoor, can be used to trigger events");
    auto* grid = new QGridLayout(page);
    grid->addWidget(lblInfo, 0, 0, 1, 2);
    grid->addWidget(CommonBlock(9), 1, 0, 2, 1);
    grid->addWidget(chkHumidInfo, 1, 1);
    grid->addWidget(chkDeviceID, 2, 1);
    grid->setRowStretch(0, 1);
    tbDevice->addTab(page, "Info");
  }

  for (QCheckBox* humid : {chkHumid, chkHumidInfo}) {
    connect(humid, &QCheckBox::toggled, [this](bool on) {
      if (loading_ || selected_rom_.empty()) return;
      const std::string rom = selected_rom_;
      loading_ = true;
      chkHumid->setChecked(on);
      chkHumidInfo->setChecked(on);
      loading_ = false;
      Store().Set("DS2438", rom, on ? "1" : "0");
      // The other representation's host devices go; discovery creates the chosen ones.
      for (const char* letter :
           on ? std::vector<const char*>{"G", "H"} : std::vector<const char*>{"N"}) {
        const std::string key = rom + letter;
        Skip([&] {
          if (auto device = FindHSDeviceByKey(key)) Host().DeleteDevice(device->ref());
        });
        if (auto parent = gROMs().FindParent(rom)) {
          const auto devices = parent->Devices;
          const auto list = devices->DevList;
          for (const auto& d : list)
            if (d->ROM == key) devices->Remove(*d);
        }
      }
    });
  }
  connect(chkDeviceID, &QCheckBox::toggled, [this](bool on) {
    if (loading_ || selected_rom_.empty()) return;
    const std::string rom = selected_rom_;
    Store().Set("Show Device ID", rom, on ? "1" : "0");
    auto record = gROMs().FindDev(rom);
    if (!record) return;
    if (auto parent = gROMs().FindParent(rom)) parent->ShowID = on ? 1 : 0;
    if (on) {
      if (record->dc == -1) Skip([&] { CreateHSDevice(*record, FamilyName(rom), rom, rom); });
    } else if (record->dc != -1) {
      const std::string hc = record->hc;
      const int32_t dc = record->dc;
      Skip([&] {
        const int32_t ref = FindHSDeviceRef(hc, dc);
        if (ref >= 0) Host().DeleteDevice(ref);
      });
      record->hc.clear();
      record->dc = -1;
      WriteLog(LogClass::Always, "Deleting 1-Wire " + FamilyName(rom),
               "Device " + hc + " " + std::to_string(dc) + " deleted.");
    }
  });

  auto* split = new QHBoxLayout(tab);
  split->addWidget(DevView, 1);
  split->addWidget(tbDevice, 3);
  tbSetup->addTab(tab, "De&vices");
}

void SetupWindow::BuildDatabaseTab() {
  auto* tab = new QWidget;
  txtDB = Box("txtDB", "Database connection string");
  cmdFile = Named(new QPushButton("..."), "cmdFile");
  cmdFile->setToolTip("Click to locate database");
  TableCombo = Named(new QComboBox, "TableCombo");
  TableCombo->setToolTip("Table to use for results");
  TableCombo->setEditable(true);
  const char* fields[] = {"Device ID:", "Date Time:", "Reading:"};
  txtSQL = Box("txtSQL", "SQL generated");
  txtSQL->setReadOnly(true);
  auto* id = new QGroupBox("Device ID");
  optDB[0] = Named(new QRadioButton("Use Device Address"), "optDB", 0);
  optDB[1] = Named(new QRadioButton("Use Device Name"), "optDB", 1);
  auto* idl = new QVBoxLayout(id);
  idl->addWidget(optDB[0]);
  idl->addWidget(optDB[1]);
  chkDBLog = Check("chkDBLog", "Log readings to database");
  chkChanges = Check("chkChanges", "Only Log if value changed");
  chkDBKeepOpen = Check("chkDBKeepOpen", "Keep Connection Open");
  auto* form = new QFormLayout(tab);
  auto* db_row = new QHBoxLayout;
  db_row->addWidget(txtDB);
  db_row->addWidget(cmdFile);
  form->addRow("Database:", db_row);
  form->addRow("Table:", TableCombo);
  for (int i = 0; i < 3; ++i) {
    FieldCombo[i] = Named(new QComboBox, "FieldCombo", i);
    FieldCombo[i]->setEditable(true);
    form->addRow(fields[i], FieldCombo[i]);
  }
  form->addRow("SQL:", txtSQL);
  form->addRow(id);
  form->addRow(chkDBLog);
  form->addRow(chkChanges);
  form->addRow(chkDBKeepOpen);
  tbSetup->addTab(tab, "Databas&e");

  auto sql = [this] {
    txtSQL->setText(
        Q(BuildInsertPrefix(S(TableCombo->currentText()),
                            {S(FieldCombo[0]->currentText()), S(FieldCombo[1]->currentText()),
                             S(FieldCombo[2]->currentText())})));
  };
  // A changed connection lists its tables (mode 1), a chosen table its columns (mode 2). Mode 1
  // runs when the text is finished, not on every key: each run opens the database.
  connect(txtDB, &QLineEdit::textChanged, [this] { Changed(); });
  connect(txtDB, &QLineEdit::editingFinished, [this] {
    if (!loading_ && txtDB->isModified()) {
      txtDB->setModified(false);
      Browse(1);
    }
  });
  connect(TableCombo, &QComboBox::currentTextChanged, [this, sql] {
    Changed();
    sql();
  });
  connect(TableCombo, &QComboBox::activated, [this](int) {
    if (!loading_) Browse(2);
  });
  for (QComboBox* f : FieldCombo)
    connect(f, &QComboBox::currentTextChanged, [this, sql] {
      Changed();
      sql();
    });
  for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{optDB[0], optDB[1], chkDBLog,
                                                                    chkChanges, chkDBKeepOpen})
    connect(b, &QAbstractButton::toggled, [this] { Changed(); });
  connect(cmdFile, &QPushButton::clicked, [this] {
    const std::string chosen = AskConnection(this, S(txtDB->text()), [](const std::string& text) {
      try {
        OpenDatabase(text)->Close();
        return std::string();
      } catch (const std::exception& e) {
        return std::string("The connection failed: ") + e.what();
      }
    });
    if (chosen.empty()) return;
    txtDB->setText(Q(chosen));
    Browse(1);
  });
}

void SetupWindow::Browse(int mode) {
  DatabaseBrowserLists lists;
  lists.connection_text = S(txtDB->text());
  lists.table = S(TableCombo->currentText());
  for (int i = 0; i < 3; ++i) lists.columns[i] = S(FieldCombo[i]->currentText());
  Skip([&] { BrowseDatabase(mode, lists); });
  const bool was = loading_;
  loading_ = true;
  if (mode == 1) {
    TableCombo->clear();
    for (const auto& t : lists.tables) TableCombo->addItem(Q(t));
  }
  TableCombo->setCurrentText(Q(lists.table));
  for (int i = 0; i < 3; ++i) {
    if (!lists.column_lists[i].empty()) {
      FieldCombo[i]->clear();
      for (const auto& c : lists.column_lists[i]) FieldCombo[i]->addItem(Q(c));
    }
    FieldCombo[i]->setCurrentText(Q(lists.columns[i]));
  }
  loading_ = was;
  txtSQL->setText(Q(BuildInsertPrefix(lists.table, lists.columns)));
  Changed();
}

void SetupWindow::BuildWebTab() {
  auto* tab = new QWidget;
  auto chart_frame = [this](const char* title, QLineEdit*& x, QLineEdit*& y, QCheckBox*& chk3d,
                            int first_colour, const char* xname, const char* yname,
                            const char* chkname) {
    auto* frame = new QGroupBox(title);
    x = Box(xname, nullptr);
    y = Box(yname, nullptr);
    chk3d = Check(chkname, "Plot 3D Chart");
    auto* form = new QFormLayout(frame);
    form->addRow("Width:", x);
    form->addRow("Height:", y);
    for (int i = first_colour; i < first_colour + 2; ++i) {
      cmdColour[i] = Named(new QPushButton, "cmdColour", i);
      cmdColour[i]->setFixedWidth(60);
      form->addRow(i % 2 == 0 ? "Start colour:" : "End colour:", cmdColour[i]);
      connect(cmdColour[i], &QPushButton::clicked, [this, i] {
        const QColor chosen = QColorDialog::getColor(colours[i], this);
        if (!chosen.isValid()) return;
        colours[i] = chosen;
        Swatch(cmdColour[i], chosen);
        Changed();
      });
    }
    form->addRow(chk3d);
    for (QLineEdit* e : {x, y}) connect(e, &QLineEdit::textChanged, [this] { Changed(); });
    connect(chk3d, &QCheckBox::toggled, [this] { Changed(); });
    return frame;
  };
  // "ChartX" and "ChartY" size the chart of a device's page (today's readings), "ChartX1" and
  // "ChartY1" the chart of the charts page: each frame is titled by the chart it sizes.
  QWidget* main_chart = chart_frame("Device Chart Settings", txtChartX, txtChartY, chk3DChart, 0,
                                    "txtChartX", "txtChartY", "chk3DChart");
  QWidget* device_chart = chart_frame("Main Chart Settings", txtChartX1, txtChartY1, chk3DChart1, 2,
                                      "txtChartX1", "txtChartY1", "chk3DChart1");
  auto* pages = new QGroupBox("Default");
  auto* pl = new QGridLayout(pages);
  const char* names[] = {"Devices", "Charts", "Setup", "Debug"};
  for (int i = 0; i < 4; ++i) {
    optPage[i] = Named(new QRadioButton(names[i]), "optPage", i);
    chkPages[i] = Check("chkPages", "Show Page", nullptr, i);
    pl->addWidget(optPage[i], i, 0);
    pl->addWidget(chkPages[i], i, 1);
    connect(optPage[i], &QRadioButton::toggled, [this] { Changed(); });
    connect(chkPages[i], &QCheckBox::toggled, [this] { Changed(); });
  }
  auto* cd = new QGroupBox("ChartDirector Information");
  lblChartDirector = Named(new QLabel, "lblChartDirector");
  (new QVBoxLayout(cd))->addWidget(lblChartDirector);
  auto* grid = new QGridLayout(tab);
  grid->addWidget(main_chart, 0, 0);
  grid->addWidget(device_chart, 0, 1);
  grid->addWidget(pages, 1, 0);
  grid->addWidget(cd, 1, 1);
  tbSetup->addTab(tab, "&Web Page");
}

// ---- settings ----

void SetupWindow::ShowSettings(const Settings& s) {
  const bool was = loading_;
  loading_ = true;
  IntType->setCurrentText(Q(s.IntType));
  if (IntType->currentText() != Q(s.IntType)) {
    IntType->addItem(Q(s.IntType));
    IntType->setCurrentText(Q(s.IntType));
  }
  FillPorts();
  IntPort->setCurrentText(Q(s.IntPort));
  optSpeed[std::clamp(s.IntSpeed, 0, 3)]->setChecked(true);
  // With an adapter open, only the speeds it can run the bus at are offered (the stored one stays
  // visible: polling falls back to the fastest the adapter has).
  for (int i = 0; i < 4; ++i)
    optSpeed[i]->setEnabled(!OneWire().adapter || i <= OneWire().max_speed ||
                            optSpeed[i]->isChecked());
  ChkDefault->setChecked(s.DefaultPort == "1");
  chkWeb->setChecked(s.WebPage);
  txtPollCycle->setText(QString::number(s.CycleSeconds));
  PollTemp->setText(QString::number(s.PollTemp));
  PollAD->setText(QString::number(s.PollAD));
  PollI->setText(QString::number(s.PollI));
  chkTimer->setChecked(s.chkTimer);
  chkPresence->setChecked(s.Presence);
  chkAlarming->setChecked(s.Alarming);
  txtSig->setText(QString::number(s.SigFigs));
  chkAppend->setChecked(s.Append);
  OptionTemp[s.Range ? 1 : 0]->setChecked(true);
  optAlarm[std::clamp(s.AlarmMode, 0, 2)]->setChecked(true);
  chkAlarmLog->setChecked(s.LogAlarms);
  chkPollAlarm->setChecked(s.PollAlarming);
  txtSpeech[0]->setText(Q(s.Speech));
  txtSpeech[1]->setText(Q(s.AlarmSpeech));
  cmbDebug->setCurrentIndex(std::clamp(s.DebugLevel, 0, 5));
  chkDisplay->setChecked(s.Display);
  txtDB->setText(Q(s.Database));
  TableCombo->setCurrentText(Q(s.Table));
  for (int i = 0; i < 3; ++i) FieldCombo[i]->setCurrentText(Q(s.Fields[i]));
  optDB[s.DeviceIDByName ? 1 : 0]->setChecked(true);
  chkDBLog->setChecked(s.chkDBLog);
  chkChanges->setChecked(s.chkChanges);
  chkDBKeepOpen->setChecked(s.chkDBKeepOpen);
  txtChartX->setText(QString::number(s.ChartX));
  txtChartY->setText(QString::number(s.ChartY));
  txtChartX1->setText(QString::number(s.ChartX1));
  txtChartY1->setText(QString::number(s.ChartY1));
  colours = {FromColourValue(s.StartColor), FromColourValue(s.EndColor),
             FromColourValue(s.StartColor1), FromColourValue(s.EndColor1)};
  for (int i = 0; i < 4; ++i) Swatch(cmdColour[i], colours[i]);
  chk3DChart->setChecked(s.Chart3D);
  chk3DChart1->setChecked(s.Chart3D1);
  optPage[std::clamp(s.DefaultPage, 0, 3)]->setChecked(true);
  for (int i = 0; i < 4; ++i) chkPages[i]->setChecked(s.WebPages[i]);
  loading_ = was;
}

void SetupWindow::LoadSettings() {
  loading_ = true;
  LoadProcessSettings();
  ShowSettings(Plugin().settings);
  Apply->setEnabled(false);
  loading_ = false;
}

Settings SetupWindow::FromControls() const {
  Settings s = Plugin().settings;
  auto num = [](const QLineEdit* e) { return SettingToInt(S(e->text().trimmed())); };
  s.IntType = S(IntType->currentText());
  s.IntPort = S(IntPort->currentText());
  for (int i = 0; i < 4; ++i)
    if (optSpeed[i]->isChecked()) s.IntSpeed = i;
  s.DefaultPort = ChkDefault->isChecked() ? "1" : "0";
  s.WebPage = chkWeb->isChecked();
  s.CycleSeconds = num(txtPollCycle);
  s.PollTemp = num(PollTemp);
  s.PollAD = num(PollAD);
  s.PollI = num(PollI);
  s.chkTimer = chkTimer->isChecked();
  s.Presence = chkPresence->isChecked();
  s.Alarming = chkAlarming->isChecked();
  // The byte it is held in would wrap a large number to a small one: bound it first.
  s.SigFigs = static_cast<uint8_t>(std::clamp(num(txtSig), 0, 10));
  s.Append = chkAppend->isChecked();
  s.Range = OptionTemp[1]->isChecked();
  for (int i = 0; i < 3; ++i)
    if (optAlarm[i]->isChecked()) s.AlarmMode = i;
  s.LogAlarms = chkAlarmLog->isChecked();
  s.PollAlarming = chkPollAlarm->isChecked();
  s.Speech = S(txtSpeech[0]->text());
  s.AlarmSpeech = S(txtSpeech[1]->text());
  s.DebugLevel = cmbDebug->currentIndex();
  s.Display = chkDisplay->isChecked();
  s.Database = S(txtDB->text());
  s.Table = S(TableCombo->currentText());
  for (int i = 0; i < 3; ++i) s.Fields[i] = S(FieldCombo[i]->currentText());
  s.DeviceIDByName = optDB[1]->isChecked();
  s.chkDBLog = chkDBLog->isChecked();
  s.chkChanges = chkChanges->isChecked();
  s.chkDBKeepOpen = chkDBKeepOpen->isChecked();
  s.ChartX = num(txtChartX);
  s.ChartY = num(txtChartY);
  s.ChartX1 = num(txtChartX1);
  s.ChartY1 = num(txtChartY1);
  s.StartColor = ToColourValue(colours[0]);
  s.EndColor = ToColourValue(colours[1]);
  s.StartColor1 = ToColourValue(colours[2]);
  s.EndColor1 = ToColourValue(colours[3]);
  s.Chart3D = chk3DChart->isChecked();
  s.Chart3D1 = chk3DChart1->isChecked();
  for (int i = 0; i < 4; ++i) {
    if (optPage[i]->isChecked()) s.DefaultPage = i;
    s.WebPages[i] = chkPages[i]->isChecked();
  }
  return s;
}

void SetupWindow::ApplySettings() {
  Settings s = FromControls();
  ApplySettingsLimits(s);
  ShowSettings(s);  // a value outside its limits shows the bound applied
  PluginState& p = Plugin();
  const bool was_fahrenheit = p.settings.Range;
  p.settings = s;
  if (s.Range != was_fahrenheit) Skip([&] { ConvertShownTemperatures(was_fahrenheit); });
  // The poll timer follows "Enable" at once once polling has begun.
  if (p.PollingStarted && p.parts.timers)
    Skip([&] { p.parts.timers->SetPollTimerEnabled(s.chkTimer); });
  Apply->setEnabled(false);
}

void SetupWindow::OK() {
  Settings s = FromControls();
  ApplySettingsLimits(s);
  ShowSettings(s);
  PluginState& p = Plugin();
  const bool was_fahrenheit = p.settings.Range;
  p.settings = s;
  if (s.Range != was_fahrenheit) Skip([&] { ConvertShownTemperatures(was_fahrenheit); });
  if (p.PollingStarted && p.parts.timers)
    Skip([&] { p.parts.timers->SetPollTimerEnabled(s.chkTimer); });
  Skip([&] { SaveSettings(Store(), s); });
  Apply->setEnabled(false);
  MarkClosed();
  hide();
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

void SetupWindow::RefreshMemory(const std::string& rom) {
  if (!open_ || paused_ || selected_rom_.empty() || selected_rom_ != rom.substr(0, 16)) return;
  const int bank = BankCombo->currentIndex();
  ShowMemory();
  if (bank > 0 && bank < BankCombo->count()) BankCombo->setCurrentIndex(bank);
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
  paused_ = false;
  cmdMemPause->setText("Pause Update");
  if (!first_activation_) return;
  PluginState& p = Plugin();
  if (p.callback) Skip([&] { p.callback->ForceFront(static_cast<int32_t>(winId())); });
  tbDevice->setCurrentIndex(0);
  open_ = true;
  if (p.InterfaceReady) tbSetup->setCurrentIndex(std::clamp(p.settings.Tab, 0, 4));
  Skip([&] { p.parts.devices->AdoptHSDevices(false); });
  RebuildTree();
  first_activation_ = false;
}

void SetupWindow::SelectDeviceTab(int tab) {
  tbSetup->setCurrentIndex(2);
  if (tab >= 0 && tab < tbDevice->count()) tbDevice->setCurrentIndex(tab);
}

// ---- device tree ----

QTreeWidgetItem* SetupWindow::FindDeviceNode(const std::string& rom) const {
  const QString key = Q(rom.substr(0, 16));
  for (int g = 0; g < DevView->topLevelItemCount(); ++g) {
    QTreeWidgetItem* group = DevView->topLevelItem(g);
    for (int c = 0; c < group->childCount(); ++c)
      if (group->child(c)->data(0, kRomRole).toString() == key) return group->child(c);
  }
  return nullptr;
}

QTreeWidgetItem* SetupWindow::AddDeviceNode(const std::string& rom) {
  if (rom.size() < 16) return nullptr;
  if (QTreeWidgetItem* node = FindDeviceNode(rom)) return node;
  const QString part = Q(GroupName(rom));
  QTreeWidgetItem* group = nullptr;
  for (int g = 0; g < DevView->topLevelItemCount(); ++g)
    if (DevView->topLevelItem(g)->text(0) == part) group = DevView->topLevelItem(g);
  if (!group) {
    group = new QTreeWidgetItem(QStringList(part));
    group->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));  // "tree"
    DevView->addTopLevelItem(group);
    group->setExpanded(true);
  }
  auto* node = new QTreeWidgetItem(QStringList(Q(rom.substr(0, 16))));
  node->setData(0, kRomRole, Q(rom.substr(0, 16)));
  node->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));  // "node"
  group->addChild(node);
  return node;
}

void SetupWindow::RebuildTree() {
  DevView->clear();
  const auto roms = gROMs().ROMlist;  // a copy: the registry may change while nodes are added
  for (const auto& rom : roms) {
    QTreeWidgetItem* node = AddDeviceNode(rom->ROM);
    if (node && rom->Absent) node->setForeground(0, kNodeAbsent);
  }
  if (QTreeWidgetItem* node = FindDeviceNode(selected_rom_)) DevView->setCurrentItem(node);
}

void SetupWindow::ShowDeviceNode(const std::string& rom, int32_t highlight) {
  DisplayNodeInfo(rom, FromColourValue(highlight));
}

void SetupWindow::DisplayNodeInfo(const std::string& rom, const QColor& colour) {
  QTreeWidgetItem* node = AddDeviceNode(rom);
  if (!node) return;
  node->setForeground(0, colour);
  if (colour == kNodeFromHost) {
    DevView->setCurrentItem(node);
    DevView_NodeClick(node);
  }
}

void SetupWindow::DevView_NodeClick(QTreeWidgetItem* node) {
  paused_ = false;
  cmdMemPause->setText("Pause Update");
  const bool device = node && !node->data(0, kRomRole).toString().isEmpty();
  if (!device) {
    selected_rom_.clear();
    loading_ = true;
    lblInfo->setText("Please select a device.");
    loading_ = false;
    if (!node) tbDevice->setCurrentIndex(9);
    return;
  }
  selected_rom_ = S(node->data(0, kRomRole).toString());
  hi_changed_ = lo_changed_ = false;
  SetRed(txtHi, false);
  SetRed(txtLo, false);
  ShowPages();
  RefreshDisplay();
}

std::shared_ptr<DSDevice> SetupWindow::PageChannel(int page) const {
  if (selected_rom_.empty()) return nullptr;
  auto rom = gROMs().FindParent(selected_rom_);
  if (!rom) return nullptr;
  const auto devices = rom->Devices;  // held: a lookup may let events run
  // The Info page shows the device's first measured channel, or the device itself.
  std::shared_ptr<DSDevice> fallback;
  for (const auto& d : devices->DevList) {
    const std::string letter = ChannelLetterOf(d->ROM);
    if (!fallback || (ChannelLetterOf(fallback->ROM).empty() && !letter.empty())) fallback = d;
    if (page == 0 && letter == "M") return d;
    if (page == 1 && (letter == "N" || letter == "G" || letter == "H")) return d;
    if (page == 7 && (letter == "S" || letter == "P" || letter == "K")) return d;
    if (page == 8 && letter == "T") return d;
  }
  return page == 9 ? fallback : nullptr;
}

std::string SetupWindow::PageKey(int page) const {
  auto ch = PageChannel(page);
  return ch ? ch->ROM : std::string();
}

void SetupWindow::ShowPages() {
  const std::string rom = selected_rom_;
  const uint32_t caps = FamilyCaps(rom);
  loading_ = true;
  for (int page : {0, 1, 7, 8, 9}) {
    auto ch = PageChannel(page);
    txtname[page]->setText(ch ? Q(ch->HSName) : QString());
    txtLocation[page]->setText(ch ? Q(ch->HSLocation) : QString());
    chkLogToDB[page]->setChecked(ch && ch->LogtoDB != 0);
    txtAdj[page]->setText(ch ? Q(PlainNumberText(ch->Adjustment)) : QString());
    txtValue[page]->setText(ch ? ValueText(*ch) : QString("Wait..."));
  }
  std::string info = "ROM " + rom + "\nPart: " + GroupName(rom);
  if (ops.device_info) Skip([&] { info = ops.device_info(rom); });
  lblInfo->setText(Q(info));
  const bool humid = Store().GetOr("DS2438", rom, "0") == "1";
  chkHumid->setChecked(humid);
  chkHumidInfo->setChecked(humid);
  chkHumid->setEnabled(FamilyName(rom) == "DS2438");
  chkHumidInfo->setEnabled(FamilyName(rom) == "DS2438");
  chkDeviceID->setChecked(Store().GetOr("Show Device ID", rom, "0") == "1");
  if (caps & kCapTemperature) {
    const QString res = Q(PlainNumberText(GetTempResolution(rom)));
    if (cmbResolution->findText(res) < 0) cmbResolution->addItem(res);
    cmbResolution->setCurrentText(res);
  }
  if (caps & kCapQuadAD) {
    for (int ch = 0; ch < 4; ++ch) {
      const std::string key = rom + static_cast<char>('G' + ch);
      auto rec = gROMs().FindParent(rom);
      std::shared_ptr<DSDevice> channel;
      if (rec) {
        const auto devices = rec->Devices;
        for (const auto& d : devices->DevList)
          if (d->ROM == key) channel = d;
      }
      txtAD4Name[ch]->setText(channel ? Q(channel->HSName) : QString());
      txtAD4Location[ch]->setText(channel ? Q(channel->HSLocation) : QString());
      chkAD4Log[ch]->setChecked(channel && channel->LogtoDB != 0);
      chkAD4Save[ch]->setChecked(Store().GetOr("InitDevice", key, "0") == "1");
      auto pick = [&](QComboBox* box, const char* setting, const QString& fallback) {
        const std::string stored = Store().GetOr(key, setting, "");
        QString text = fallback;
        if (!stored.empty() && stored != "None") {
          text = Q(stored);
          if (std::string(setting) == "Scale")
            text = QString::number(SettingToDouble(stored), 'f', 2) + "V";
          if (std::string(setting) == "Output") text = stored == "1" ? "On" : "Off";
          if (std::string(setting) == "TripL" || std::string(setting) == "TripH")
            text = QString::number(SettingToDouble(stored), 'f', 1);
        }
        const int i = box->findText(text);
        box->setCurrentIndex(i >= 0 ? i : 0);
      };
      pick(cmbAD4Scale[ch], "Scale", "5.10V");
      pick(cmbAD4BitRes[ch], "Res", "8");
      pick(cmbAD4Low[ch], "TripL", "None");
      pick(cmbAD4High[ch], "TripH", "None");
      pick(cmbAD4OutState[ch], "Output", "None");
    }
  }
  loading_ = false;

  // The page of the device's function: by its first channel's letter, or memory and clocks.
  int tab = 9;
  if (caps & kCapQuadAD) {
    tab = 4;
  } else if (auto first = PageChannel(9); first && first->ROM.size() > 16) {
    tab = ChannelSetupTab(ChannelLetterOf(first->ROM));
  } else if (caps & kCapClock) {
    tab = 6;
  } else if (caps & kCapMemory) {
    tab = 5;
  }
  if (tab == 2 || tab == 3) tab = 9;
  tbDevice->setCurrentIndex(tab);
  if (caps & (kCapMemory | kCapEprom)) {
    files->SetDevice(rom);
    ShowMemory();
  } else {
    files->SetDevice({});
    BankCombo->clear();
    FeatureList->clear();
    DataList->clear();
  }
}

void SetupWindow::RefreshDisplay() {
  if (selected_rom_.empty()) return;
  const std::string rom = selected_rom_;
  const uint32_t caps = FamilyCaps(rom);
  auto record = gROMs().FindParent(rom);  // held by shared ownership across the read's pauses
  if (!record) return;
  bool present = false;
  {
    BusClaim bus(rom);
    present = bus.Present();
    if (present) {
      const int what = kReadAll;
      Skip([&] { ReadDev(*record, rom, what, bus.Shared()); });
    }
  }
  // A click on another node while the bus was busy: that node is shown now, not this one.
  if (selected_rom_ != rom) return;
  if (QTreeWidgetItem* node = FindDeviceNode(rom))
    node->setForeground(0, present ? palette().text().color() : kNodeAbsent);
  if (!present) return;

  std::pair<double, double> limits{0, 0};
  if (caps & kCapTemperature && FamilyCode(rom) != "21") limits = GetTempAlarms(rom);
  std::vector<AD4Channel> quad;
  if (caps & kCapQuadAD) quad = AD4Read(rom);
  std::vector<std::pair<std::string, bool>> times;
  if ((caps & kCapClock) && ops.show_dev_time) Skip([&] { times = ops.show_dev_time(rom); });
  if (selected_rom_ != rom) return;

  loading_ = true;
  for (int page : {0, 1, 7, 8, 9}) {
    auto ch = PageChannel(page);
    if (!ch) continue;
    txtValue[page]->setText(ValueText(*ch));
    const double v = ch->Reading;
    if (page == 0) {
      pbProps[0]->setRange(-55, 125);
      pbProps[0]->setValue(static_cast<int>(std::lround(std::clamp(v, -55.0, 125.0))));
    } else if (page == 8) {
      pbProps[8]->setRange(0, 255);
      pbProps[8]->setValue(static_cast<int>(std::clamp(v, 0.0, 255.0)));
      hsPot->setValue(static_cast<int>(std::clamp(v, 0.0, 255.0)));
      txtPot->setText(QString::number(hsPot->value()));
    } else {
      pbProps[page]->setRange(0, 100);
      pbProps[page]->setValue(static_cast<int>(std::clamp(v, 0.0, 100.0)));
    }
  }
  if (caps & kCapTemperature) {
    if (!hi_changed_) txtHi->setText(Q(PlainNumberText(limits.second)));
    if (!lo_changed_) txtLo->setText(Q(PlainNumberText(limits.first)));
    UpDown1->setValue(static_cast<int>(std::lround(Number(txtHi->text()))));
    UpDown2->setValue(static_cast<int>(std::lround(Number(txtLo->text()))));
  }
  {
    std::string ad;
    const auto devices = record->Devices;
    for (const auto& d : devices->DevList) {
      const std::string letter = ChannelLetterOf(d->ROM);
      if (letter == "N" || letter == "G" || letter == "H" || letter == "I")
        ad += d->ROM.substr(16) + ": " + (d->HSString.empty() ? "Wait..." : d->HSString) + "\n";
    }
    lblAD->setText(Q(ad));
    int row = 0;
    for (const auto& d : devices->DevList) {
      if (ChannelLetterOf(d->ROM) != "S" || row >= 4) continue;
      lblMisc1[row]->setText(Q(d->HSString));
      std::string level;
      const std::string level_key = rom + "P" + d->ROM.substr(17);
      for (const auto& l : devices->DevList)
        if (l->ROM == level_key) level = l->HSString;
      lblMisc2[row]->setText(Q(level.empty() ? std::string() : "Level " + level));
      ++row;
    }
  }
  for (int ch = 0; ch < 4 && ch < static_cast<int>(quad.size()); ++ch) {
    auto rec = gROMs().FindParent(rom);
    std::string shown;
    double volts = -1;
    if (rec) {
      const auto devices = rec->Devices;
      for (const auto& d : devices->DevList)
        if (d->ROM == rom + static_cast<char>('G' + ch)) {
          shown = d->HSString;
          volts = d->Reading;
        }
    }
    lblAD4[ch]->setText(
        Q((shown.empty() ? (volts != -1 ? PlainNumberText(volts) + "V" : "Wait...") : shown) +
          "   (range " + quad[ch].range + ", output " + quad[ch].output + ")"));
    // With no range stored for the channel, the range box shows the one the device has.
    if (Store().GetOr(rom + static_cast<char>('G' + ch), "Scale", "").empty()) {
      const QString range = quad[ch].range.rfind("2.5", 0) == 0 ? "2.56V" : "5.10V";
      cmbAD4Scale[ch]->setCurrentText(range);
    }
    pbAD4[ch]->setValue(static_cast<int>(std::clamp(volts * 100, 0.0, 510.0)));
  }
  for (int i = 0; i < 4 && i < static_cast<int>(times.size()); ++i) {
    txtTim[i]->setText(Q(times[i].first));
    chkTim[i]->setChecked(times[i].second);
  }
  loading_ = false;
  if ((caps & (kCapMemory | kCapEprom)) && !paused_ && tbDevice->currentIndex() == 5)
    ShowBank(BankCombo->currentIndex());
}

// ---- memory ----

void SetupWindow::ShowMemory() {
  const std::string rom = selected_rom_;
  QStringList names;
  {
    BusClaim bus(rom);
    try {
      if (bus.Present())
        for (const auto& bank : bus.Container().getMemoryBanks())
          names << Q(bank->getBankDescription());
    } catch (const std::exception&) {
    }
  }
  loading_ = true;
  BankCombo->clear();
  BankCombo->addItems(names);
  loading_ = false;
  ShowBank(names.isEmpty() ? -1 : 0);
}

void SetupWindow::ShowBank(int index) {
  FeatureList->clear();
  DataList->clear();
  if (index < 0 || selected_rom_.empty()) return;
  QStringList features, data;
  {
    BusClaim bus(selected_rom_);
    try {
      if (!bus.Present()) return;
      const auto banks = bus.Container().getMemoryBanks();
      if (index >= static_cast<int>(banks.size())) return;
      const auto bank = banks[index];
      features << Q("Description: " + bank->getBankDescription())
               << QString("Size: %1 bytes").arg(bank->getSize())
               << QString("Start address: %1").arg(bank->getStartPhysicalAddress());
      if (bank->isOTPMemoryBank()) features << "Add-only (EPROM)";
      if (auto* paged = dynamic_cast<access::PagedMemoryBank*>(bank.get())) {
        features << QString("Pages: %1 of %2 bytes")
                        .arg(paged->getNumberPages())
                        .arg(paged->getPageLength());
        for (int page = 0; page < paged->getNumberPages(); ++page) {
          const access::Bytes bytes = paged->readPage(page).data;
          QString line = QString("%1: ").arg(page, 3);
          for (uint8_t b : bytes) line += QString("%1 ").arg(b, 2, 16, QChar('0')).toUpper();
          data << line;
        }
      }
    } catch (const std::exception& e) {
      data << Q(std::string("Could not read: ") + e.what());
    }
  }
  FeatureList->addItems(features);
  DataList->addItems(data);
}

// ---- page actions ----

void SetupWindow::SetAlarm() {
  const std::string rom = selected_rom_;
  if (rom.empty() || (!hi_changed_ && !lo_changed_)) return;
  if (hi_changed_) {
    SetTempAlarm(rom, true, Number(txtHi->text()));
    hi_changed_ = false;
    SetRed(txtHi, false);
  }
  if (lo_changed_) {
    SetTempAlarm(rom, false, Number(txtLo->text()));
    lo_changed_ = false;
    SetRed(txtLo, false);
  }
}

void SetupWindow::MiscClicked(int row) {
  const std::string rom = selected_rom_;
  auto record = gROMs().FindParent(rom);
  if (!record) return;
  std::shared_ptr<DSDevice> channel;
  int seen = 0;
  const auto devices = record->Devices;
  for (const auto& d : devices->DevList) {
    if (ChannelLetterOf(d->ROM) != "S") continue;
    if (seen++ == row) channel = d;
  }
  if (!channel) return;
  const bool currently_on = lblMisc1[row]->text() == "On";
  SetSwitch(*channel, !currently_on);
  RefreshDisplay();
}

void SetupWindow::SetClockClicked(int row) {
  static constexpr int kBits[] = {1, 2, 16, 32};
  const std::string rom = selected_rom_;
  if (rom.empty()) return;
  if (!ops.set_clock) {
    UI().MessageBox("Setting device clocks is not available in this build.",
                    MessageIcon::Information, "Set Clock");
    return;
  }
  Skip([&] { ops.set_clock(rom, kBits[row]); });
  if (ops.show_dev_time && selected_rom_ == rom) {
    std::vector<std::pair<std::string, bool>> times;
    Skip([&] { times = ops.show_dev_time(rom); });
    for (int i = 0; i < 4 && i < static_cast<int>(times.size()); ++i) {
      txtTim[i]->setText(Q(times[i].first));
      chkTim[i]->setChecked(times[i].second);
    }
  }
}

void SetupWindow::AD4Changed(int ch, int setting) {
  if (loading_ || selected_rom_.empty()) return;
  const std::string key = selected_rom_ + static_cast<char>('G' + ch);
  double value = -1;
  std::string stored = "None";
  switch (setting) {
    case 1:
      value = Number(cmbAD4Scale[ch]->currentText().chopped(1));
      stored = PlainNumberText(value);
      Store().Set(key, "Scale", stored);
      break;
    case 2: {
      // The resolution as the converter takes it: volts per step for the chosen bits.
      const double range = Number(cmbAD4Scale[ch]->currentText().chopped(1));
      const int bits = cmbAD4BitRes[ch]->currentText().toInt();
      value = range / std::pow(2.0, bits);
      stored = PlainNumberText(value);
      Store().Set(key, "Res", stored);
      break;
    }
    case 3:
    case 4: {
      QComboBox* box = setting == 3 ? cmbAD4Low[ch] : cmbAD4High[ch];
      if (box->currentText() != "None") {
        value = Number(box->currentText());
        stored = PlainNumberText(value);
      }
      Store().Set(key, setting == 3 ? "TripL" : "TripH", stored);
      break;
    }
    default:
      return;
  }
  Skip([&] { Plugin().parts.devices->AD4Adjust(ch, setting, value, key); });
}

void SetupWindow::AD4OutputChosen(int ch) {
  if (loading_ || selected_rom_.empty()) return;
  const std::string rom = selected_rom_;
  const std::string key = rom + static_cast<char>('G' + ch);
  const QString text = cmbAD4OutState[ch]->currentText();
  const double value = text == "On" ? 1 : text == "Off" ? 0 : -1;
  Store().Set(key, "Output", text == "None" ? "None" : value == 1 ? "1" : "0");
  Skip([&] { Plugin().parts.devices->AD4Adjust(ch, 5, value, key); });
  if (value == -1) return;
  auto output = gROMs().FindDev(rom + "S" + std::to_string(ch));
  if (!output || output->dc != -1) return;
  Question q;
  q.id = "add-output-switch";
  q.text = "Do you want to add a switch device to Hearthmoor\rto represent this output?";
  if (!UI().Ask(q)) return;
  Skip([&] {
    // The switch channel's own name (ROM id, "-Switch" and the channel number), as discovery
    // names every switch channel, so the host shows one name for one channel.
    CreateHSDevice(*output, FamilyName(rom), value == 1 ? "On" : "Off",
                   rom + "-Switch" + std::to_string(ch));
    UpdateHSDev(*output, std::string(value == 1 ? "On" : "Off"));
  });
}

void SetupWindow::Autodetect() {
  const std::string file =
      default_adapter_file.empty() ? OneWire().default_adapter_file : default_adapter_file;
  const AutodetectResult found = dialog::Autodetect(file, autodetect_extra_ports);
  UI().MessageBox(found.message, found.found ? MessageIcon::Information : MessageIcon::Exclamation,
                  "Autodetect");
  if (!found.found) return;
  if (IntType->findText(Q(found.type)) < 0) IntType->addItem(Q(found.type));
  IntType->setCurrentText(Q(found.type));
  IntPort->setCurrentText(Q(found.port));
  ChkDefault->setChecked(true);
}

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
