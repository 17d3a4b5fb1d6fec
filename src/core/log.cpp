#include "core/log.h"

#include "core/plugin_state.h"

namespace qb {

bool LogEnabled(LogClass level) {
  return level == LogClass::Always || Plugin().settings.DebugLevel >= static_cast<int>(level);
}

void WriteLog(LogClass level, const std::string& category, const std::string& text) {
  if (!LogEnabled(level)) return;
  auto host = Plugin().host;
  if (!host) return;
  try {
    host->writelog(category, text);
  } catch (const HostError&) {
  }
}

}  // namespace qb

namespace qb {
int64_t ErrorNumber(const std::exception&) {
  // Host and bus failures both surface as the general failure code (E_FAIL).
  return -2147467259;
}
}  // namespace qb
