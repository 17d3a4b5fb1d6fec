#include "access/bus_conversion.h"

#include "access/errors.h"
#include "access/thermometer.h"

namespace qb::access {

namespace {

// Longest a part may go on signalling busy after its datasheet time, and the step between looks.
constexpr std::chrono::milliseconds kBusyGrace{250};
constexpr std::chrono::milliseconds kPollStep{5};

// Runs the bus at regular speed while it lives and puts back the speed it found after.
class RegularSpeed {
 public:
  explicit RegularSpeed(BusMaster& m) : m_(m), before_(m.GetSpeed()) { Enter(); }
  ~RegularSpeed() { Leave(); }
  RegularSpeed(const RegularSpeed&) = delete;
  RegularSpeed& operator=(const RegularSpeed&) = delete;
  void Enter() {
    if (before_ != Speed::Regular) m_.SetSpeed(Speed::Regular);
  }
  void Leave() {
    if (before_ != Speed::Regular) m_.SetSpeed(before_);
  }

 private:
  BusMaster& m_;
  Speed before_;
};

}  // namespace

void ConvertAllThermometers(DSPortAdapter& adapter, std::chrono::milliseconds duration,
                            bool hold_power,
                            const std::function<std::chrono::milliseconds()>& meanwhile) {
  BusMaster& m = adapter.Master();
  // Thermometers have no overdrive: the reset, Skip ROM and Convert T go out at regular speed
  // (the regular reset also brings every overdrive part back to regular speed), and the speed
  // set for the others is put back after.
  RegularSpeed regular(m);
  const ResetResult reset = m.Reset();
  // A part with its alarm flag set answers with an alarm presence: still a presence.
  if (reset == ResetResult::NoPresence || reset == ResetResult::Short) {
    throw AccessError(ErrorCode::GeneralFailure, adapter.getAdapterName(),
                      reset == ResetResult::Short
                          ? "the 1-Wire bus on " + adapter.getPortName() + " is shorted"
                          : "no device answered the reset before the bus-wide conversion");
  }
  m.TouchByte(kSkipRom);
  if (hold_power) {
    m.TouchByteWithPower(kConvertT, duration);
  } else {
    m.TouchByte(kConvertT);
    if (meanwhile) {
      // Other transactions reset the bus, which does not stop a conversion under way, but the
      // parts no longer answer read slots with their busy bit: what is left of the datasheet
      // time is waited after them instead.
      regular.Leave();
      const std::chrono::milliseconds took = meanwhile();
      regular.Enter();
      if (took < duration) m.Wait(duration - took);
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
