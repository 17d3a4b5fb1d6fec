#include "logging/chart_files.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <random>
#include <set>

#include "core/host_calls.h"

namespace qb {

namespace {

struct ChartFiles {
  std::deque<std::string> newest[2];  // per page, newest last
  std::set<std::string> handed_out;   // names given to charts not yet written or deleted
};

ChartFiles& Files() {
  static ChartFiles files;
  return files;
}

std::mt19937& Generator() {
  // Seeded once from the system's entropy and the clock: two charts drawn within the same clock
  // tick still get different names.
  static std::mt19937 generator = [] {
    std::random_device device;
    std::seed_seq seed{
        device(), device(),
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    return std::mt19937(seed);
  }();
  return generator;
}

}  // namespace

std::filesystem::path ChartFolder() {
  const std::filesystem::path folder =
      std::filesystem::path(Host().GetAppPath()) / "html" / "1wire";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return folder;
}

std::string NewChartFileName() {
  const std::filesystem::path folder = ChartFolder();
  std::uniform_int_distribution<int> pick(1, 100000);
  std::string name;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    name = std::to_string(pick(Generator())) + ".jpg";
    std::error_code ec;
    if (!Files().handed_out.contains(name) && !std::filesystem::exists(folder / name, ec)) break;
  }
  Files().handed_out.insert(name);
  return name;
}

void NoteChartFile(ChartPage page, const std::string& file_name) {
  Files().handed_out.erase(file_name);
  auto& list = Files().newest[static_cast<int>(page)];
  list.erase(std::remove(list.begin(), list.end(), file_name), list.end());
  list.push_back(file_name);
  while (list.size() > kChartsKeptPerPage) list.pop_front();
}

void DeleteOldCharts() {
  std::set<std::string> keep;
  for (const auto& list : Files().newest) keep.insert(list.begin(), list.end());
  // Charts being drawn (away from the plug-in thread) are written before they are noted.
  keep.insert(Files().handed_out.begin(), Files().handed_out.end());
  std::error_code ec;
  const std::filesystem::path folder = ChartFolder();
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::filesystem::path& path = it->path();
    if (path.extension() != ".jpg") continue;
    const std::string name = path.filename().string();
    if (keep.contains(name)) continue;
    std::error_code remove_error;
    std::filesystem::remove(path, remove_error);
  }
  // Names of charts that failed before they were written are not noted; let them go once many
  // have gathered.
  if (Files().handed_out.size() > 100) Files().handed_out.clear();
}

void ResetChartFiles() {
  Files() = ChartFiles{};
}

}  // namespace qb
