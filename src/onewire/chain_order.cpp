#include "onewire/chain_order.h"

#include <vector>

#include "access/ds28ea00.h"
#include "catalogue/family_catalogue.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/adapter_outage.h"
#include "onewire/onewire_state.h"
#include "platform/settings_store.h"
#include "registry/records.h"

namespace qb {

namespace {

void SetPositions(const std::vector<access::RomId>& order) {
  const auto roms = gROMs().ROMlist;
  for (const auto& rom : roms) {
    if (FamilyCode(rom->ROM) != "42") continue;
    rom->ChainPosition = 0;
    for (size_t i = 0; i < order.size(); ++i) {
      if (order[i].ToString() == rom->ROM) rom->ChainPosition = static_cast<int32_t>(i + 1);
    }
  }
}

}  // namespace

void UpdateChainOrder(access::DSPortAdapter& adapter, const std::set<std::string>& found) {
  OneWireState& w = OneWire();
  std::set<std::string> chain;
  for (const auto& rom : found) {
    if (FamilyCode(rom) == "42") chain.insert(rom);
  }
  if (Store().GetOr("Settings", kChainOrderKey, "0") != "1") {
    if (!w.chain_scanned.empty()) SetPositions({});
    w.chain_scanned.clear();
    return;
  }
  if (chain.empty() || chain == w.chain_scanned) return;
  try {
    const auto order = access::FindChainOrder(adapter);
    SetPositions(order);
    w.chain_scanned = chain;
    std::string text;
    for (const auto& rom : order) text += (text.empty() ? "" : ", ") + rom.ToString();
    WriteLog(LogClass::Updates, "1-Wire I/F", "Chain order along the cable: " + text);
    if (order.size() != chain.size()) {
      WriteLog(LogClass::ErrorsAlarms, "1-Wire I/F",
               "The chain scan reached " + std::to_string(order.size()) + " of the " +
                   std::to_string(chain.size()) +
                   " DS28EA00 found; check the PIO-A to PIO-B wiring after the last one");
    }
  } catch (const std::exception& e) {
    SetPositions({});
    w.chain_scanned.clear();
    LogBusError("1-Wire ERROR(ChainOrder)", e.what());
  }
}

}  // namespace qb
