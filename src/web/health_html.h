#pragma once

#include <string>

namespace qb {

// How reliably a device answers (its reads, CRC errors, retries, absences, power-on values
// rejected and failed reads, since the start and over the last 24 hours, and when it was last
// seen), as a table for its detail page.
std::string HealthSection(const std::string& rom_id);
// The same for every device of the bus, with the bus's sums and the adapter's errors and
// recoveries, for the debug page.
std::string BusHealthSection();

}  // namespace qb
