#pragma once

#include <cstdint>
#include <string>

#include "catalogue/family_table.h"

namespace qb {

class SettingsStore;

// The family code of a ROM id or device key: the last two of its first 16 characters, upper
// case; empty when the text is shorter.
std::string FamilyCode(const std::string& rom);

// The part name of the device's family ("DS18B20"), empty for a family not in the catalogue.
std::string FamilyName(const std::string& rom);
// The capability bits of the device's family, 0 for a family not in the catalogue.
uint32_t FamilyCaps(const std::string& rom);
// Whether the scan watches the device's activity latches with the conditional search (the
// family's activity_search); false for a family not in the catalogue.
bool FamilyWatchesActivity(const std::string& rom);

// The letter of channel `index` of the device `rom`: 0 M; 1 N when the device is kept as a
// humidity sensor (section "DS2438", key the ROM id, value 1), else G; 2 H; 3 I; 4 J; 5 and 6
// nothing; 7 and above P for a switch, else K.
std::string ChannelLetter(int index, const std::string& rom, const SettingsStore& settings);

// The Setup dialog page that configures a channel of this letter.
int ChannelSetupTab(const std::string& letter);

// The host device name suffix of a channel key ("-Temp", "-ChannelA", "-Counter2"); empty for a
// bare ROM id.
std::string ChannelNameSuffix(const std::string& key);

}  // namespace qb
