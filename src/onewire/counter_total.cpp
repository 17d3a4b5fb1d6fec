#include "onewire/counter_total.h"

#include <optional>

#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/onewire_state.h"
#include "platform/settings_store.h"
#include "registry/records.h"
#include "registry/value_text.h"
#include "registry/value_update.h"

namespace qb {

namespace {

constexpr const char* kTotalSection = "Counter Total";
constexpr const char* kOffsetSection = "Counter Offset";

double Offset(const std::string& key) {
  return ReadNumber(Store().GetOr(kOffsetSection, key, "0"));
}

// The count behind the value the host shows (from an earlier run too): its total less the
// offset and the "Adjustment".
std::optional<double> ShownCount(const DSDevice& channel, bool total) {
  if (channel.HSString.empty() || channel.HSString == kNoReadingText) return std::nullopt;
  const double adj = ReadNumber(Store().GetOr("Adjustment", channel.ROM, "0"));
  return ReadNumber(channel.HSString) - adj - (total ? Offset(channel.ROM) : 0);
}

}  // namespace

bool CounterTotalOn(const std::string& key) {
  return Store().GetOr(kTotalSection, key, "0") == "1";
}

void SetCounterTotal(const std::string& key, bool on) {
  Store().Set(kTotalSection, key, on ? "1" : "0");
  // The count last read this run is the base either way; the offset stays for the next time.
  WriteLog(LogClass::Always, "1-Wire I/F",
           "Counter " + key +
               (on ? " continues its total when the chip starts again from 0"
                   : " shows the chip's own count"));
}

void CarryCounterTotal(const std::string& from, const std::string& to) {
  auto& last_counts = OneWire().last_counts;
  if (CounterTotalOn(from)) {
    double old_total = Offset(from);
    if (auto it = last_counts.find(from); it != last_counts.end()) {
      old_total += it->second;
    } else if (const auto old = gROMs().FindParent(from)) {
      // Not read this run (the chip had failed): the total the host device shows.
      for (const auto& channel : old->Devices->DevList) {
        if (channel->ROM != from) continue;
        if (const auto shown = ShownCount(*channel, true)) old_total += *shown;
      }
    }
    double now = 0;
    if (auto it = last_counts.find(to); it != last_counts.end()) now = it->second;
    last_counts[to] = now;
    Store().Set(kTotalSection, to, "1");
    Store().Set(kOffsetSection, to, PlainNumberText(old_total - now));
  } else {
    Store().Remove(kTotalSection, to);
    Store().Remove(kOffsetSection, to);
  }
  Store().Remove(kTotalSection, from);
  Store().Remove(kOffsetSection, from);
  last_counts.erase(from);
}

double CounterValue(DSDevice& channel, double raw, const std::function<double()>& read_again) {
  const bool total = CounterTotalOn(channel.ROM);
  auto& last_counts = OneWire().last_counts;
  std::optional<double> last;
  if (auto it = last_counts.find(channel.ROM); it != last_counts.end()) {
    last = it->second;
  } else if (total) {
    // The first read of this run: a chip that lost power while the program was stopped.
    last = ShownCount(channel, true);
  }
  if (last && raw < *last) {
    const double again = read_again();
    if (again < *last) {
      WriteLog(
          LogClass::ErrorsAlarms, "1-Wire I/F",
          "Counter " + channel.ROM + " went back from " + PlainNumberText(*last) + " to " +
              PlainNumberText(again) + " (the chip lost power, or counts were lost)" +
              (total ? "; its total continues from " + PlainNumberText(*last + Offset(channel.ROM))
                     : ""));
      if (total)
        Store().Set(kOffsetSection, channel.ROM, PlainNumberText(Offset(channel.ROM) + *last));
    }
    raw = again;  // a lower count read once is taken as the second read says
  }
  last_counts[channel.ROM] = raw;
  return total ? raw + Offset(channel.ROM) : raw;
}

}  // namespace qb
