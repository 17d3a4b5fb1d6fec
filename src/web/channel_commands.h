#pragma once

#include <string>

namespace qb {

// What a channel of the plug-in takes as a command, decided by its device key alone. Every way a
// command reaches a device (the device list's buttons, the detail page, the JSON API, MQTT and
// the host's events) asks here, so that all offer and refuse the same.
enum class ChannelCommands {
  kNone,     // a sensed switch level or a device without channels: nothing to command
  kReadNow,  // a measurement (temperature, A/D, humidity, current sense, counter): "Update"
             // reads it at once
  kOnOff,    // a switch latch or a DS2450 output: "On" and "Off"
  kLevel,    // a potentiometer wiper: "Level" 0 to 255, or the host's "Dim" and "Bright"
};

ChannelCommands CommandsOf(const std::string& key);

// The commands a channel takes, for messages: "On or Off", "Update", ...; "none" for none.
std::string CommandsText(ChannelCommands commands);

// A command for a channel, as the host's command path takes it.
struct HostCommand {
  std::string command;  // "On", "Off", "Dim" or "Bright"
  int brightness = 0;
};

// Checks `command` for the channel with `key` and turns it into the host's command: "Update" is
// the host's "On" without a level (a read at once), "Level" the host's "On" with the wiper
// position 0 to 255 as brightness; "Dim" and "Bright" take a brightness of 0 to 100 per cent
// (Bright b sets the wiper to b per cent of 255, Dim b to 100 - b per cent). Returns why not, in
// words for the user, or empty with `out` filled.
std::string CheckCommand(const std::string& key, const std::string& command, int value,
                         HostCommand& out);

}  // namespace qb
