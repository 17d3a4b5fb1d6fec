#pragma once

#include <memory>
#include <string>
#include <vector>

#include "access/file_structure.h"
#include "access/memory_bank.h"

namespace qb::access {

class OneWireContainer;

// A byte buffer of fixed length, for the streams' reads and writes. Indexes outside it are a
// GeneralFailure.
class ByteBuffer {
 public:
  explicit ByteBuffer(int size);
  int length() const { return static_cast<int>(bytes_.size()); }
  uint8_t get(int i) const;
  void set(int i, uint8_t value);
  Bytes& bytes() { return bytes_; }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// A file or directory of the 1-Wire file structure on a device, bound to a path ("/" or "" for
// the root, "/DIR/NAME.EXT" below it). Nothing is read until a call needs it; every call reads the
// device afresh. Errors are AccessError (see FileStructure).
class OWFile {
 public:
  // The file structure on the device's first general-purpose memory bank; `container` must
  // outlive the file object.
  OWFile(OneWireContainer& container, std::string path);
  // The file structure on a given bank.
  OWFile(std::shared_ptr<PagedMemoryBank> bank, std::string path);

  const std::string& getPath() const { return path_; }
  // Both false on a device without a file structure (the root too).
  bool exists();
  bool isFile();
  bool isDirectory();
  // The entries of the directory at the path, in the order stored.
  std::vector<FileEntry> listFiles();
  // The file's size in bytes.
  int length();
  // Writes an empty file structure: every file on the device is gone.
  void format();
  void deleteFile();
  void mkdir();
  // Renames this file to the path of `target`, which must be on the same device and not exist.
  void renameTo(OWFile& target);

  FileStructure& Structure();

 private:
  OneWireContainer* container_ = nullptr;
  std::shared_ptr<PagedMemoryBank> bank_;
  std::unique_ptr<FileStructure> fs_;
  std::string path_;
};

}  // namespace qb::access
