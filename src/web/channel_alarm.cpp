#include "web/channel_alarm.h"

#include <cmath>

#include "core/plugin_state.h"
#include "registry/records.h"
#include "registry/value_text.h"

namespace qb {

int LimitShown(int celsius) {
  if (!Plugin().settings.Range) return celsius;
  return static_cast<int>(std::lround(celsius * 9.0 / 5 + 32));
}

bool ValueShown(const DSDevice& channel) {
  return channel.HSString.find_first_of("0123456789") != std::string::npos;
}

bool ChannelInAlarm(const DSDevice& channel) {
  if (channel.ROM.size() != 17 || channel.ROM.back() != 'M') return false;
  // The read cycle's alarm reaction marks a thermometer whose alarm flag is up; the limits read
  // for its page tell the same for a value beyond them.
  if (channel.InAlarm) return true;
  if (channel.hasTemperatureAlarms != 1 || !ValueShown(channel)) return false;
  const double value = ReadNumber(channel.HSString);
  return value <= LimitShown(channel.LoAlarm) || value >= LimitShown(channel.HiAlarm);
}

}  // namespace qb
