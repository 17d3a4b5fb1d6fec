#include "onewire/adapter_outage.h"

#include <chrono>

#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/device_health.h"
#include "onewire/onewire_state.h"
#include "platform/clock.h"

namespace qb {

void AdapterFailed(const std::string& category, const std::string& text) {
  OneWireState& w = OneWire();
  CountAdapterError();
  if (w.adapter_lost) {
    ++w.errors_unlogged;
    return;
  }
  WriteLog(LogClass::ErrorsAlarms, category, text);
  w.adapter_lost = true;
  w.adapter_lost_at = TheClock().MonotonicNow();
  w.errors_unlogged = 0;
  WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F",
           "The adapter does not answer; polling goes on, and its errors are not logged again "
           "until it answers");
}

void AdapterAnswered() {
  OneWireState& w = OneWire();
  if (!w.adapter_lost) return;
  // The outage is over: the next failure is logged again, and this line is written once.
  w.adapter_lost = false;
  CountAdapterRecovery();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(TheClock().MonotonicNow() -
                                                                        w.adapter_lost_at)
                           .count();
  WriteLog(LogClass::Always, "1-Wire I/F",
           "The adapter answers again after " + std::to_string(seconds) + " s (" +
               std::to_string(w.errors_unlogged) + " errors in that time not logged)");
  w.errors_unlogged = 0;
}

void LogBusError(const std::string& category, const std::string& text) {
  OneWireState& w = OneWire();
  if (w.adapter_lost) {
    ++w.errors_unlogged;
    return;
  }
  WriteLog(LogClass::ErrorsAlarms, category, text);
}

}  // namespace qb
