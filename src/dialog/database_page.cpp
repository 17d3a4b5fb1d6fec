#include "dialog/database_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <map>

#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "dialog/controls.h"
#include "logging/database_browser.h"
#include "logging/database_logging.h"
#include "platform/database.h"
#include "platform/user_interface.h"

namespace qb::dialog {

namespace {

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

}  // namespace

DatabasePage::DatabasePage() {
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
  auto* form = new QFormLayout(this);
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

void DatabasePage::Browse(int mode) {
  DatabaseBrowserLists lists;
  lists.connection_text = S(txtDB->text());
  lists.table = S(TableCombo->currentText());
  for (int i = 0; i < 3; ++i) lists.columns[i] = S(FieldCombo[i]->currentText());
  Skip([&] { BrowseDatabase(mode, lists); });
  {
    Filling filling(loading_);
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
  }
  txtSQL->setText(Q(BuildInsertPrefix(lists.table, lists.columns)));
  Changed();
}

void DatabasePage::Show(const Settings& s) {
  Filling filling(loading_);
  txtDB->setText(Q(s.Database));
  TableCombo->setCurrentText(Q(s.Table));
  for (int i = 0; i < 3; ++i) FieldCombo[i]->setCurrentText(Q(s.Fields[i]));
  optDB[s.DeviceIDByName ? 1 : 0]->setChecked(true);
  chkDBLog->setChecked(s.chkDBLog);
  chkChanges->setChecked(s.chkChanges);
  chkDBKeepOpen->setChecked(s.chkDBKeepOpen);
}

void DatabasePage::Read(Settings& s) const {
  s.Database = S(txtDB->text());
  s.Table = S(TableCombo->currentText());
  for (int i = 0; i < 3; ++i) s.Fields[i] = S(FieldCombo[i]->currentText());
  s.DeviceIDByName = optDB[1]->isChecked();
  s.chkDBLog = chkDBLog->isChecked();
  s.chkChanges = chkChanges->isChecked();
  s.chkDBKeepOpen = chkDBKeepOpen->isChecked();
}

}  // namespace qb::dialog
