#pragma once

#include <cstdint>
#include <string>

namespace qb {

class SettingsStore;

// Capability bits of a family: which channels its devices get and how they are read.
inline constexpr uint32_t kCapTemperature = 0x1;     // temperature channel M
inline constexpr uint32_t kCapSupplyVoltage = 0x2;   // Vdd channel G (or humidity N)
inline constexpr uint32_t kCapADInput = 0x4;         // Vad channel H
inline constexpr uint32_t kCapQuadAD = 0x8;          // channels A to D: G, H, I, J
inline constexpr uint32_t kCapMemory = 0x10;         // memory banks
inline constexpr uint32_t kCapEprom = 0x20;          // add-only memory
inline constexpr uint32_t kCapPotentiometer = 0x40;  // wiper channel T
inline constexpr uint32_t kCapClock = 0x80;          // real-time clock
inline constexpr uint32_t kCapSwitch = 0x100;        // switch channels S, level channels P
inline constexpr uint32_t kCapCurrentSense = 0x200;  // Vsense channel I
inline constexpr uint32_t kCapCounter = 0x1000;      // counter channels K0 to K3

// The family code of a ROM id or device key: the last two of its first 16 characters, upper
// case; empty when the text is shorter.
std::string FamilyCode(const std::string& rom);

// The part name of the device's family ("DS18B20"), empty for a family not in the catalogue.
std::string FamilyName(const std::string& rom);
// The capability bits of the device's family, 0 for a family not in the catalogue.
uint32_t FamilyCaps(const std::string& rom);

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
