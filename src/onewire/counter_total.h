#pragma once

#include <functional>
#include <string>

namespace qb {

struct DSDevice;

// A DS2423 counter only counts up, but starts again from 0 when the chip loses power. A count
// lower than the one read before is read once more; when it is still lower the drop is real and
// is logged (once for each drop). A channel with the "counter total" option continues from the
// total it had: the drop is added to an offset kept in the settings ([Counter Offset], by channel
// key), so an energy or water total never goes back, across restarts as well.

// Whether the channel (its key, such as "...K0") has the option ([Counter Total], "1" for on).
bool CounterTotalOn(const std::string& key);
void SetCounterTotal(const std::string& key, bool on);

// A replacement chip takes over a counter channel (`from` the old key, `to` the new one): with the
// option on, the new chip's counts continue the old total (the offset is the old total less the
// count the new chip holds now, as last read, 0 when not read yet); the old key's option and
// offset are forgotten. Without the option only the chip's own count is shown, so nothing moves.
void CarryCounterTotal(const std::string& from, const std::string& to);

// The value the host gets for a counter channel whose chip counted `raw`; `read_again` reads the
// counter once more.
double CounterValue(DSDevice& channel, double raw, const std::function<double()>& read_again);

}  // namespace qb
