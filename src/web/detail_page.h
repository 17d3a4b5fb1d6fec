#pragma once

#include <memory>
#include <string>

namespace qb {

struct DSDevice;

// The page of one physical device ("1-Wire?ROMID=" + a device key): a menu of its functions, a
// heading, and the section the key's suffix chooses (reading, channels, memory, clock or
// information). Reads the device over the bus for some sections.
std::string DeviceDetailPage(const std::string& lnk);

// The post of a clock page's "Set device time to PC time" button (the pair "SetTime" with the
// ROM id): sets the device clock to this machine's time, logs it, and asks the host to send the
// browser back to the clock page, so that reloading does not set it again. A guest, an unknown
// device or one without a clock is refused with its status. Returns the clock page.
std::string SetTimePost(const std::string& rom_id);

// The reading block of one channel: current value and, for a thermometer, its resolution and
// alarm limits, then today's history when the channel is logged.
std::string ReadingTable(const std::shared_ptr<DSDevice>& record, const std::string& label,
                         const std::string& unit);

}  // namespace qb
