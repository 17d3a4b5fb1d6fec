#pragma once

#include <chrono>
#include <functional>

#include "access/adapter.h"

namespace qb::access {

// Starts Convert T in every scratchpad thermometer on the bus at once: a reset, Skip ROM and
// Convert T, and waits until the conversions are done. With `hold_power` the strong pull-up is
// held for `duration` right after the command (parasite-powered parts draw their conversion
// current from it); otherwise the adapter sleeps for `duration` and then reads time slots while a
// part still holds the line low (an externally powered part does while it converts), giving up
// with a GeneralFailure when one is still busy well after its datasheet time. A shorted bus or a
// bus where nothing answers the reset fails as well: no reading may follow a conversion that was
// never started.
//
// The reset, Skip ROM and Convert T go out at regular speed (thermometers have no overdrive); the
// master's speed is put back afterwards. A reset answered with an alarm presence counts as a
// presence.
//
// Without the pull-up the bus is free while the parts convert: `meanwhile`, when given, runs
// right after Convert T went out, at the master's own speed, and may use the bus (read other
// devices). It returns how long it took; only what is left of `duration` is waited after it.
void ConvertAllThermometers(DSPortAdapter& adapter, std::chrono::milliseconds duration,
                            bool hold_power,
                            const std::function<std::chrono::milliseconds()>& meanwhile = {});

}  // namespace qb::access
