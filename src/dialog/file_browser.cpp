#include "dialog/file_browser.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "access/errors.h"
#include "access/owfile.h"
#include "access/owfile_streams.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "dialog/bus_claim.h"
#include "platform/user_interface.h"

namespace qb::dialog {

namespace {

constexpr int kKeyRole = Qt::UserRole;
constexpr int kImageRole = Qt::UserRole + 1;  // "home" or "file"
constexpr int kReadLimit = 1024000;

std::string Key(const QTreeWidgetItem* item) {
  return item ? item->data(0, kKeyRole).toString().toStdString() : std::string();
}
bool IsFile(const QTreeWidgetItem* item) {
  return item && item->data(0, kImageRole).toString() == "file";
}

void ErrorBox(const std::string& title, const std::string& source, const std::exception& e) {
  if (LogEnabled(LogClass::ErrorsAlarms)) WriteLog(LogClass::ErrorsAlarms, source, e.what());
  UI().MessageBox(e.what(), MessageIcon::Critical, title);
}

}  // namespace

FileBrowser::FileBrowser(QWidget* parent) : QWidget(parent) {
  devFiles = new QTreeWidget(this);
  devFiles->setObjectName("devFiles");
  devFiles->setHeaderHidden(true);
  devFiles->setColumnCount(1);
  cmdNew = new QPushButton("New", this);
  cmdNew->setObjectName("cmdNew");
  cmdEdit = new QPushButton("Edit", this);
  cmdEdit->setObjectName("cmdEdit");
  cmdDel = new QPushButton("Delete", this);
  cmdDel->setObjectName("cmdDel");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdNew);
  buttons->addWidget(cmdEdit);
  buttons->addWidget(cmdDel);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(devFiles);
  layout->addLayout(buttons);
  cmdEdit->setEnabled(false);

  frmFileEdit = new QDialog(this);
  frmFileEdit->setObjectName("frmFileEdit");
  frmFileEdit->setWindowTitle("File Edit");
  frmFileEdit->setModal(true);
  txtMemoryHex = new QPlainTextEdit(frmFileEdit);
  txtMemoryHex->setObjectName("txtMemoryHex");
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, frmFileEdit);
  auto* edit_layout = new QVBoxLayout(frmFileEdit);
  edit_layout->addWidget(txtMemoryHex);
  edit_layout->addWidget(box);
  QObject::connect(box, &QDialogButtonBox::accepted, frmFileEdit, &QDialog::accept);
  QObject::connect(box, &QDialogButtonBox::rejected, frmFileEdit, &QDialog::reject);

  ask_yes_no_cancel = [this](const std::string& text) {
    const auto b =
        QMessageBox::question(this, "Quellbrook 1-Wire Interface", QString::fromStdString(text),
                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    return b == QMessageBox::Yes ? Answer::Yes : b == QMessageBox::No ? Answer::No : Answer::Cancel;
  };

  QObject::connect(devFiles, &QTreeWidget::itemClicked,
                   [this](QTreeWidgetItem* item, int) { cmdEdit->setEnabled(IsFile(item)); });
  QObject::connect(devFiles, &QTreeWidget::itemChanged,
                   [this](QTreeWidgetItem* item, int) { LabelEdited(item); });
  QObject::connect(cmdNew, &QPushButton::clicked, [this] { NewFile(); });
  QObject::connect(cmdEdit, &QPushButton::clicked, [this] { EditFile(); });
  QObject::connect(cmdDel, &QPushButton::clicked, [this] { DeleteClicked(); });
}

void FileBrowser::SetDevice(const std::string& rom) {
  rom_ = rom;
  Rebuild();
}

void FileBrowser::Rebuild() {
  filling_ = true;
  devFiles->clear();
  filling_ = false;
  if (rom_.empty()) {
    devFiles->setEnabled(false);
    cmdNew->setEnabled(false);
    cmdEdit->setEnabled(false);
    cmdDel->setEnabled(false);
    return;
  }
  DisplayFiles("", "");
}

std::string FileBrowser::ParentPath(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

QTreeWidgetItem* FileBrowser::FindNode(const std::string& key) const {
  const QString k = QString::fromStdString(key);
  for (QTreeWidgetItemIterator it(devFiles); *it; ++it)
    if ((*it)->data(0, kKeyRole).toString() == k) return *it;
  return nullptr;
}

void FileBrowser::AddFileNode(const std::string& name, const std::string& parent,
                              bool is_directory) {
  // Keys are full paths: "/" for the root, "/NAME.1" in it, "/DIR/NAME.1" below a directory.
  const std::string key = name.empty() ? parent : parent == "/" ? "/" + name : parent + "/" + name;
  if (!name.empty() && FindNode(key)) return;
  filling_ = true;
  QTreeWidgetItem* parent_node = FindNode(parent);
  if (!parent_node) {
    parent_node = new QTreeWidgetItem(QStringList(QString::fromStdString(parent)));
    parent_node->setData(0, kKeyRole, QString::fromStdString(parent));
    parent_node->setData(0, kImageRole, "home");
    parent_node->setIcon(0, style()->standardIcon(QStyle::SP_DirHomeIcon));
    std::string up = ParentPath(parent);
    if (up.size() > 1) up.pop_back();
    QTreeWidgetItem* grand = parent.size() > 1 ? FindNode(up) : nullptr;
    if (grand)
      grand->addChild(parent_node);
    else
      devFiles->addTopLevelItem(parent_node);
    parent_node->setExpanded(true);
  }
  if (!name.empty()) {
    auto* node = new QTreeWidgetItem(QStringList(QString::fromStdString(name)));
    node->setData(0, kKeyRole, QString::fromStdString(key));
    node->setData(0, kImageRole, is_directory ? "home" : "file");
    node->setIcon(0,
                  style()->standardIcon(is_directory ? QStyle::SP_DirIcon : QStyle::SP_FileIcon));
    if (!is_directory) node->setFlags(node->flags() | Qt::ItemIsEditable);
    parent_node->addChild(node);
    parent_node->setExpanded(true);
  }
  filling_ = false;
}

void FileBrowser::DisplayFiles(const std::string& path, const std::string& parent) {
  const std::string rom = rom_;
  BusClaim bus(rom);
  try {
    if (!bus.Present()) {
      devFiles->setEnabled(false);
      cmdNew->setEnabled(false);
      cmdEdit->setEnabled(false);
      cmdDel->setEnabled(false);
      return;
    }
    access::OWFile dir(bus.Container(), path);
    if (path.empty()) {
      if (!dir.exists() && !dir.isDirectory()) {
        Question q;
        q.id = "format-file-system";
        q.text = "Do you want to format the file system for device:\r" + rom;
        q.headless_answer = false;
        if (!UI().Ask(q)) {
          devFiles->setEnabled(false);
          cmdNew->setEnabled(false);
          cmdEdit->setEnabled(false);
          cmdDel->setEnabled(false);
          return;
        }
        dir.format();
        cmdDel->setText("Format");
      } else {
        cmdDel->setText("Delete");
      }
      devFiles->setEnabled(true);
      cmdDel->setEnabled(true);
      cmdNew->setEnabled(true);
      cmdEdit->setEnabled(false);
      AddFileNode("", "/", true);  // the root itself, so an empty device shows it
    }
    (void)parent;
    Fill(bus.Container(), path.empty() ? "/" : path);
  } catch (const access::AccessError& e) {
    // A device whose memory holds no files (a converter's registers) simply has no file system:
    // that is shown, not logged as a failure.
    if (e.code() == access::ErrorCode::NotSupported) {
      ShowNotApplicable(e.source());
    } else if (LogEnabled(LogClass::ErrorsAlarms)) {
      WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(DisplayFiles)", e.what());
    }
  } catch (const std::exception& e) {
    if (LogEnabled(LogClass::ErrorsAlarms))
      WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(DisplayFiles)", e.what());
  }
}

void FileBrowser::ShowNotApplicable(const std::string& part) {
  devFiles->clear();
  auto* note = new QTreeWidgetItem(
      QStringList(QString::fromStdString("Not applicable: the " + part + " keeps no files")));
  note->setFlags(Qt::NoItemFlags);
  devFiles->addTopLevelItem(note);
  devFiles->setEnabled(false);
  cmdNew->setEnabled(false);
  cmdEdit->setEnabled(false);
  cmdDel->setEnabled(false);
}

void FileBrowser::Fill(access::OneWireContainer& container, const std::string& path) {
  access::OWFile dir(container, path);
  for (const auto& entry : dir.listFiles()) {
    if (entry.directory) {
      const std::string child =
          entry.parent == "/" ? "/" + entry.name : entry.parent + "/" + entry.name;
      AddFileNode(entry.name, entry.parent, true);
      Fill(container, child);
    } else {
      AddFileNode(entry.name, entry.parent, false);
    }
  }
}

bool FileBrowser::DisplayFile(const std::string& rom, const std::string& path) {
  QString text;
  {
    BusClaim bus(rom);
    try {
      if (!bus.Present()) return false;
      access::OWFileInputStream in(bus.Container(), path);
      access::ByteBuffer buffer(kReadLimit);
      const int count = in.read(buffer);
      try {
        in.close();
      } catch (...) {
      }
      text = BufferToText(buffer.bytes(), count);
    } catch (const std::exception& e) {
      ErrorBox("Error Displaying File", "1-Wire ERROR(DisplayFile)", e);
      return false;
    }
  }  // the bus is free while the editor is open
  current_rom = rom;
  current_path = path;
  OpenEditor(text);
  return true;
}

void FileBrowser::OpenEditor(const QString& text) {
  editing = true;
  txtMemoryHex->setPlainText(text);
  const bool ok = frmFileEdit->exec() == QDialog::Accepted;
  if (ok) UpdateFile(txtMemoryHex->toPlainText());
  editing = false;
}

// The editor keeps one character per byte. A text box turns carriage returns and a few other
// control characters into line breaks of its own, which would change the file when it is saved
// unchanged: control bytes other than tab and line feed are shown as their control pictures
// (U+2400 + byte) and turned back into the byte on saving.
QString FileBrowser::BufferToText(const access::Bytes& buffer, int count) {
  const int n = std::max(0, std::min<int>(count, static_cast<int>(buffer.size())));
  QString text;
  text.reserve(n);
  for (int i = 0; i < n; ++i) {
    const uint8_t b = buffer[i];
    const bool control = b < 0x20 && b != '\t' && b != '\n';
    text.append(QChar(control ? 0x2400 + b : b));
  }
  return text;
}

access::Bytes FileBrowser::TextToBuffer(const QString& text) {
  access::Bytes bytes;
  bytes.reserve(text.size());
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    if (u >= 0x2400 && u < 0x2420)
      bytes.push_back(static_cast<uint8_t>(u - 0x2400));
    else
      bytes.push_back(u < 0x100 ? static_cast<uint8_t>(u) : static_cast<uint8_t>('?'));
  }
  return bytes;
}

void FileBrowser::UpdateFile(const QString& text) {
  const access::Bytes bytes = TextToBuffer(text);
  BusClaim bus(current_rom);
  try {
    if (!bus.Present()) return;
    access::OWFileOutputStream out(bus.Container(), current_path);
    access::ByteBuffer buffer(static_cast<int>(bytes.size()));
    buffer.bytes() = bytes;
    out.write(buffer, 0, buffer.length());
    out.flush();
    try {
      out.close();
    } catch (...) {
    }
  } catch (const std::exception& e) {
    ErrorBox("Error Display Files", "1-Wire ERROR(UpdateFile)", e);
  }
}

void FileBrowser::RenameFile(const std::string& rom, const std::string& old_path,
                             const std::string& new_path) {
  BusClaim bus(rom);
  try {
    if (!bus.Present()) return;
    access::OWFile from(bus.Container(), old_path);
    access::OWFile to(bus.Container(), new_path);
    from.renameTo(to);
  } catch (const std::exception& e) {
    ErrorBox("Error Display Files", "1-Wire ERROR(RenameFile)", e);
  }
}

void FileBrowser::DeleteFile(const std::string& rom, const std::string& path, bool format_all) {
  BusClaim bus(rom);
  try {
    if (!bus.Present()) return;
    access::OWFile file(bus.Container(), path);
    if (format_all)
      file.format();
    else
      file.deleteFile();
  } catch (const std::exception& e) {
    ErrorBox("Error Display Files", "1-Wire ERROR(DeleteFile)", e);
  }
}

std::string FileBrowser::ProposedNewFileName() const {
  const QTreeWidgetItem* item = devFiles->currentItem();
  std::string dir;
  if (item && IsFile(item)) {
    dir = ParentPath(Key(item));
  } else if (item) {
    dir = Key(item);
  }
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir + "/FILE.1";
}

void FileBrowser::NewFile() {
  if (rom_.empty()) return;
  const std::string name = UI().InputBox(
      "Please enter the name for the new file.\n\nUse the format XXXXXXXX.YYY\nWhere XXXXXXXX is "
      "the filename upto 8 characters,\nand .YYY is a numeric extension ie. 001\nIf the file "
      "exists, it will be overwritten.",
      ProposedNewFileName());
  if (name.empty()) return;
  current_rom = rom_;
  current_path = name;
  OpenEditor(QString());
  Rebuild();
}

void FileBrowser::EditFile() {
  QTreeWidgetItem* item = devFiles->currentItem();
  if (!IsFile(item)) return;
  DisplayFile(rom_, Key(item));
}

void FileBrowser::DeleteClicked() {
  if (rom_.empty()) return;
  if (cmdDel->text() == "Format") {
    DeleteFile(rom_, "/", true);
  } else {
    switch (ask_yes_no_cancel("Do you want to delete ALL FILES?")) {
      case Answer::Yes: {
        Question q;
        q.id = "delete-all-files";
        q.text = "Are you sure you want to delete ALL FILES?";
        if (UI().Ask(q)) DeleteFile(rom_, "/", true);
        break;
      }
      case Answer::No: {
        const QTreeWidgetItem* item = devFiles->currentItem();
        if (IsFile(item)) DeleteFile(rom_, Key(item), false);
        break;
      }
      case Answer::Cancel:
        return;
    }
  }
  Rebuild();
}

void FileBrowser::LabelEdited(QTreeWidgetItem* item) {
  if (filling_ || !IsFile(item)) return;
  const std::string old_key = Key(item);
  const QString label = item->text(0).toUpper();
  const std::string new_key = ParentPath(old_key) + label.toStdString();
  filling_ = true;
  item->setText(0, label);  // shown in upper case, as the file system stores names
  filling_ = false;
  if (new_key == old_key || label.isEmpty()) return;
  RenameFile(rom_, old_key, new_key);
  filling_ = true;
  item->setData(0, kKeyRole, QString::fromStdString(new_key));
  filling_ = false;
}

}  // namespace qb::dialog
