// Reads the 1-Wire file structure from arbitrary memory: the first byte picks the number of pages
// (2 to 65, so both the bitmap in the root and the bitmap file are reached), the rest fills the
// pages of 32 bytes. Listing every directory, reading every file and writing, renaming and
// deleting one must either work or raise an AccessError: no crash, no endless chain.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "access/errors.h"
#include "access/file_structure.h"
#include "support/ram_memory_bank.h"

namespace {

using qb::access::AccessError;
using qb::access::FileStructure;

void Try(const std::function<void()>& call) {
  try {
    call();
  } catch (const AccessError&) {
  }
}

// Lists at most `budget` directories: a broken structure may name the same subdirectory from
// many places.
void Walk(FileStructure& fs, const std::string& path, int depth, int& budget) {
  if (depth > 8 || budget-- <= 0) return;
  Try([&] {
    for (const auto& entry : fs.List(path)) {
      const std::string child = (path == "/" ? "" : path) + "/" + entry.name;
      if (entry.directory)
        Walk(fs, child, depth + 1, budget);
      else
        Try([&] { fs.ReadFile(child); });
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int pages = 2 + data[0] % 64;
  auto bank = std::make_shared<qb::test::RamPagedMemoryBank>(pages, 32);
  auto& memory = bank->bytes();
  for (size_t i = 1; i < size && i - 1 < memory.size(); ++i) memory[i - 1] = data[i];
  FileStructure fs(bank);
  Try([&] { fs.IsFormatted(); });
  Try([&] { fs.FreePages(); });
  int budget = 64;
  Walk(fs, "/", 0, budget);
  Try([&] { fs.WriteFile("/FUZZ.1", qb::access::Bytes(45, 0x5A)); });
  Try([&] { fs.Rename("/FUZZ.1", "/ZZUF.2"); });
  Try([&] { fs.ReadFile("/ZZUF.2"); });
  Try([&] { fs.Delete("/ZZUF.2"); });
  budget = 64;
  Walk(fs, "/", 0, budget);
  return 0;
}
