#pragma once

#include <string>

namespace qb {

class BuiltInHost;
class SettingsStore;

// At first start, creates the default readings database (1WireTemps.db in the host's folder, an
// empty "T_Temps" table with its index) when the settings use it and it does not exist yet. The
// plug-in itself never creates a database; the built-in host provides one so that logging works
// out of the box. Logs what it did, or why it could not.
void CreateDefaultReadingsDatabase(BuiltInHost& host, const SettingsStore& store,
                                   const std::string& app_dir);

}  // namespace qb
