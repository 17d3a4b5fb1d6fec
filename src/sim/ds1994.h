#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>

#include "sim/scratchpad_memory.h"

namespace qb::sim {

// A DS1994: 512 bytes of NV RAM (0x000 to 0x1FF) and the timekeeping registers (0x200 to
// 0x21F, laid out as in access/ds1994.h), behind the scratchpad and Read Memory commands.
// The real-time clock counts 1/256 s while the oscillator runs (OSC); the interval timer counts
// with it in automatic mode (the simulated line idles high) and, in manual mode, while
// STOP/START is 0; the cycle counter keeps what was written. A counter passing its alarm value
// sets its flag (RTF, ITF, CCF); reading the status register clears them. The device answers the
// alarm search while a flag is set whose enable (RTE, ITE, CCE, active low) is 0.
// Bus-file keys: "clock" (seconds since 1970, default 0), "running" (default false: the part
// leaves the factory stopped), "interval" (seconds), "cycles".
class DS1994Model : public ScratchpadMemoryModel {
 public:
  DS1994Model(const access::RomId& rom, const nlohmann::json& device);

  // The counters now, in 1/256 s (for tests).
  uint64_t ClockCounts();
  uint64_t IntervalCounts();

 protected:
  void Refresh() override;
  void Copied(uint16_t first, uint16_t last) override;
  void WasRead(uint16_t address) override;
  bool Writable(uint16_t address) const override { return address < 0x21E; }
  bool Alarming() override;
  void OnReset() override {
    ScratchpadMemoryModel::OnReset();
    Settle();
  }

 private:
  struct Counter {
    uint64_t base = 0;  // counts when last set or stopped
    double since = 0;   // seconds (bus time) when it last started
    bool running = false;
    uint64_t At(double now) const;
    void Run(bool run, double now);
    void Set(uint64_t counts, double now);
  };
  // Starts or stops the counters by the control register and raises alarm flags.
  void Settle();
  bool IntervalRuns() const;

  Counter clock_, interval_;
  uint32_t cycles_ = 0;
  uint8_t status_ = 0x38;  // the three alarms disabled (enables are active low)
  uint8_t control_ = 0;
  uint64_t clock_alarm_ = 0, interval_alarm_ = 0;
  uint32_t cycle_alarm_ = 0;
  uint64_t last_clock_ = 0, last_interval_ = 0;  // values when the alarms were last checked
};

}  // namespace qb::sim
