#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qb {

// A failed sensor replaced by a new one of the same family: the new sensor takes over the old
// one's host devices (names, locations, codes, events), its per-channel settings ("Log",
// "Adjustment", calibration, counter total, A/D set-up), its temperature alarm limits and its
// rows in the readings database, so its history goes on where the old one's stopped. The old ROM
// id is forgotten. Host devices the scan had already made for the new sensor are removed; their
// readings join the history they now continue.

enum class ReplacementOutcome {
  kDone,
  kBadRequest,   // the new ROM id is not one, of another family, the same sensor, or not on the bus
  kNotOurs,      // the device is not one of the plug-in's
  kUnavailable,  // the bus or the readings database could not be used; nothing was changed
};

struct ReplacementResult {
  ReplacementOutcome outcome = ReplacementOutcome::kBadRequest;
  // Why it was refused (nothing was changed then), or what was done, for a person to read.
  std::string message;
  std::string new_rom;                  // the new ROM id as stored (upper case)
  std::vector<std::string> moved_keys;  // the channel keys the host devices now have
  std::vector<int32_t> removed_refs;    // host devices of the new sensor that were removed
  int64_t rows_moved = 0;               // readings given the new identifiers
};

// Replaces the sensor of the channel `old_key` (a device key of one of the plug-in's host
// devices) by the sensor `new_rom_text` (16 hexadecimal digits, any case). Checks everything
// before it changes anything: a refusal leaves the host, the settings and the database as they
// were. Runs on the plug-in's thread and holds the bus meanwhile.
ReplacementResult ReplaceSensor(const std::string& old_key, const std::string& new_rom_text);

}  // namespace qb
