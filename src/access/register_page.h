#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "access/container.h"
#include "access/scratchpad.h"

namespace qb::access {

// What the clock iButtons (DS1994, DS1921) share: a 32-byte register page read with Read Memory
// and written through the 32-byte scratchpad (Write Scratchpad, Read Scratchpad to verify what
// arrived, Copy Scratchpad with the three authorisation bytes TA1, TA2 and E/S).
//
// The device state of such a family is its register page. writeDevice writes only the register
// fields whose bytes differ from the page as readDevice last returned it, so a clock that runs
// is never set back to the moment of reading unless the caller changed it.
class RegisterPageContainer : public OneWireContainer {
 public:
  static constexpr size_t kPageSize = 32;

  DeviceState readDevice() override;
  void writeDevice(const DeviceState& state) override;

 protected:
  // One register field: its offset in the page and its length. Fields are written whole.
  struct Field {
    uint8_t offset;
    uint8_t length;
  };

  // `scratchpad_crc`: Read Scratchpad ends with a CRC16; `read_crc`: the device has Read Memory
  // with CRC (A5), which readDevice then uses; without it the page is read twice with Read
  // Memory and compared. `writable`: the fields writeDevice may write; `moving`: the bytes that
  // change by themselves (running counters, flags cleared by reading), left out of that
  // comparison.
  RegisterPageContainer(uint8_t family, uint16_t page_address, bool scratchpad_crc, bool read_crc,
                        std::vector<Field> writable, std::vector<Field> moving);

  // Whether two reads of the page in a row agree, read without CRC: by default the bytes that
  // do not move by themselves are equal. A family with running counters checks them closer.
  virtual bool ReadsAgree(const DeviceState& first, const DeviceState& second) const;
  void CheckState(const DeviceState& state, const char* call) const {
    CheckStateSize(state, kPageSize, call);
  }

 private:
  // The scratchpad's bus is the container's: its select, its retries (counted in its tally) and
  // its errors; the bus is left to the next select after each command.
  class PadBus final : public ScratchpadBus {
   public:
    explicit PadBus(RegisterPageContainer& c) : c_(c) {}
    void Select() override { c_.Select(); }
    BusMaster& Master() override { return c_.Adapter().Master(); }
    void Retry(const std::function<void()>& transaction) override { c_.WithRetries(transaction); }
    [[noreturn]] void CrcFail(const std::string& what) const override { c_.CrcMismatch(what); }
    [[noreturn]] void Fail(const std::string& what) const override { c_.Fail(what); }

   private:
    RegisterPageContainer& c_;
  };

  uint16_t page_address_;
  PadBus pad_bus_{*this};
  // Fields are written through the scratchpad, read back and compared (with its CRC16 where the
  // device sends one) before the copy; after it, the authorisation-accepted flag must be set.
  Scratchpad pad_;
  std::vector<Field> writable_;
  std::vector<bool> moving_;  // per byte of the page
  // The page as readDevice returned it last (what writeDevice compares against).
  std::optional<DeviceState> last_read_;
};

}  // namespace qb::access
