#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qb::dialog {

// Where the Setup dialog's help page is, and where it was looked for.
struct HelpLookup {
  std::string page;                // empty when none of the places holds it
  std::vector<std::string> tried;  // every place looked at, in order
};

// The help page of an installed program lies beside it in the installation,
// PREFIX/share/quellbrook-1wire/help/index.html for PREFIX/bin/quellbrook-1wire, wherever the
// package put PREFIX. A program run from its build folder has none there and uses the source
// tree's page, `source_page` (empty for none).
HelpLookup FindHelpPage(const std::filesystem::path& executable, const std::string& source_page);

// The file of the running program (from /proc/self/exe); empty when the system does not say.
std::filesystem::path RunningExecutable();

}  // namespace qb::dialog
