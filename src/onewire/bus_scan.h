#pragma once

namespace qb {

// The bus scan of one poll tick: searches the bus (all devices, or only alarming ones), brings
// every device into the registry, creates the host devices of new channels on the enumeration
// tick, and reads switches, counters, potentiometers and alarming A/D converters.
void GetDevices();

}  // namespace qb
