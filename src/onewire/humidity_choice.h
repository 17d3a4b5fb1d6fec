#pragma once

#include <string>

namespace qb {

// Makes a battery monitor a humidity sensor (its channel N) or a voltage monitor (its channels G
// and H): stores the choice, and removes the other representation's host devices and records.
// The next enumeration creates the chosen representation's.
void ChooseHumidityRepresentation(const std::string& rom, bool humidity);

}  // namespace qb
