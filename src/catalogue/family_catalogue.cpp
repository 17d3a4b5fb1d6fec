#include "catalogue/family_catalogue.h"

#include <algorithm>
#include <charconv>

#include "platform/settings_store.h"

namespace qb {

namespace {

// The catalogue's entry of the device's family: the code is read from the ROM id's text.
const FamilyEntry* Find(const std::string& rom) {
  const std::string code = FamilyCode(rom);
  uint8_t value = 0;
  const auto [end, error] = std::from_chars(code.data(), code.data() + code.size(), value, 16);
  if (code.size() != 2 || error != std::errc() || end != code.data() + code.size()) return nullptr;
  return FindFamily(value);
}

}  // namespace

std::string FamilyCode(const std::string& rom) {
  if (rom.size() < 16) return {};
  std::string code = rom.substr(14, 2);
  std::transform(code.begin(), code.end(), code.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return code;
}

std::string FamilyName(const std::string& rom) {
  const FamilyEntry* f = Find(rom);
  return f ? f->name : "";
}

uint32_t FamilyCaps(const std::string& rom) {
  const FamilyEntry* f = Find(rom);
  return f ? f->caps : 0;
}

bool FamilyWatchesActivity(const std::string& rom) {
  const FamilyEntry* f = Find(rom);
  return f && f->activity_search;
}

std::string ChannelLetter(int index, const std::string& rom, const SettingsStore& settings) {
  switch (index) {
    case 0:
      return "M";
    case 1:
      return settings.GetOr("DS2438", rom.substr(0, 16), "") == "1" ? "N" : "G";
    case 2:
      return "H";
    case 3:
      return "I";
    case 4:
      return "J";
    case 5:
    case 6:
      return "";
    default:
      if (index < 0) return "";
      return (FamilyCaps(rom) & kCapSwitch) ? "P" : "K";
  }
}

int ChannelSetupTab(const std::string& letter) {
  if (letter == "M") return 0;
  if (letter == "N" || letter == "G" || letter == "H") return 1;
  if (letter == "I") return 3;
  if (letter == "J") return 4;
  if (letter == "P" || letter == "S" || letter == "K") return 7;
  if (letter == "T") return 8;
  return 9;
}

std::string ChannelNameSuffix(const std::string& key) {
  if (key.size() <= 16) return {};
  const char letter = key[16];
  const std::string digit = key.substr(17);
  const bool quad = FamilyCaps(key) & kCapQuadAD;
  switch (letter) {
    case 'M':
      return "-Temp";
    case 'G':
      return quad ? "-ChannelA" : "-Vdd";
    case 'H':
      return quad ? "-ChannelB" : "-Vad";
    case 'I':
      return quad ? "-ChannelC" : "-Vsense";
    case 'J':
      return "-ChannelD";
    case 'N':
      return "-Humidity";
    case 'K':
      return "-Counter" + digit;
    case 'S':
      return "-Switch" + digit;
    case 'P':
      return "-PIO" + digit;
    case 'T':
      return "-Pot";
    default:
      return {};
  }
}

}  // namespace qb
