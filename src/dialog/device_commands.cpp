#include "dialog/device_commands.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdio>

#include "access/container.h"
#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/log.h"
#include "core/plugin_state.h"
#include "dialog/bus_claim.h"
#include "onewire/device_clock.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "registry/host_codes.h"
#include "registry/records.h"
#include "registry/value_update.h"

namespace qb::dialog {

void ShowDeviceIdOnHost(const std::string& rom, bool show) {
  Store().Set("Show Device ID", rom, show ? "1" : "0");
  auto record = gROMs().FindDev(rom);
  if (!record) return;
  if (auto parent = gROMs().FindParent(rom)) parent->ShowID = show ? 1 : 0;
  if (show) {
    if (record->dc == -1) Skip([&] { CreateHSDevice(*record, FamilyName(rom), rom, rom); });
  } else if (record->dc != -1) {
    const std::string hc = record->hc;
    const int32_t dc = record->dc;
    Skip([&] {
      const int32_t ref = FindHSDeviceRef(hc, dc);
      if (ref >= 0) Host().DeleteDevice(ref);
    });
    record->hc.clear();
    record->dc = -1;
    WriteLog(LogClass::Always, "Deleting 1-Wire " + FamilyName(rom),
             "Device " + hc + " " + std::to_string(dc) + " deleted.");
  }
}

void OfferOutputSwitch(const std::string& rom, int channel, bool on) {
  auto output = gROMs().FindDev(rom + "S" + std::to_string(channel));
  if (!output || output->dc != -1) return;
  Question q;
  q.id = "add-output-switch";
  q.text = "Do you want to add a switch device to Hearthmoor\rto represent this output?";
  if (!UI().Ask(q)) return;
  Skip([&] {
    // The switch channel's own name (ROM id, "-Switch" and the channel number), as discovery
    // names every switch channel, so the host shows one name for one channel.
    CreateHSDevice(*output, FamilyName(rom), on ? "On" : "Off",
                   rom + "-Switch" + std::to_string(channel));
    UpdateHSDev(*output, std::string(on ? "On" : "Off"));
  });
}

std::optional<access::Bytes> ParseHexBytes(const std::string& typed, std::string& bad) {
  access::Bytes bytes;
  for (const QString& part : QString::fromStdString(typed).split(' ', Qt::SkipEmptyParts)) {
    bool ok = false;
    const uint v = part.toUInt(&ok, 16);
    if (!ok || v > 255) {
      bad = part.toStdString();
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(v));
  }
  return bytes;
}

std::string WriteMemory(const std::string& rom, int bank_index, int page_index,
                        const access::Bytes& bytes) {
  BusClaim bus(rom);
  try {
    if (!bus.Present()) return {};
    auto banks = bus.Container().getMemoryBanks();
    if (bank_index >= static_cast<int>(banks.size())) return {};
    auto* paged = dynamic_cast<access::PagedMemoryBank*>(banks[bank_index].get());
    const int start = paged ? page_index * paged->getPageLength() : 0;
    banks[bank_index]->write(start, bytes);
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

std::optional<int64_t> LibraryMsOfText(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  const int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &sec);
  if (n != 3 && n != 6) {
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &mo, &d, &y, &h, &mi, &sec) != 6)
      return std::nullopt;
    y += y < 70 ? 2000 : 1900;
  }
  const std::chrono::year_month_day day{std::chrono::year(y), std::chrono::month(mo),
                                        std::chrono::day(d)};
  if (!day.ok() || h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 59) return std::nullopt;
  const auto days = std::chrono::sys_days(day).time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(days).count() +
         ((h * 60 + mi) * 60 + sec) * int64_t{1000};
}

std::vector<std::pair<std::string, bool>> ReadClockRows(const std::string& rom) {
  std::vector<std::pair<std::string, bool>> rows;
  BusClaim bus(rom);
  try {
    if (!bus.Present()) return rows;
    access::OneWireContainer& c = bus.Container();
    const access::DeviceState state = c.readDevice();
    auto text = [](int64_t ms) { return DateText(DateOfLibraryTime(ms)); };
    rows.emplace_back(text(c.getClock(state)), c.isClockRunning(state));
    if (c.hasClockAlarm())
      rows.emplace_back(text(c.getClockAlarm(state)), c.isClockAlarmEnabled(state));
    else
      rows.emplace_back("", false);
    try {
      rows.emplace_back(text(c.getIntervalTimer(state)), c.isIntervalTimerAutomatic(state));
      rows.emplace_back(text(c.getIntervalTimerAlarm(state)), c.isIntervalTimerAlarmEnabled(state));
    } catch (const std::exception&) {  // a clock without an interval timer
    }
  } catch (const std::exception& e) {
    WriteLog(LogClass::ErrorsAlarms, "1-Wire ERROR(ShowDevTime)", e.what());
  }
  return rows;
}

}  // namespace qb::dialog
