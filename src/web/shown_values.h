#pragma once

#include <string>
#include <vector>

namespace qb {

// What the device list and the device pages show of one channel or device key at this moment,
// as plain text: the pages' script reads these to keep an open page current without reloading
// it.
struct ShownValue {
  std::string key;         // the device key, as in the pages' "ROMID=" links
  std::string list_class;  // the device list's value cell: its class and text
  std::string list_text;
  std::string changed;  // the device list's "Last Change" text
  std::string reading;  // a reading page's current value, with its unit unless values carry it
  std::string value;    // the value as a channel table shows it
};

// Every key of the registry, physical devices and channels, in the device list's order.
// Runs on the plug-in's thread; reads no bus.
std::vector<ShownValue> ShownValues();

}  // namespace qb
