#pragma once

#include <string>

namespace qb {

// While the adapter does not answer (unplugged, its serial port gone), every tick's bus
// operations fail the same way, four times a second. The first failure is logged, with a line
// saying that the adapter is lost; the errors that follow are counted instead of logged until the
// adapter answers again, which is logged with the length of the outage and the count.

// A bus preparation failed: the adapter itself did not answer.
void AdapterFailed(const std::string& category, const std::string& text);
// A bus preparation succeeded: ends an outage, if there was one.
void AdapterAnswered();
// Logs an error of a bus operation, unless the adapter is lost (then it is only counted).
void LogBusError(const std::string& category, const std::string& text);

}  // namespace qb
