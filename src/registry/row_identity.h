#pragma once

#include <string>

namespace qb {

// How logged rows name a channel. Several programs (a bus each, one per floor) may log into one
// readings table: rows that name channels by location and name then begin with the program's bus
// name ([Settings] "BusName", empty by default), so two kitchens on two floors keep their own
// histories. Rows that name channels by ROM id need no such prefix: ROM ids are unique.

// This program's bus name ([Settings] "BusName", blanks around it dropped); empty when none.
std::string BusName();

// The identifier of rows named by location and name: the bus name and a blank (when there is
// one), the location, a blank and the name.
std::string NameIdentifier(const std::string& location, const std::string& name);

// The location-and-name part of one of this program's identifiers (the bus name taken off);
// empty text when the identifier carries another program's bus name or none where
// one is expected.
std::string WithoutBusName(const std::string& identifier);

}  // namespace qb
