#include "onewire/device_clock.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "access/container.h"
#include "core/host_calls.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "onewire/bound_container.h"
#include "onewire/temp_alarms.h"

namespace qb {

double DateOfLibraryTime(int64_t ms) {
  return static_cast<double>(ms) / 1000 / 86400 + kDayCountOf1970;
}

int64_t LibraryTimeOfLocal(Clock::WallTime when) {
  const time_t t = std::chrono::system_clock::to_time_t(when);
  tm local{};
  localtime_r(&t, &local);
  // The local wall time taken as if it were UTC: timegm counts it without any zone.
  return static_cast<int64_t>(timegm(&local)) * 1000;
}

std::string DateText(double days) {
  using namespace std::chrono;
  // Whole seconds since 1970, rounded as the day count's fraction is.
  const auto seconds = static_cast<int64_t>(std::llround((days - kDayCountOf1970) * 86400));
  const sys_days day{std::chrono::days{seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400}};
  const int64_t of_day = seconds - day.time_since_epoch().count() * int64_t{86400};
  const year_month_day ymd{day};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  std::string out = text;
  if (of_day != 0) {
    std::snprintf(text, sizeof text, " %02d:%02d:%02d", static_cast<int>(of_day / 3600),
                  static_cast<int>(of_day / 60 % 60), static_cast<int>(of_day % 60));
    out += text;
  }
  return out;
}

void SetClock(int what, const std::string& rom, const ClockEntries& entries) {
  if (rom.size() != 16) return;
  try {
    BoundContainer b(rom, 2);
    if (!b.ok()) return;
    access::OneWireContainer& c = b.c();
    access::DeviceState state = c.readDevice();
    if (what & kSetTime) c.setClock(LibraryTimeOfLocal(TheClock().Now()), state);
    if (what & kSetClockAlarm) {
      c.setClockAlarm(entries.clock_alarm_ms, state);
      c.setClockAlarmEnable(true, state);
    }
    if (what & kToggleClockRun) c.setClockRunEnable(!c.isClockRunning(state), state);
    if (what & kToggleClockAlarm) c.setClockAlarmEnable(!c.isClockAlarmEnabled(state), state);
    if (what & kSetInterval) c.setIntervalTimer(entries.interval_ms, state);
    if (what & kSetIntervalAlarm) {
      c.setIntervalTimerAlarm(entries.interval_alarm_ms, state);
      c.setIntervalTimerAlarmEnable(true, state);
    }
    if (what & kToggleIntervalAlarm)
      c.setIntervalTimerAlarmEnable(!c.isIntervalTimerAlarmEnabled(state), state);
    if (what & kToggleIntervalAuto)
      c.setIntervalTimerAutomatic(!c.isIntervalTimerAutomatic(state), state);
    c.writeDevice(state);
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(SetClock)", e.what());
  }
}

namespace {

std::string SecondsText(int64_t ms) {
  return std::to_string(ms / 1000) + " seconds";
}

}  // namespace

std::string ShowDevTime(const std::string& rom) {
  const std::string rom_id = rom.substr(0, 16);
  std::string html;
  try {
    BoundContainer b(rom_id, 3);
    if (!b.ok()) return html;
    access::OneWireContainer& c = b.c();
    // A button of the page's post form: setting a clock is a change, never a link to follow.
    html += "<button type=\"submit\" class=\"formbutton\" name=\"SetTime\" value=\"" + rom_id +
            "\">Set device time to PC time</button>";
    const access::DeviceState state = c.readDevice();
    html += "<br><br><b>Time: " + DateText(DateOfLibraryTime(c.getClock(state))) + "</b>";
    html += c.isClockRunning(state) ? " - Clock is running<br>" : " - Clock is stopped<br>";
    if (c.hasClockAlarm()) {
      // A thermochron whose alarm registers were never written has no next alarm time.
      std::string when;
      try {
        when = DateText(DateOfLibraryTime(c.getClockAlarm(state)));
      } catch (const std::exception&) {
      }
      if (c.isClockAlarmEnabled(state) && !when.empty())
        html += "Alarm Set: " + when + "<br>";
      else
        html += "Alarm not set<br>";
      if (c.isClockAlarming(state)) {
        html += "<b>Alarm Active</b><br>";
        const auto dialog = Plugin().parts.dialog;
        Skip([&] {
          if (dialog && dialog->IsOpen()) dialog->ShowDeviceNode(rom_id, kAlarmColour);
        });
      }
    }
    if (c.getName() == "DS1994") {
      html += "Interval Timer: " + SecondsText(c.getIntervalTimer(state)) + "<br>";
      if (c.isIntervalTimerAlarmEnabled(state))
        html += "Interval Alarm Set<br> Interval Alarm At: " +
                SecondsText(c.getIntervalTimerAlarm(state)) + "<br>";
      else
        html += "Interval Alarm Not Set<br> ";
      html += c.isIntervalTimerAlarming(state) ? "<b>Interval Alarm Active</b><br> "
                                               : "Interval Alarm Not Active<br>";
      html += c.isIntervalTimerAutomatic(state) ? "Interval Timer: Automatic<br>"
                                                : "Interval Timer: Manual<br>";
    }
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(ShowDevTime)", e.what());
  }
  return html;
}

}  // namespace qb
