#include "dialog/help_page.h"

#include <system_error>

namespace qb::dialog {

HelpLookup FindHelpPage(const std::filesystem::path& executable, const std::string& source_page) {
  HelpLookup found;
  std::vector<std::filesystem::path> places;
  if (!executable.empty()) {
    places.push_back(executable.parent_path().parent_path() / "share" / "quellbrook-1wire" /
                     "help" / "index.html");
  }
  if (!source_page.empty()) places.emplace_back(source_page);
  for (const auto& place : places) {
    const std::string text = place.lexically_normal().string();
    found.tried.push_back(text);
    std::error_code ec;
    if (std::filesystem::is_regular_file(place, ec)) {
      found.page = text;
      break;
    }
  }
  return found;
}

std::filesystem::path RunningExecutable() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe;
}

}  // namespace qb::dialog
