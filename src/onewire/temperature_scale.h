#pragma once

namespace qb {

// Rewrites the host value of every thermometer channel that shows one in the scale the "Range"
// setting asks for now, converted from the scale it was shown in (`was_fahrenheit`). Called when
// the scale is switched, so that no value stays in the old unit until its channel is read again
// (the MQTT bridge then publishes the new values with the new unit at once).
void ConvertShownTemperatures(bool was_fahrenheit);

}  // namespace qb
