#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "access/adapter.h"
#include "access/container.h"

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

// The read-out preset ConvertAllQuadAD gives every result: all ones, a code no conversion below 16
// bits leaves (their unused low bits are 0), so that a part whose conversion did not run (it
// browned out) is told from one that converted.
inline constexpr uint16_t kQuadADPreset = 0xFFFF;

// Converts all four inputs of every DS2450 on the bus at once, each at the resolution set in it:
// a reset, Skip ROM and Convert with every input selected and every result preset to
// kQuadADPreset, then the CRC16 the parts send and the strong pull-up for `duration` (a part
// powered from the bus draws its conversion current from it; one on VCC does not mind it), then
// read slots until no part holds the line low, giving up with a GeneralFailure when one is still
// busy well after `duration`. The CRC16 covers only the command bytes, the same in every part:
// the wired-AND of several parts' answers is that CRC when every part got the command right, and
// a mismatch raises a CrcError. A shorted bus or a bus where nothing answers the reset fails.
// Runs at regular speed and puts the master's speed back afterwards.
void ConvertAllQuadAD(DSPortAdapter& adapter, std::chrono::microseconds duration);

// Whether `channel`'s result in a DS2450 device state (access/ds2450.h) still holds
// kQuadADPreset. A 16-bit result may hold it as a reading at the top of the range as well.
bool QuadADResultPreset(const DeviceState& state, int channel);

}  // namespace qb::access
