#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace qb {

// The class of a log line, tested against the debug level ("Debug" setting, 0 to 5) at the call
// site: a line of class N is written when the level is N or more. Always lines ignore the level.
enum class LogClass : int {
  Always = 0,
  ErrorsAlarms = 1,  // errors and alarms
  Updates = 2,       // device updates, commands received, failed lookups
  CycleInfo = 3,     // cycle information, busy-flag resets, cycle extension
  CycleDetail = 4,   // skipped ticks, per-device cycle detail
  Trace = 5,         // library call tracing: everything
};

// True when a line of this class would be written at the current debug level.
bool LogEnabled(LogClass level);

// Writes one line to the host's log when its class is enabled. A host that cannot log (none yet,
// or a failing call) loses the line; the caller never sees an error.
void WriteLog(LogClass level, const std::string& category, const std::string& text);

// "True" or "False", as the plug-in writes booleans in log lines.
inline const char* BoolText(bool value) {
  return value ? "True" : "False";
}

}  // namespace qb

namespace qb {
// The error number a log line shows for an exception: the access library's own code, otherwise
// the general failure code.
int64_t ErrorNumber(const std::exception& e);
}  // namespace qb
