// Loads arbitrary text as the host's device table: the loader must take it or move it aside with
// a message, never crash; a table it takes must be saved and read back with the same devices.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/device_table.h"

namespace {

std::filesystem::path Folder() {
  static const std::filesystem::path folder = [] {
    auto p =
        std::filesystem::temp_directory_path() / ("qb-fuzz-devices-" + std::to_string(getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto file = Folder() / "devices.json";
  std::filesystem::remove_all(Folder());
  std::filesystem::create_directories(Folder());
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  qb::DeviceTable table(file);
  std::string problem;
  try {
    problem = table.Load();
  } catch (const std::exception&) {
    std::abort();  // the folder is writable: a broken table is always moved aside
  }
  if (!problem.empty()) {
    if (std::filesystem::exists(file) || table.Count() != 0) std::abort();
    return 0;
  }
  table.Add("added after loading");  // a new reference must not clash with a loaded one
  table.MarkChanged();
  table.Save();
  qb::DeviceTable again(file);
  if (!again.Load().empty() || again.Count() != table.Count()) std::abort();
  for (int32_t i = 1; i <= table.Count(); ++i) {
    if (again.Get(i)->ref != table.Get(i)->ref || again.Get(i)->name != table.Get(i)->name)
      std::abort();
  }
  return 0;
}
