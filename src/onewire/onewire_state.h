#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "access/adapter.h"
#include "access/container.h"
#include "access/provider.h"
#include "onewire/device_health.h"

namespace qb {

// The 1-Wire network's process-wide state: one instance, on the plug-in's thread.
struct OneWireState {
  std::unique_ptr<access::OneWireAccessProvider> provider;
  // Shared: an operation that lets events run holds its own reference, so a restart of the
  // adapter in the meantime cannot free it under that operation.
  std::shared_ptr<access::DSPortAdapter> adapter;
  std::string adapter_type;  // as the settings name it ("DS9097U")
  std::string port_number;   // as the settings hold it ("1"), cleared for USB adapters
  int port_type = 1;
  int max_speed = 0;  // GetMaxSpeed at start-up, for the Setup dialog
  // The positions the network read cycle had reached in its three device lists.
  std::array<int, 3> read_positions = {0, 0, 0};
  bool polling_started = false;

  // The three container slots: 1 the bus scan, 2 reading, 3 configuration and display (0 unused).
  // A container is shared by its slot and every operation using it, and keeps its adapter alive:
  // a command or page handled while an operation waits may bind the slot again without freeing
  // the container that operation still uses.
  std::array<std::shared_ptr<access::OneWireContainer>, 4> slots;

  // The network read cycle: cycles since each kind was read, and the device totals of the last
  // walk (temperature, A/D, current sense).
  std::array<int, 3> cycle_counters = {0, 0, 0};
  std::array<int, 3> totals = {0, 0, 0};
  // Bus-wide conversion: per thermometer ROM id, whether it is parasite-powered (asked once with
  // Read Power Supply) and how long its last conversion needed (from the scratchpad last read).
  struct ThermometerInfo {
    bool parasite = false;
    std::chrono::milliseconds conversion{750};
  };
  std::map<std::string, ThermometerInfo> thermometers;
  // Per DS2450 ROM id, how long a conversion of its four inputs takes at the resolutions read
  // last (the bus-wide A/D conversion holds the pull-up for the longest).
  std::map<std::string, std::chrono::microseconds> quad_ad_conversion;
  // The bus scan: devices found by the last enumeration tick and by the last other tick.
  int scan_device_count = 0;
  int scan_alarming_count = 0;
  // The poll cycle (PluginState::PollCycles) in which the last enumeration went over the whole
  // bus. An enumeration that stopped early (the bus taken by another operation, an error) or
  // never came (ticks slower than the cycle) leaves it behind, and the scan makes it up.
  int64_t enumerated_cycle = 0;
  // Counts the operations that prepared the bus: a scan that finds it changed after a pause
  // knows another operation reset its search, and searches again.
  uint64_t bus_claims = 0;
  uint64_t scan_claim = 0;  // the claim of the running scan
  // The family-42 devices the last chain scan ordered (chain_order.h).
  std::set<std::string> chain_scanned;
  // Keys whose record could not be made, each logged once.
  std::set<std::string> unusable_keys;
  // Battery monitors asked this run whether they are humidity sensors (the question may still be
  // open): they are not asked again, and keep the representation chosen or supposed.
  std::set<std::string> humidity_asked;
  // An adapter that stopped answering (see adapter_outage.h): since when, and the errors counted
  // instead of logged meanwhile.
  bool adapter_lost = false;
  std::chrono::steady_clock::time_point adapter_lost_at;
  int64_t errors_unlogged = 0;
  // How reliably each device answers, and the adapter's errors and recoveries.
  BusHealth health;
  // The count last read from each counter channel this run, by its key.
  std::map<std::string, double> last_counts;
  // The reading last read from each calibrated or calibratable channel, before calibration.
  std::map<std::string, double> last_raw;

  // Fills a new access provider with the adapter types it can open (the simulator and the
  // serial adapters); tests install their own.
  std::function<void(access::OneWireAccessProvider&)> register_adapter_types;
  // The file that names the system's default adapter.
  std::string default_adapter_file = "/etc/quellbrook-1wire/default-adapter.ini";
};

OneWireState& OneWire();
// Back to a freshly started process: no provider, no adapter, the product's adapter types.
void ResetOneWire();

}  // namespace qb
