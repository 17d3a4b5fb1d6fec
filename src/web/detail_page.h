#pragma once

#include <memory>
#include <string>

namespace qb {

struct DSDevice;

// The page of one physical device ("1-Wire?ROMID=" + a device key): a menu of its functions, a
// heading, and the section the key's suffix chooses (reading, channels, memory, clock or
// information). Reads the device over the bus for some sections.
std::string DeviceDetailPage(const std::string& lnk);

// The reading block of one channel: current value and, for a thermometer, its resolution and
// alarm limits, then today's history when the channel is logged.
std::string ReadingTable(const std::shared_ptr<DSDevice>& record, const std::string& label,
                         const std::string& unit);

}  // namespace qb
