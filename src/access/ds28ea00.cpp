#include "access/ds28ea00.h"

#include <algorithm>
#include <set>

#include "access/crc.h"
#include "access/errors.h"
#include "access/families.h"

namespace qb::access {

namespace {
constexpr uint8_t kPioAccessWrite = 0xA5;
constexpr uint8_t kChain = 0x99;
constexpr uint8_t kChainOff = 0x3C;
constexpr uint8_t kChainOn = 0x5A;
constexpr uint8_t kChainDone = 0x96;
constexpr uint8_t kConditionalReadRom = 0x0F;
constexpr uint8_t kConfirmation = 0xAA;
constexpr size_t kPio = kScratchpadSize;
// No bus drives more devices than this; a chain that goes on longer is answering in a circle.
constexpr size_t kMaxChain = 1000;

[[noreturn]] void ChainFailure(const std::string& what) {
  throw AccessError(ErrorCode::GeneralFailure, "DS28EA00", "chain scan: " + what);
}

// One chain control command to the selected (or, after Skip ROM, every) device: 99h, the control
// byte and its complement, then the confirmation.
bool ChainCommand(BusMaster& m, uint8_t control) {
  uint8_t buf[4] = {kChain, control, static_cast<uint8_t>(~control), 0xFF};
  m.Block(buf, sizeof buf);
  return buf[3] == kConfirmation;
}

void ChainAll(DSPortAdapter& adapter, uint8_t control, const char* what) {
  if (adapter.Reset() == 0)
    ChainFailure("no device answered the reset before " + std::string(what));
  adapter.Master().TouchByte(kSkipRom);
  if (!ChainCommand(adapter.Master(), control))
    ChainFailure(std::string(what) + " was not confirmed by every device");
}
}  // namespace

DeviceState DS28EA00Container::readDevice() {
  DeviceState state = ReadScratchpad();
  state.push_back(ReadPio());
  return state;
}

void DS28EA00Container::doTemperatureConvert(DeviceState& state) {
  CheckState(state, "doTemperatureConvert");
  const uint8_t pio = state[kPio];
  DS18B20Container::doTemperatureConvert(state);
  state.resize(kScratchpadSize);  // the conversion leaves the scratchpad as read after it
  state.push_back(pio);
}

void DS28EA00Container::writeDevice(const DeviceState& state) {
  CheckState(state, "writeDevice");
  DS18B20Container::writeDevice(state);
  if (PioOutputByte(ReadPio()) == PioOutputByte(state[kPio])) return;
  WritePio(kPioAccessWrite, state);
}

std::vector<RomId> FindChainOrder(DSPortAdapter& adapter) {
  std::vector<RomId> order;
  std::set<RomId> seen;
  BusMaster& m = adapter.Master();
  try {
    ChainAll(adapter, kChainOn, "Chain ON");
    for (;;) {
      if (adapter.Reset() == 0) break;
      m.TouchByte(kConditionalReadRom);
      RomId rom;
      rom.bytes.fill(0xFF);  // read slots
      m.Block(rom.bytes.data(), rom.bytes.size());
      // Nobody answering reads as all ones: every device of the chain is done.
      if (std::all_of(rom.bytes.begin(), rom.bytes.end(), [](uint8_t b) { return b == 0xFF; }))
        break;
      if (!Crc8Matches(rom.bytes.data(), rom.bytes.size()))
        ChainFailure("the ROM id read at position " + std::to_string(order.size() + 1) +
                     " fails its CRC (more than one device answered)");
      if (rom.family() != 0x42)
        ChainFailure("a device of family " + rom.ToString().substr(14) + " answered at position " +
                     std::to_string(order.size() + 1));
      if (!seen.insert(rom).second || order.size() >= kMaxChain)
        ChainFailure(rom.ToString() + " answered twice; is its DONE output wired back?");
      if (!ChainCommand(m, kChainDone))
        ChainFailure("Chain DONE was not confirmed by " + rom.ToString());
      order.push_back(rom);
    }
    ChainAll(adapter, kChainOff, "Chain OFF");
  } catch (...) {
    // Leave no device in chain mode, where its PIO lines are not switches.
    try {
      if (adapter.Reset() != 0) {
        m.TouchByte(kSkipRom);
        ChainCommand(m, kChainOff);
      }
    } catch (...) {
    }
    throw;
  }
  return order;
}

std::unique_ptr<OneWireContainer> MakeDS28EA00Container() {
  return std::make_unique<DS28EA00Container>();
}

}  // namespace qb::access
