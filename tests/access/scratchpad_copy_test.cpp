// A copy the device does not take is an error, never a write reported as done: the memory banks
// see it in the memory read back, the clock iButtons' registers in the AA flag left clear.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/families.h"
#include "sim/bus_file.h"
#include "sim/scratchpad_memory.h"
#include "sim/sim_bus.h"

namespace qb {
namespace {

using access::Bytes;
using nlohmann::json;

// A simulated master whose Copy Scratchpad (55h) arrives with a wrong E/S byte, whether the copy
// goes byte by byte or as one block, so that the device refuses the authorisation.
class CopyGarblingMaster : public sim::SimBusMaster {
 public:
  using SimBusMaster::SimBusMaster;

  uint8_t TouchByte(uint8_t byte) override {
    if (!in_block_) {
      if (countdown_ > 0 && --countdown_ == 0) {
        byte ^= 0x01;  // the E/S byte
      } else if (byte == 0x55 && countdown_ == 0) {
        countdown_ = 3;
      }
    }
    return SimBusMaster::TouchByte(byte);
  }
  void Block(uint8_t* data, size_t length) override {
    if (length == 4 && data[0] == 0x55) data[3] ^= 0x01;
    in_block_ = true;
    SimBusMaster::Block(data, length);
    in_block_ = false;
  }

 private:
  bool in_block_ = false;
  int countdown_ = 0;
};

struct Bus {
  SimulatedClock clock;
  access::RomId rom;
  std::shared_ptr<sim::SimBus> bus;
  std::unique_ptr<access::DSPortAdapter> adapter;
  std::unique_ptr<access::OneWireContainer> c;

  explicit Bus(uint8_t family) : rom(access::RomId::Make(family, 0x52)) {
    bus = sim::BuildBus(json{{"devices", {{{"rom", rom.ToString()}}}}}, clock, "test");
    adapter = std::make_unique<access::DSPortAdapter>(
        "SIM", "test", std::make_unique<CopyGarblingMaster>(bus, "garbling bus"));
    c = access::CreateContainer(family);
    c->SetupContainer(adapter.get(), rom.ToString());
  }
  std::vector<uint8_t>& Memory() { return bus->FindAs<sim::ScratchpadMemoryModel>(rom)->Memory(); }
};

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const access::AccessError& e) {
    return e.what();
  }
  return "no error";
}

TEST(ScratchpadCopy, RefusedCopiesAreErrors) {
  {
    SCOPED_TRACE("NV RAM bank");
    Bus b(0x06);
    auto banks = b.c->getMemoryBanks();
    EXPECT_THAT(ErrorOf([&] {
                  banks.at(0)->write(0x10, {1, 2, 3});
                }),
                testing::HasSubstr("does not hold the data copied from the scratchpad"));
    EXPECT_EQ(b.Memory()[0x10], 0x00);
  }
  {
    SCOPED_TRACE("clock registers");
    Bus b(0x04);
    access::DeviceState s = b.c->readDevice();
    b.c->setClockAlarm(86'400'000, s);
    EXPECT_THAT(ErrorOf([&] { b.c->writeDevice(s); }),
                testing::HasSubstr("did not accept the copy of its scratchpad"));
    EXPECT_EQ(b.Memory()[0x212], 0x00);  // the clock alarm's third byte stays as it was
  }
}

}  // namespace
}  // namespace qb
