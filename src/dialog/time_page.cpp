#include "dialog/time_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "catalogue/family_catalogue.h"
#include "core/host_calls.h"
#include "core/plugin_state.h"
#include "dialog/controls.h"
#include "dialog/device_commands.h"
#include "platform/user_interface.h"

namespace qb::dialog {

TimePage::TimePage(DeviceView& view) : DevicePage(view) {
  auto* grid = new QGridLayout(this);
  const char* checks[] = {"Clock Running", "Alarm Enabled", "Timer Automatic", "Alarm Enabled"};
  const char* buttons[] = {"Set Clock to PC", "Set Alarm", "Set Interval Timer", "Set Alarm"};
  const char* rows[] = {"Clock:", "Clock alarm:", "Interval timer:", "Timer alarm:"};
  for (int i = 0; i < 4; ++i) {
    txtTim[i] = Box("txtTim", nullptr, i);
    txtTim[i]->setText("01/01/70 00:00:00");
    chkTim[i] = Check("chkTim", checks[i], nullptr, i);
    cmdSetClock[i] = Named(new QPushButton(buttons[i]), "cmdSetClock", i);
    if (i == 0) cmdSetClock[i]->setToolTip("Set the clock to the PCs time and date");
    grid->addWidget(new QLabel(rows[i]), i, 0);
    grid->addWidget(txtTim[i], i, 1);
    grid->addWidget(chkTim[i], i, 2);
    grid->addWidget(cmdSetClock[i], i, 3);
    connect(cmdSetClock[i], &QPushButton::clicked, [this, i] { SetClockClicked(i); });
  }
  grid->setRowStretch(4, 1);
}

std::array<int64_t, 3> TimePage::Entries() const {
  std::array<int64_t, 3> entries{};
  for (int i = 0; i < 3; ++i) entries[i] = LibraryMsOfText(S(txtTim[i + 1]->text())).value_or(0);
  return entries;
}

void TimePage::Gather(const std::string& rom, uint32_t caps) {
  rows_.clear();
  if ((caps & kCapClock) && view_.ops.show_dev_time)
    Skip([&] { rows_ = view_.ops.show_dev_time(rom); });
}

void TimePage::ShowReadings(const std::string&, uint32_t) {
  ShowRows(rows_);
}

void TimePage::ShowRows(const std::vector<std::pair<std::string, bool>>& rows) {
  for (int i = 0; i < 4 && i < static_cast<int>(rows.size()); ++i) {
    txtTim[i]->setText(Q(rows[i].first));
    chkTim[i]->setChecked(rows[i].second);
  }
}

void TimePage::SetClockClicked(int row) {
  static constexpr int kBits[] = {1, 2, 16, 32};
  const std::string rom = view_.rom;
  if (rom.empty()) return;
  if (!view_.ops.set_clock) {
    UI().MessageBox("Setting device clocks is not available in this build.",
                    MessageIcon::Information, "Set Clock");
    return;
  }
  Skip([&] { view_.ops.set_clock(rom, kBits[row]); });
  if (view_.ops.show_dev_time && view_.rom == rom) {
    std::vector<std::pair<std::string, bool>> rows;
    Skip([&] { rows = view_.ops.show_dev_time(rom); });
    ShowRows(rows);
  }
}

}  // namespace qb::dialog
