#include "host/readings_database.h"

#include <filesystem>

#include "core/settings.h"
#include "host/builtin_host.h"
#include "logging/readings_table.h"

namespace qb {

void CreateDefaultReadingsDatabase(BuiltInHost& host, const SettingsStore& store,
                                   const std::string& app_dir) {
  const Settings settings = LoadSettings(store, app_dir);
  if (settings.Database != DefaultDatabase(app_dir)) return;
  const std::string path = (std::filesystem::path(app_dir) / "1WireTemps.db").string();
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return;
  const std::string error =
      CreateSqliteReadingsDatabase(path, "T_Temps", {"ROMAddress", "DTime", "Temp"});
  if (error.empty()) {
    host.writelog("Host", "Created the readings database " + path);
  } else {
    host.writelog("Host", "Could not create the readings database " + path + ": " + error);
  }
}

}  // namespace qb
