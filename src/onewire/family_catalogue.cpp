#include "onewire/family_catalogue.h"

#include <algorithm>

#include "platform/settings_store.h"

namespace qb {

namespace {

struct Family {
  const char* code;
  const char* name;
  uint32_t caps;
};

constexpr Family kFamilies[] = {
    {"01", "DS1990A", 0},         {"02", "DS1991", 0x10},  {"04", "DS1994", 0x890},
    {"05", "DS2405", 0x100},      {"06", "DS1993", 0x10},  {"08", "DS1992", 0x10},
    {"09", "DS1982", 0x10},       {"0A", "DS1995", 0x10},  {"0B", "DS1985", 0x20},
    {"0C", "DS1996", 0x10},       {"0F", "DS1986", 0x20},  {"10", "DS1920", 0x1},
    {"12", "DS2406", 0x110},      {"13", "DS1983", 0x20},  {"14", "DS1971", 0x10},
    {"16", "DS195X", 0x410},      {"18", "DS1963S", 0x90}, {"1A", "DS1963L", 0x10},
    {"1D", "DS2423", 0x1010},     {"1F", "DS2409", 0x100}, {"20", "DS2450", 0x18},
    {"21", "DS1921L-F52", 0x891}, {"22", "DS1822", 0x1},   {"23", "DS1973", 0x10},
    {"26", "DS2438", 0x297},      {"28", "DS18B20", 0x1},  {"2C", "DS2890", 0x40},
    {"30", "DS2760", 0x5},        {"33", "DS1961S", 0x10}, {"29", "DS2408", 0x100},
    {"42", "DS28EA00", 0x101},    {"3A", "DS2413", 0x100},
};

const Family* Find(const std::string& rom) {
  const std::string code = FamilyCode(rom);
  for (const auto& f : kFamilies) {
    if (code == f.code) return &f;
  }
  return nullptr;
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
  const Family* f = Find(rom);
  return f ? f->name : "";
}

uint32_t FamilyCaps(const std::string& rom) {
  const Family* f = Find(rom);
  return f ? f->caps : 0;
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
