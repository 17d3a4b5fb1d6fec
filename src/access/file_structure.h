#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/memory_bank.h"

namespace qb::access {

// One entry of a directory as the file classes report it.
struct FileEntry {
  std::string name;    // "NAME.EXT" for a file ("LOG.3"), "NAME" for a directory
  std::string parent;  // the path of the directory holding it: "/" or "/DIR"
  bool directory = false;
};

// The 1-Wire file structure on the pages of a memory bank.
//
// Every page in use carries a packet: a length byte, the data, a continuation pointer (the next
// page of the same file or directory, 0 on the last page) and an inverted CRC16 seeded with the
// page number; the bank's readPagePacket / writePagePacket handle the length and CRC. The root
// directory starts on page 0. A directory is a chain of such pages holding 7-byte entries: the
// first is the control entry (0xAA, a reserved byte, the bitmap control byte and four bytes),
// then one entry per file or subdirectory: a 4-character name, upper case and padded with
// blanks; the extension (0..99 for a file, 127 for a subdirectory; bit 7 marks it read-only);
// the start page and the number of pages. The bitmap of used pages (bit n of byte n/8 for page n)
// sits in the root's control entry for devices of up to 32 pages; larger devices keep it in a
// bitmap file whose start page and page count the control entry gives instead (bit 7 of the
// bitmap control byte set). A subdirectory's control entry holds the start page of its parent
// directory in byte 5.
//
// Every chain is followed at most once per page and only within the bank: a continuation that
// leaves the bank or comes back to a page already seen, or a directory or packet that does not
// parse, is a GeneralFailure naming the page. Writing needs a read/write bank (NotSupported
// otherwise) and writes the data pages before the directory that points at them, so an
// interrupted write leaves the previous version of the file in place.
//
// Paths: "/" or "" for the root, "/DIR/NAME.EXT" below it; names are matched in upper case.
class FileStructure {
 public:
  explicit FileStructure(std::shared_ptr<PagedMemoryBank> bank);

  // True when page 0 holds a root directory. A page 0 without a valid packet or without the
  // directory mark means no file structure (false); a bus failure is raised.
  bool IsFormatted();
  // Writes an empty root directory (and the bitmap file on devices of more than 32 pages).
  void Format();

  // The entry at `path`: nullopt when it does not exist or the device has no file structure.
  // The root exists (as a directory) on a formatted device.
  struct Node {
    bool directory = false;
    int start_page = 0;
    int page_count = 0;
  };
  std::optional<Node> Find(const std::string& path);
  std::vector<FileEntry> List(const std::string& directory_path);
  Bytes ReadFile(const std::string& path);
  // Creates or replaces the file at `path` (its directory must exist).
  void WriteFile(const std::string& path, const Bytes& data);
  void MakeDirectory(const std::string& path);
  // Deletes a file or an empty directory.
  void Delete(const std::string& path);
  // Renames a file or directory; a file may also move to another directory. The target must not
  // exist.
  void Rename(const std::string& from, const std::string& to);

  // The number of pages not in use.
  int FreePages();

  // The bank the file structure lives on for a device: its first general-purpose paged bank,
  // read/write banks before write-once ones. NotSupported when the device has none.
  static std::shared_ptr<PagedMemoryBank> BankFor(const MemoryBanks& banks,
                                                  const std::string& device);

 private:
  struct Entry;
  struct Directory;
  struct Volume;

  Bytes Packet(int page, const std::string& what);
  std::vector<int> Chain(int start, const std::string& what, std::vector<Bytes>* data);
  Directory LoadDirectory(int start, const std::string& what);
  Volume Load();
  Directory Resolve(Volume& volume, const std::vector<std::string>& parts, const std::string& path,
                    bool* missing = nullptr);
  void SaveDirectory(Volume& volume, Directory& dir);
  void SaveBitmap(Volume& volume);
  void WriteChain(const std::vector<int>& pages, const Bytes& data);
  void CheckWritable();
  int Allocate(Volume& volume);
  std::vector<int> FilePagesTolerant(const Entry& entry);

  std::shared_ptr<PagedMemoryBank> bank_;
  int pages_;
  int payload_;  // packet data per page, the continuation pointer included
};

}  // namespace qb::access
