#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/sim_device.h"
#include "sim/value_source.h"

namespace qb::sim {

// The 4096-bit RAM with counters: 16 pages of 32 bytes, a 32-byte scratchpad with its target
// address and E/S register, and four 32-bit counters for pages 12 to 15. Pages 12 and 13 count
// their own write cycles (each successful Copy Scratchpad into them); pages 14 and 15 count the
// external inputs A and B. Pages 0 to 11 have no counter and report FFFFFFFFh.
//
// The bus file gives the counts of pages 12 to 15 as numbers or generators. A counter never
// runs backwards: the device reports the highest value it has reached, so a generator that
// falls holds the counter until it rises past that value again. Write cycles the device counts
// itself are added on top. The count wraps at 2^32 as the 32-bit counter does.
//
// "power_lost_every_s" makes the chip lose power every that many seconds: its counters are then
// cleared and count on from 0 (what the generators add after that time).
class DS2423Model : public SimDevice {
 public:
  bool FollowValues(SimDevice& edited) override;
  DS2423Model(const access::RomId& rom, std::array<std::unique_ptr<ValueSource>, 4> counters,
              double power_lost_every_s = 0);

  // The counter of page 12 to 15 as the device would report it now.
  uint32_t Counter(int page);
  const std::array<uint8_t, 512>& Memory() const { return memory_; }
  std::array<uint8_t, 512>& Memory() { return memory_; }
  ValueSource& CounterSource(int page) { return *counters_[static_cast<size_t>(page - 12)]; }

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override { step_ = Step::None; }
  bool SupportsOverdrive() const override { return true; }

 private:
  enum class Step { None, Address, WriteData, CopyAuth, CopyDone, ReadMemory, ReadCounterPage };
  void SendCounterPage(bool first);

  std::array<uint8_t, 512> memory_{};
  std::array<uint8_t, 32> scratchpad_{};
  uint16_t target_ = 0;
  uint8_t es_ = 0;
  std::array<std::unique_ptr<ValueSource>, 4> counters_;
  std::array<uint64_t, 4> reached_{};       // highest count reported so far
  std::array<uint64_t, 4> write_cycles_{};  // copies into pages 12 and 13
  double power_lost_every_s_ = 0;
  std::array<int64_t, 4> power_epoch_{};  // power losses passed when each counter was last read

  uint8_t command_ = 0;
  Step step_ = Step::None;
  std::vector<uint8_t> rx_;
  int offset_ = 0;  // next scratchpad offset being written
  uint16_t read_address_ = 0;
};

}  // namespace qb::sim
