#include "access/bus_conversion.h"

#include <algorithm>
#include <string>

#include "access/crc.h"
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

// The reset that starts a bus-wide command: any presence will do (an alarm presence too).
void ResetForBroadcast(DSPortAdapter& adapter, const char* what) {
  const ResetResult reset = adapter.Master().Reset();
  if (reset == ResetResult::NoPresence || reset == ResetResult::Short) {
    throw AccessError(ErrorCode::GeneralFailure, adapter.getAdapterName(),
                      reset == ResetResult::Short
                          ? "the 1-Wire bus on " + adapter.getPortName() + " is shorted"
                          : std::string("no device answered the reset before the ") + what);
  }
}

// Reads time slots until no part holds the line low (busy), for at most `grace`.
void WaitUntilIdle(DSPortAdapter& adapter, std::chrono::milliseconds grace, const char* what) {
  BusMaster& m = adapter.Master();
  for (std::chrono::milliseconds waited{0};; waited += kPollStep) {
    if (m.TouchBit(true)) return;
    if (waited >= grace)
      throw AccessError(ErrorCode::GeneralFailure, adapter.getAdapterName(),
                        std::string("the ") + what + " did not finish");
    m.Wait(kPollStep);
  }
}

constexpr uint8_t kConvertQuadAD = 0x3C;
constexpr uint8_t kAllInputs = 0x0F;
// Read-out control: two bits per input, 10 presets its result to all ones.
constexpr uint8_t kPresetAllOnes = 0xAA;
constexpr std::chrono::milliseconds kQuadADGrace{20};

}  // namespace

void ConvertAllQuadAD(DSPortAdapter& adapter, std::chrono::microseconds duration) {
  BusMaster& m = adapter.Master();
  RegularSpeed regular(m);
  ResetForBroadcast(adapter, "bus-wide A/D conversion");
  m.TouchByte(kSkipRom);
  const uint8_t command[3] = {kConvertQuadAD, kAllInputs, kPresetAllOnes};
  for (uint8_t b : command) m.TouchByte(b);
  // The conversion starts once the CRC16 has been read: the pull-up follows its last bit.
  const uint8_t crc_low = m.TouchByte(0xFF);
  const auto held = std::chrono::ceil<std::chrono::milliseconds>(
      std::max(duration, std::chrono::microseconds(1)));
  const uint8_t crc_high = m.TouchByteWithPower(0xFF, held);
  if (!Crc16Matches(command, sizeof command, 0, crc_low, crc_high))
    throw CrcError(adapter.getAdapterName(), "the bus-wide A/D convert command came back garbled");
  WaitUntilIdle(adapter, kQuadADGrace, "bus-wide A/D conversion");
}

bool QuadADResultPreset(const DeviceState& state, int channel) {
  const auto at = 2 * static_cast<size_t>(channel);
  if (channel < 0 || channel > 3 || state.size() < at + 2) return false;
  return (state[at] | state[at + 1] << 8) == kQuadADPreset;
}

void ConvertAllThermometers(DSPortAdapter& adapter, std::chrono::milliseconds duration,
                            bool hold_power,
                            const std::function<std::chrono::milliseconds()>& meanwhile) {
  BusMaster& m = adapter.Master();
  // Thermometers have no overdrive: the reset, Skip ROM and Convert T go out at regular speed
  // (the regular reset also brings every overdrive part back to regular speed), and the speed
  // set for the others is put back after.
  RegularSpeed regular(m);
  ResetForBroadcast(adapter, "bus-wide conversion");
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
  WaitUntilIdle(adapter, kBusyGrace, "bus-wide temperature conversion");
}

}  // namespace qb::access
