#pragma once

#include <string>

namespace qb {

struct DSDevice;

// The device list: one row per host device of the registry with its value, a link to its detail
// page, its part type, the time of its last change and buttons that command it.
std::string DeviceListPage();

// What a row's value cell shows, as plain text (not yet escaped), with the cell's class: presence
// for a device's own row, else the value with its unit, an alarm mark and a stale mark.
struct ListValue {
  std::string cell_class;
  std::string text;
};
ListValue ListValueOf(const DSDevice& d);

// A row's "Last Change" text in this machine's date and time format; empty for a channel without
// a host device or when the host cannot tell.
std::string LastChangeText(const DSDevice& d);

}  // namespace qb
