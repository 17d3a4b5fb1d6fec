#include "access/bus_conversion.h"

#include "access/errors.h"
#include "access/thermometer.h"

namespace qb::access {

namespace {

// Longest a part may go on signalling busy after its datasheet time, and the step between looks.
constexpr std::chrono::milliseconds kBusyGrace{250};
constexpr std::chrono::milliseconds kPollStep{5};

}  // namespace

void ConvertAllThermometers(DSPortAdapter& adapter, std::chrono::milliseconds duration,
                            bool hold_power, const std::function<void()>& meanwhile) {
  BusMaster& m = adapter.Master();
  const bool overdrive = m.GetSpeed() == Speed::Overdrive;
  // At overdrive speed the parts are addressed as by a match: the overdrive Skip ROM at standard
  // speed, then the function command at overdrive speed.
  if (overdrive) m.SetSpeed(Speed::Regular);
  const ResetResult reset = m.Reset();
  if (reset != ResetResult::Presence) {
    if (overdrive) m.SetSpeed(Speed::Overdrive);
    throw AccessError(ErrorCode::GeneralFailure, adapter.getAdapterName(),
                      reset == ResetResult::Short
                          ? "the 1-Wire bus on " + adapter.getPortName() + " is shorted"
                          : "no device answered the reset before the bus-wide conversion");
  }
  m.TouchByte(overdrive ? kOverdriveSkipRom : kSkipRom);
  if (overdrive) m.SetSpeed(Speed::Overdrive);
  if (hold_power) {
    m.TouchByteWithPower(kConvertT, duration);
  } else {
    m.TouchByte(kConvertT);
    if (meanwhile) {
      // Other transactions reset the bus, which does not stop a conversion under way, but the
      // parts no longer answer read slots with their busy bit: the whole datasheet time is
      // waited after them instead.
      meanwhile();
      m.Wait(duration);
      return;
    }
    m.Wait(duration);
  }
  // Every part that is still converting holds the read slot low (the wired-AND of the bus).
  for (std::chrono::milliseconds waited{0};; waited += kPollStep) {
    if (m.TouchBit(true)) return;
    if (waited >= kBusyGrace)
      throw AccessError(ErrorCode::GeneralFailure, adapter.getAdapterName(),
                        "the bus-wide temperature conversion did not finish");
    m.Wait(kPollStep);
  }
}

}  // namespace qb::access
