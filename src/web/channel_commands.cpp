#include "web/channel_commands.h"

#include <algorithm>
#include <cctype>

namespace qb {

namespace {

bool IsHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

bool IsDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

ChannelCommands CommandsOf(const std::string& key) {
  if (key.size() <= 16 || !IsHex(key.substr(0, 16))) return ChannelCommands::kNone;
  const char letter = key[16];
  const std::string number = key.substr(17);
  if (letter == 'S' && IsDigits(number)) return ChannelCommands::kOnOff;
  if (letter == 'K' && IsDigits(number)) return ChannelCommands::kReadNow;
  if (!number.empty()) return ChannelCommands::kNone;  // "P" levels are sensed, not set
  switch (letter) {
    case 'M':
    case 'N':
    case 'G':
    case 'H':
    case 'I':
    case 'J':
      return ChannelCommands::kReadNow;
    case 'T':
      return ChannelCommands::kLevel;
    default:
      return ChannelCommands::kNone;
  }
}

std::string CommandsText(ChannelCommands commands) {
  switch (commands) {
    case ChannelCommands::kReadNow:
      return "Update (read it now)";
    case ChannelCommands::kOnOff:
      return "On or Off";
    case ChannelCommands::kLevel:
      return "Level (0 to 255), Dim or Bright (0 to 100 per cent)";
    case ChannelCommands::kNone:
      break;
  }
  return "no commands";
}

std::string CheckCommand(const std::string& key, const std::string& command, int value,
                         HostCommand& out) {
  const ChannelCommands takes = CommandsOf(key);
  const std::string refusal =
      "this device takes " + CommandsText(takes) + ", not \"" + command + "\"";
  switch (takes) {
    case ChannelCommands::kNone:
      return "this device takes no commands";
    case ChannelCommands::kReadNow:
      if (command != "Update") return refusal;
      out = {"On", 0};
      return {};
    case ChannelCommands::kOnOff:
      if (command != "On" && command != "Off") return refusal;
      out = {command, 0};
      return {};
    case ChannelCommands::kLevel:
      if (command == "Level") {
        if (value < 0 || value > 255) return "the level must be a whole number from 0 to 255";
        out = {"On", value};
        return {};
      }
      if (command == "Dim" || command == "Bright") {
        if (value < 0 || value > 100) return "the brightness must be from 0 to 100 per cent";
        out = {command, value};
        return {};
      }
      return refusal;
  }
  return refusal;
}

}  // namespace qb
