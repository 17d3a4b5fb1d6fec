#include "access/file_structure.h"

#include <algorithm>
#include <cctype>

#include "access/errors.h"

namespace qb::access {

namespace {

constexpr int kEntrySize = 7;
constexpr uint8_t kDirectoryMark = 0xAA;
constexpr uint8_t kDirectoryExtension = 127;
constexpr uint8_t kReadOnlyBit = 0x80;
constexpr uint8_t kRemoteBitmap = 0x80;  // in the bitmap control byte of the root
constexpr int kLocalBitmapPages = 32;    // the four bitmap bytes of the root's control entry
constexpr int kMaxPages = 256;           // page numbers are one byte
constexpr int kParentPointer = 5;        // in a subdirectory's control entry
const char* const kSource = "1-Wire file structure";

[[noreturn]] void Fail(const std::string& message) {
  ThrowBusError(kSource, message);
}

// A path component: a name of 1..4 characters and a numeric extension (-1 when the component
// has no dot).
struct Name {
  std::string name;  // padded with blanks to 4 characters
  int extension = -1;
};

Name ParseName(const std::string& component, const std::string& path) {
  Name n;
  const auto dot = component.rfind('.');
  std::string base = component.substr(0, dot);
  if (dot != std::string::npos) {
    const std::string ext = component.substr(dot + 1);
    if (ext.empty() || ext.size() > 3 ||
        !std::all_of(ext.begin(), ext.end(), [](unsigned char c) { return std::isdigit(c); }))
      Fail("\"" + path + "\": the extension of \"" + component + "\" must be a number, 0 to 99");
    n.extension = std::stoi(ext);
    if (n.extension >= kDirectoryExtension)
      Fail("\"" + path + "\": the extension of \"" + component + "\" must be below 127");
  }
  if (base.empty() || base.size() > 4)
    Fail("\"" + path + "\": \"" + component + "\" needs a name of 1 to 4 characters");
  for (char& c : base) {
    if (c <= ' ' || c > '~' || c == '/' || c == '.')
      Fail("\"" + path + "\": \"" + component + "\" has a character a name cannot hold");
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  base.resize(4, ' ');
  n.name = base;
  return n;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path + "/") {
    if (c != '/') {
      part += c;
    } else if (!part.empty()) {
      parts.push_back(part);
      part.clear();
    }
  }
  return parts;
}

// A path split into the components of its directory and the name it ends in.
struct PathEnd {
  std::vector<std::string> directory;
  Name name;
};
// Splits a path that names something in a directory; `for_root` is the error when it names the
// root directory itself.
PathEnd SplitPathEnd(const std::string& path, const std::string& for_root) {
  std::vector<std::string> parts = SplitPath(path);
  if (parts.empty()) Fail(for_root);
  const Name n = ParseName(parts.back(), path);
  parts.pop_back();
  return {std::move(parts), n};
}

std::string Trimmed(const std::string& name) {
  return name.substr(0, name.find_last_not_of(' ') + 1);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  return (directory == "/" ? "" : directory) + "/" + Trimmed(name);
}

}  // namespace

struct FileStructure::Entry {
  std::string name;  // 4 characters as stored
  uint8_t extension = 0;
  int start = 0;
  int count = 0;

  bool directory() const { return (extension & 0x7F) == kDirectoryExtension; }
  bool read_only() const { return !directory() && (extension & kReadOnlyBit); }
  int number() const { return extension & 0x7F; }
  std::string display() const {
    return directory() ? Trimmed(name) : Trimmed(name) + "." + std::to_string(number());
  }
};

struct FileStructure::Directory {
  std::string path;  // "/" or "/A/B"
  int start = 0;
  std::vector<int> pages;
  Bytes control;
  std::vector<Entry> entries;
};

struct FileStructure::Volume {
  Directory root;
  std::vector<bool> used;
  bool remote = false;
  std::vector<int> bitmap_pages;
};

FileStructure::FileStructure(std::shared_ptr<PagedMemoryBank> bank)
    : bank_(std::move(bank)),
      pages_(bank_->getNumberPages()),
      payload_(bank_->getMaxPacketDataLength()) {
  if (pages_ < 2 || pages_ > kMaxPages || payload_ < 1 + kEntrySize + 1)
    ThrowNotSupported(bank_->getBankDescription(), "A 1-Wire file structure on " +
                                                       std::to_string(pages_) + " pages of " +
                                                       std::to_string(payload_) + " data bytes");
}

std::shared_ptr<PagedMemoryBank> FileStructure::BankFor(const MemoryBanks& banks,
                                                        const std::string& device) {
  std::shared_ptr<PagedMemoryBank> write_once;
  for (const auto& bank : banks) {
    auto paged = std::dynamic_pointer_cast<PagedMemoryBank>(bank);
    if (!paged || !paged->isGeneralPurposeMemory() || !paged->isNonVolatile()) continue;
    if (paged->isReadWrite()) return paged;
    if (!write_once) write_once = paged;
  }
  if (write_once) return write_once;
  ThrowNotSupported(device, "A file structure (the device has no general-purpose memory)");
}

Bytes FileStructure::Packet(int page, const std::string& what) {
  if (page < 0 || page >= pages_)
    Fail(what + " points to page " + std::to_string(page) + ", outside the device's " +
         std::to_string(pages_) + " pages");
  Bytes data;
  try {
    data = bank_->readPagePacket(page);
  } catch (const AccessError& e) {
    Fail(what + ": page " + std::to_string(page) + " holds no valid packet (" + e.what() + ")");
  }
  if (data.empty())
    Fail(what + ": page " + std::to_string(page) +
         " holds an empty packet, without the pointer "
         "to the next page");
  return data;
}

std::vector<int> FileStructure::Chain(int start, const std::string& what,
                                      std::vector<Bytes>* data) {
  std::vector<bool> seen(pages_, false);
  std::vector<int> pages;
  for (int page = start;;) {
    if (page >= 0 && page < pages_ && seen[page])
      Fail(what + ": its pages come back to page " + std::to_string(page) + " (a loop)");
    Bytes packet = Packet(page, what);
    seen[page] = true;
    pages.push_back(page);
    const int next = packet.back();
    packet.pop_back();
    if (data) data->push_back(std::move(packet));
    if (next == 0) return pages;
    page = next;
  }
}

FileStructure::Directory FileStructure::LoadDirectory(int start, const std::string& what) {
  Directory dir;
  dir.path = what;
  dir.start = start;
  std::vector<Bytes> data;
  dir.pages = Chain(start, "directory " + what, &data);
  for (size_t i = 0; i < data.size(); ++i) {
    const Bytes& d = data[i];
    if (d.size() % kEntrySize != 0 || (i == 0 && (d.empty() || d[0] != kDirectoryMark)))
      Fail("directory " + what + ": page " + std::to_string(dir.pages[i]) +
           " does not hold directory entries");
    for (size_t at = 0; at < d.size(); at += kEntrySize) {
      if (i == 0 && at == 0) {
        dir.control.assign(d.begin(), d.begin() + kEntrySize);
        continue;
      }
      Entry e;
      e.name.assign(d.begin() + at, d.begin() + at + 4);
      e.extension = d[at + 4];
      e.start = d[at + 5];
      e.count = d[at + 6];
      dir.entries.push_back(e);
    }
  }
  // No two entries share a start page, and none starts inside this directory.
  std::vector<bool> claimed(pages_, false);
  for (int p : dir.pages) claimed[p] = true;
  for (const Entry& e : dir.entries) {
    if (e.start <= 0 || e.start >= pages_) continue;  // reported when followed
    if (claimed[e.start])
      Fail("directory " + what + ": entry " + e.display() + " starts on page " +
           std::to_string(e.start) + ", which another entry or the directory itself uses");
    claimed[e.start] = true;
  }
  return dir;
}

bool FileStructure::IsFormatted() {
  Bytes data;
  try {
    data = bank_->readPagePacket(0);
  } catch (const AccessError&) {
    bank_->readPage(0);  // raises when the device itself fails; else page 0 is not a packet
    return false;
  }
  return !data.empty() && data[0] == kDirectoryMark;
}

FileStructure::Volume FileStructure::Load() {
  if (!IsFormatted()) Fail("the device has no 1-Wire file structure; format it first");
  Volume v;
  v.root = LoadDirectory(0, "/");
  v.used.assign(pages_, false);
  const Bytes& c = v.root.control;
  v.remote = c[2] & kRemoteBitmap;
  Bytes bitmap;
  if (v.remote) {
    std::vector<Bytes> data;
    v.bitmap_pages = Chain(c[3], "the bitmap file", &data);
    for (const Bytes& d : data) bitmap.insert(bitmap.end(), d.begin(), d.end());
    if (static_cast<int>(bitmap.size()) < (pages_ + 7) / 8)
      Fail("the bitmap file holds " + std::to_string(bitmap.size()) + " bytes, too few for " +
           std::to_string(pages_) + " pages");
  } else {
    bitmap.assign(c.begin() + 3, c.end());
  }
  for (int p = 0; p < pages_; ++p) {
    // A local bitmap cannot mark pages past 32; they are never handed out.
    const bool known = p / 8 < static_cast<int>(bitmap.size());
    v.used[p] = !known || (bitmap[p / 8] >> (p % 8)) & 1;
  }
  for (int p : v.root.pages) v.used[p] = true;
  for (int p : v.bitmap_pages) v.used[p] = true;
  return v;
}

namespace {
// The index of the entry a path component names: a directory or a file of extension 0 for a
// component without a dot, else the file with that extension. -1 when there is none.
template <typename Entries>
int FindEntry(const Entries& entries, const Name& n) {
  auto find = [&](auto match) {
    for (size_t i = 0; i < entries.size(); ++i)
      if (entries[i].name == n.name && match(entries[i])) return static_cast<int>(i);
    return -1;
  };
  if (n.extension < 0) {
    int i = find([](const auto& e) { return e.directory(); });
    if (i >= 0) return i;
    return find([](const auto& e) { return !e.directory() && e.number() == 0; });
  }
  return find([&](const auto& e) { return !e.directory() && e.number() == n.extension; });
}
}  // namespace

// The directory the components name, loaded. A component that names no directory is an error,
// or, with `missing`, sets it and returns the root.
FileStructure::Directory FileStructure::Resolve(Volume& volume,
                                                const std::vector<std::string>& parts,
                                                const std::string& path, bool* missing) {
  Directory dir = volume.root;
  std::vector<int> ancestors = {0};
  for (const std::string& part : parts) {
    const Name n = ParseName(part, path);
    const int i = FindEntry(dir.entries, n);
    if (i < 0 || !dir.entries[i].directory()) {
      if (missing) {
        *missing = true;
        return volume.root;
      }
      Fail("\"" + path + "\": there is no directory " + Trimmed(n.name) + " in " + dir.path);
    }
    const Entry& e = dir.entries[i];
    if (std::find(ancestors.begin(), ancestors.end(), e.start) != ancestors.end())
      Fail("directory " + dir.path + ": subdirectory " + Trimmed(e.name) +
           " points back to one of its parents (page " + std::to_string(e.start) + ")");
    ancestors.push_back(e.start);
    dir = LoadDirectory(e.start, JoinPath(dir.path, e.name));
  }
  return dir;
}

int FileStructure::Allocate(Volume& volume) {
  for (int p = 1; p < pages_; ++p) {
    if (!volume.used[p]) {
      volume.used[p] = true;
      return p;
    }
  }
  Fail("the device is full");
}

void FileStructure::WriteChain(const std::vector<int>& pages, const Bytes& data) {
  const size_t chunk = payload_ - 1;
  // Last page first, so that no page ever points at one not yet written.
  for (size_t k = pages.size(); k-- > 0;) {
    const size_t from = std::min(data.size(), k * chunk);
    const size_t to = std::min(data.size(), from + chunk);
    Bytes packet(data.begin() + from, data.begin() + to);
    packet.push_back(static_cast<uint8_t>(k + 1 < pages.size() ? pages[k + 1] : 0));
    bank_->writePagePacket(pages[k], packet);
  }
}

void FileStructure::SaveDirectory(Volume& volume, Directory& dir) {
  const size_t per_page = (payload_ - 1) / kEntrySize;
  const size_t items = 1 + dir.entries.size();
  const size_t need = (items + per_page - 1) / per_page;
  while (dir.pages.size() < need) dir.pages.push_back(Allocate(volume));
  while (dir.pages.size() > need) {
    volume.used[dir.pages.back()] = false;
    dir.pages.pop_back();
  }
  if (dir.start == 0 && !volume.remote) {
    for (int b = 0; b < 4; ++b) {
      uint8_t bits = 0;
      for (int i = 0; i < 8; ++i)
        if (volume.used[b * 8 + i]) bits |= 1 << i;
      dir.control[3 + b] = bits;
    }
  }
  for (size_t k = dir.pages.size(); k-- > 0;) {
    Bytes packet;
    for (size_t item = k * per_page; item < std::min(items, (k + 1) * per_page); ++item) {
      if (item == 0) {
        packet.insert(packet.end(), dir.control.begin(), dir.control.end());
        continue;
      }
      const Entry& e = dir.entries[item - 1];
      packet.insert(packet.end(), e.name.begin(), e.name.end());
      packet.push_back(e.extension);
      packet.push_back(static_cast<uint8_t>(e.start));
      packet.push_back(static_cast<uint8_t>(e.count));
    }
    packet.push_back(static_cast<uint8_t>(k + 1 < dir.pages.size() ? dir.pages[k + 1] : 0));
    bank_->writePagePacket(dir.pages[k], packet);
  }
  if (dir.start == 0) volume.root = dir;
}

void FileStructure::SaveBitmap(Volume& volume) {
  if (!volume.remote) {
    SaveDirectory(volume, volume.root);
    return;
  }
  Bytes bitmap((pages_ + 7) / 8, 0);
  for (int p = 0; p < pages_; ++p)
    if (volume.used[p]) bitmap[p / 8] |= 1 << (p % 8);
  if (volume.bitmap_pages.size() * (payload_ - 1) < bitmap.size())
    Fail("the bitmap file is too short for " + std::to_string(pages_) + " pages");
  bitmap.resize(std::min(bitmap.size(), volume.bitmap_pages.size() * (payload_ - 1)));
  WriteChain(volume.bitmap_pages, bitmap);
}

void FileStructure::CheckWritable() {
  if (!bank_->isReadWrite())
    ThrowNotSupported(bank_->getBankDescription(), "Writing a file structure to write-once memory");
}

std::vector<int> FileStructure::FilePagesTolerant(const Entry& entry) {
  std::vector<int> pages;
  std::vector<bool> seen(pages_, false);
  for (int page = entry.start; page > 0 && page < pages_ && !seen[page];) {
    seen[page] = true;
    Bytes packet;
    try {
      packet = bank_->readPagePacket(page);
    } catch (const AccessError&) {
      break;
    }
    pages.push_back(page);
    if (packet.empty()) break;
    page = packet.back();
  }
  return pages;
}

int FileStructure::FreePages() {
  Volume v = Load();
  return static_cast<int>(std::count(v.used.begin(), v.used.end(), false));
}

void FileStructure::Format() {
  CheckWritable();
  if (pages_ <= kLocalBitmapPages) {
    bank_->writePagePacket(0, {kDirectoryMark, 0, 0, 0x01, 0, 0, 0, 0});
    return;
  }
  // The bitmap file takes the last pages of the device.
  const int bytes = (pages_ + 7) / 8;
  const int count = (bytes + payload_ - 2) / (payload_ - 1);
  std::vector<int> pages;
  Bytes bitmap(bytes, 0);
  bitmap[0] = 0x01;
  for (int p = pages_ - count; p < pages_; ++p) {
    pages.push_back(p);
    bitmap[p / 8] |= 1 << (p % 8);
  }
  WriteChain(pages, bitmap);
  bank_->writePagePacket(0, {kDirectoryMark, 0, kRemoteBitmap, static_cast<uint8_t>(pages[0]),
                             static_cast<uint8_t>(count), 0, 0, 0});
}

std::optional<FileStructure::Node> FileStructure::Find(const std::string& path) {
  if (!IsFormatted()) return std::nullopt;
  Volume v = Load();
  std::vector<std::string> parts = SplitPath(path);
  if (parts.empty()) return Node{true, 0, static_cast<int>(v.root.pages.size())};
  const Name n = ParseName(parts.back(), path);
  parts.pop_back();
  bool missing = false;
  Directory dir = Resolve(v, parts, path, &missing);
  if (missing) return std::nullopt;
  const int i = FindEntry(dir.entries, n);
  if (i < 0) return std::nullopt;
  const Entry& e = dir.entries[i];
  return Node{e.directory(), e.start, e.count};
}

std::vector<FileEntry> FileStructure::List(const std::string& directory_path) {
  Volume v = Load();
  Directory dir = Resolve(v, SplitPath(directory_path), directory_path);
  std::vector<FileEntry> out;
  for (const Entry& e : dir.entries) out.push_back({e.display(), dir.path, e.directory()});
  return out;
}

Bytes FileStructure::ReadFile(const std::string& path) {
  Volume v = Load();
  const auto [parts, n] = SplitPathEnd(path, "\"" + path + "\" is a directory, not a file");
  Directory dir = Resolve(v, parts, path);
  const int i = FindEntry(dir.entries, n);
  if (i < 0) Fail("there is no file \"" + path + "\" on the device");
  if (dir.entries[i].directory()) Fail("\"" + path + "\" is a directory, not a file");
  if (dir.entries[i].start == 0)
    Fail("file " + path + " points to page 0, which holds the root directory");
  std::vector<Bytes> data;
  Chain(dir.entries[i].start, "file " + path, &data);
  Bytes out;
  for (const Bytes& d : data) out.insert(out.end(), d.begin(), d.end());
  return out;
}

void FileStructure::WriteFile(const std::string& path, const Bytes& data) {
  CheckWritable();
  Volume v = Load();
  auto [parts, n] = SplitPathEnd(path, "\"" + path + "\" is a directory, not a file");
  if (n.extension < 0) n.extension = 0;
  if (n.extension > 99) Fail("\"" + path + "\": a file's extension is a number from 0 to 99");
  Directory dir = Resolve(v, parts, path);
  const int existing = FindEntry(dir.entries, n);
  std::vector<int> old;
  if (existing >= 0) {
    if (dir.entries[existing].read_only()) Fail("\"" + path + "\" is read-only");
    old = FilePagesTolerant(dir.entries[existing]);
  }
  const size_t chunk = payload_ - 1;
  const int needed = std::max<int>(1, (data.size() + chunk - 1) / chunk);
  const size_t per_page = (payload_ - 1) / kEntrySize;
  const int directory_growth =
      existing < 0 && 1 + dir.entries.size() + 1 > dir.pages.size() * per_page ? 1 : 0;
  std::vector<int> free;
  for (int p = 1; p < pages_; ++p)
    if (!v.used[p]) free.push_back(p);
  if (needed + directory_growth > static_cast<int>(free.size() + old.size()))
    Fail("not enough room on the device for \"" + path + "\": it needs " +
         std::to_string(needed + directory_growth) + " pages and " +
         std::to_string(free.size() + old.size()) + " are free; nothing was changed");
  // New pages first, so the previous version stays readable until the directory points at the
  // new one; the old pages are reused only when the free ones do not suffice.
  std::vector<int> chosen(free.begin(), free.begin() + std::min<size_t>(needed, free.size()));
  for (size_t k = 0; static_cast<int>(chosen.size()) < needed; ++k) chosen.push_back(old[k]);
  WriteChain(chosen, data);
  for (int p : chosen) v.used[p] = true;
  if (v.remote || dir.start != 0) SaveBitmap(v);  // the new pages are taken before they are used
  for (int p : old)
    if (std::find(chosen.begin(), chosen.end(), p) == chosen.end()) v.used[p] = false;
  Entry e;
  if (existing >= 0) e = dir.entries[existing];
  e.name = n.name;
  if (existing < 0) e.extension = static_cast<uint8_t>(n.extension);
  e.start = chosen[0];
  e.count = needed;
  if (existing >= 0)
    dir.entries[existing] = e;
  else
    dir.entries.push_back(e);
  SaveDirectory(v, dir);
  if (v.remote || dir.start != 0) SaveBitmap(v);
}

void FileStructure::MakeDirectory(const std::string& path) {
  CheckWritable();
  Volume v = Load();
  const auto [parts, n] = SplitPathEnd(path, "the root directory exists already");
  if (n.extension >= 0) Fail("\"" + path + "\": a directory name has no extension");
  Directory dir = Resolve(v, parts, path);
  if (FindEntry(dir.entries, n) >= 0) Fail("\"" + path + "\" exists already");
  const size_t per_page = (payload_ - 1) / kEntrySize;
  const int growth = 1 + dir.entries.size() + 1 > dir.pages.size() * per_page ? 1 : 0;
  if (static_cast<int>(std::count(v.used.begin(), v.used.end(), false)) < 1 + growth)
    Fail("not enough room on the device for directory \"" + path + "\"; nothing was changed");
  const int page = Allocate(v);
  Bytes sub = {kDirectoryMark, 0, 0, 0, 0, 0, 0, 0};  // control entry and continuation
  sub[kParentPointer] = static_cast<uint8_t>(dir.start);
  bank_->writePagePacket(page, sub);
  if (v.remote || dir.start != 0) SaveBitmap(v);
  dir.entries.push_back({n.name, kDirectoryExtension, page, 1});
  SaveDirectory(v, dir);
  if (v.remote || dir.start != 0) SaveBitmap(v);
}

void FileStructure::Delete(const std::string& path) {
  CheckWritable();
  Volume v = Load();
  const auto [parts, n] =
      SplitPathEnd(path, "the root directory cannot be deleted; format the device instead");
  Directory dir = Resolve(v, parts, path);
  const int i = FindEntry(dir.entries, n);
  if (i < 0) Fail("there is no file \"" + path + "\" on the device");
  const Entry e = dir.entries[i];
  if (e.read_only()) Fail("\"" + path + "\" is read-only");
  std::vector<int> pages;
  if (e.directory()) {
    if (e.start == 0) Fail("directory " + dir.path + ": an entry points at the root directory");
    const Directory sub = LoadDirectory(e.start, JoinPath(dir.path, e.name));
    if (!sub.entries.empty()) Fail("directory \"" + path + "\" is not empty");
    pages = sub.pages;
  } else {
    pages = FilePagesTolerant(e);
  }
  // The directory drops the entry before its pages are given back.
  for (int p : pages)
    if (p != 0) v.used[p] = false;
  dir.entries.erase(dir.entries.begin() + i);
  SaveDirectory(v, dir);
  if (v.remote || dir.start != 0) SaveBitmap(v);
}

void FileStructure::Rename(const std::string& from, const std::string& to) {
  CheckWritable();
  Volume v = Load();
  std::vector<std::string> src_parts = SplitPath(from), dst_parts = SplitPath(to);
  if (src_parts.empty() || dst_parts.empty()) Fail("the root directory cannot be renamed");
  const Name src_name = ParseName(src_parts.back(), from);
  Name dst_name = ParseName(dst_parts.back(), to);
  src_parts.pop_back();
  dst_parts.pop_back();
  Directory src = Resolve(v, src_parts, from);
  const int i = FindEntry(src.entries, src_name);
  if (i < 0) Fail("there is no file \"" + from + "\" on the device");
  Entry e = src.entries[i];
  if (e.read_only()) Fail("\"" + from + "\" is read-only");
  if (e.directory() && dst_name.extension >= 0)
    Fail("\"" + to + "\": a directory name has no extension");
  if (!e.directory() && dst_name.extension < 0) dst_name.extension = 0;
  if (!e.directory() && dst_name.extension > 99)
    Fail("\"" + to + "\": a file's extension is a number from 0 to 99");
  Directory dst = Resolve(v, dst_parts, to);
  if (FindEntry(dst.entries, dst_name) >= 0 &&
      !(dst.start == src.start && FindEntry(dst.entries, dst_name) == i))
    Fail("\"" + to + "\" exists already");
  e.name = dst_name.name;
  if (!e.directory())
    e.extension = static_cast<uint8_t>((e.extension & kReadOnlyBit) | dst_name.extension);
  if (dst.start == src.start) {
    src.entries[i] = e;
    SaveDirectory(v, src);
    return;
  }
  if (e.directory()) Fail("a directory can only be renamed within its own directory");
  // Added to the target before it leaves the source: an interruption leaves two entries, never
  // none.
  dst.entries.push_back(e);
  SaveDirectory(v, dst);
  src.entries.erase(src.entries.begin() + i);
  SaveDirectory(v, src);
  if (v.remote || src.start != 0) SaveBitmap(v);
}

}  // namespace qb::access
