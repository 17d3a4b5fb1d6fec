#pragma once

#include <array>
#include <utility>
#include <vector>

#include "dialog/device_page.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace qb::dialog {

// The Time page of a clock device: the clock, its alarm, the interval timer and its alarm, each
// with its switch and the button that sets it.
class TimePage : public DevicePage {
 public:
  explicit TimePage(DeviceView& view);
  void Gather(const std::string& rom, uint32_t caps) override;
  void ShowReadings(const std::string& rom, uint32_t caps) override;
  // Sets row 0 to 3 (the clock to the computer's time, the clock alarm, the interval timer, its
  // alarm) and shows the rows read again.
  void SetClockClicked(int row);
  // The entries of the alarm and timer rows, as the clock setting takes them.
  std::array<int64_t, 3> Entries() const;

  std::array<QLineEdit*, 4> txtTim;
  std::array<QCheckBox*, 4> chkTim;
  std::array<QPushButton*, 4> cmdSetClock;

 private:
  void ShowRows(const std::vector<std::pair<std::string, bool>>& rows);
  std::vector<std::pair<std::string, bool>> rows_;
};

}  // namespace qb::dialog
