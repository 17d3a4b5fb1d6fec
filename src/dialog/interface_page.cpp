#include "dialog/interface_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "access/masters/adapter_types.h"
#include "core/plugin_state.h"
#include "dialog/bus_claim.h"
#include "dialog/controls.h"
#include "onewire/onewire_state.h"
#include "platform/user_interface.h"

namespace qb::dialog {

namespace {

// The adapter types this system opens. A stored type not listed (a parallel-port DS1410E) is
// still shown as the current one.
const char* const kAdapterTypes[] = {"DS9097E", "DS9097", "DS9097U", "DS1411",
                                     "DS2490",  "DS1490", "DS2482",  "SIM"};

}  // namespace

InterfacePage::InterfacePage() {
  auto* frame = new QGroupBox("Interface Settings");
  IntType = Named(new QComboBox, "IntType");
  IntType->setToolTip("Select the interface type");
  for (const char* t : kAdapterTypes) IntType->addItem(t);
  IntPort = Named(new QComboBox, "IntPort");
  IntPort->setToolTip("Select the interface port");
  IntPort->setEditable(true);
  IntPort->setSizeAdjustPolicy(QComboBox::AdjustToContents);
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

  auto* grid = new QGridLayout(this);
  grid->addWidget(frame, 0, 0, 2, 1);
  grid->addWidget(web, 0, 1);
  grid->addWidget(version, 1, 1);
  grid->addWidget(note, 2, 0, 1, 2);

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

void InterfacePage::FillPorts() {
  Filling filling(loading_);
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
}

void InterfacePage::Show(const Settings& s) {
  Filling filling(loading_);
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
}

void InterfacePage::Read(Settings& s) const {
  s.IntType = S(IntType->currentText());
  s.IntPort = S(IntPort->currentText());
  for (int i = 0; i < 4; ++i)
    if (optSpeed[i]->isChecked()) s.IntSpeed = i;
  s.DefaultPort = ChkDefault->isChecked() ? "1" : "0";
  s.WebPage = chkWeb->isChecked();
}

void InterfacePage::Autodetect() {
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

}  // namespace qb::dialog
