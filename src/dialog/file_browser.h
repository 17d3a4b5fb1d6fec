#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "access/memory_bank.h"

class QDialog;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace qb::access {
class OneWireContainer;
}

namespace qb::dialog {

enum class Answer { Yes, No, Cancel };

// The file system of the selected memory device, as a page of the Setup dialog: the tree
// devFiles (one node per directory and file, keyed by full path), the New, Edit and Delete
// buttons, and the editor window frmFileEdit. Every operation claims the bus for its whole
// duration and releases it on every way out; the bus is not held while the editor is open.
class FileBrowser : public QWidget {
 public:
  explicit FileBrowser(QWidget* parent = nullptr);

  // Selects the device whose files are shown and rebuilds the tree (empty: none).
  void SetDevice(const std::string& rom);
  const std::string& Device() const { return rom_; }
  // Clears the tree and fills it from the root of the selected device.
  void Rebuild();

  // Fills the tree for the directory at `path` and its subdirectories.
  void DisplayFiles(const std::string& path, const std::string& parent);
  // Reads the file and opens the editor on it (modal). False when nothing was opened.
  bool DisplayFile(const std::string& rom, const std::string& path);
  // Writes the text to the current file: one byte per character.
  void UpdateFile(const QString& text);
  void RenameFile(const std::string& rom, const std::string& old_path, const std::string& new_path);
  void DeleteFile(const std::string& rom, const std::string& path, bool format_all);
  void AddFileNode(const std::string& name, const std::string& parent, bool is_directory);

  // The New, Edit and Delete buttons.
  void NewFile();
  void EditFile();
  void DeleteClicked();
  // The name New proposes: the selected directory's path followed by "/FILE.1".
  std::string ProposedNewFileName() const;

  static std::string ParentPath(const std::string& path);
  static QString BufferToText(const access::Bytes& buffer, int count);
  static access::Bytes TextToBuffer(const QString& text);

  QTreeWidgetItem* FindNode(const std::string& key) const;

  QTreeWidget* devFiles;
  QPushButton* cmdNew;
  QPushButton* cmdEdit;
  QPushButton* cmdDel;
  QDialog* frmFileEdit;
  QPlainTextEdit* txtMemoryHex;

  // The three-way question of the Delete button ("Do you want to delete ALL FILES?").
  std::function<Answer(const std::string& text)> ask_yes_no_cancel;

  // The file the editor holds, while editing.
  std::string current_rom;
  std::string current_path;
  bool editing = false;

 private:
  void OpenEditor(const QString& text);
  // The device has memory but no file system: the tree says so and nothing can be done in it.
  void ShowNotApplicable(const std::string& part);
  void Fill(access::OneWireContainer& container, const std::string& path);
  void LabelEdited(QTreeWidgetItem* item);
  std::string rom_;
  bool filling_ = false;
};

}  // namespace qb::dialog
