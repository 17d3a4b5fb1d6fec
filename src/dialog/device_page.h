#pragma once

#include <QGroupBox>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QCheckBox;
class QLineEdit;
class QProgressBar;

namespace qb {
struct DSDevice;
struct DSROM;
}  // namespace qb

namespace qb::dialog {

// The pages of the device page set, by the numbers the host selects them with. 2 and 3 are kept
// free (hidden) so that those numbers stay as the host has them.
enum DevicePageIndex {
  kTempPage = 0,
  kADPage = 1,
  kQuadADPage = 4,
  kMemPage = 5,
  kTimePage = 6,
  kSwitchPage = 7,
  kPotPage = 8,
  kInfoPage = 9,
  kDevicePageCount = 10
};

// Device operations the clock rows and the Info page call. They belong to other parts of the
// plug-in; the program fills in those that are built, and a row whose operation is missing says
// so instead of doing nothing.
struct DialogOperations {
  // Sets a device clock: bits 1 the clock to the computer's time, 2 the clock alarm, 16 the
  // interval timer, 32 the interval-timer alarm.
  std::function<void(const std::string& rom, int bits)> set_clock;
  // The four clock rows of a device: text and tick of each.
  std::function<std::vector<std::pair<std::string, bool>>(const std::string& rom)> show_dev_time;
  // The device information text of the Info page.
  std::function<std::string(const std::string& rom)> device_info;
};

// What the device pages share: the device shown and whether the controls are being filled (a
// control filled from a record must not write to the device).
struct DeviceView {
  std::string rom;  // the selected device's ROM id; empty when none is selected
  bool loading = false;
  DialogOperations ops;
};

// The part name a group node shows.
std::string GroupName(const std::string& rom);
// The channel letter of a device key ("M" of "...28M"); empty for the device itself.
std::string ChannelLetterOf(const std::string& key);
// A channel's reading as the pages show it: the host text, else the number last read.
QString ValueText(const DSDevice& ch);
// The channel a page shows of a device: the Info page the first measured channel (or the device
// itself), the others the channel of their kind; null when the device has none.
std::shared_ptr<DSDevice> PageChannel(const std::string& rom, int page);
// The record of a device's channel with exactly this key; null when there is none.
std::shared_ptr<DSDevice> ChannelOf(const std::string& rom, const std::string& key);

// The block most device pages repeat: the host name and location of the page's channel, whether
// it is logged, its correction, and its reading with a bar.
class DeviceBlock : public QGroupBox {
 public:
  DeviceBlock(DeviceView& view, int page);
  // Fills the block from the channel's record, or empties it.
  void Show(const DSDevice* channel);
  // The reading of the channel, on the bar of the page's range.
  void ShowReading(const DSDevice& channel);

  QLineEdit *txtname, *txtLocation, *txtAdj, *txtValue;
  QCheckBox* chkLogToDB;
  QProgressBar* pbProps;

 private:
  DeviceView& view_;
  int page_;
};

// One page of the device page set.
class DevicePage : public QWidget {
 public:
  explicit DevicePage(DeviceView& view) : view_(view) {}
  // Fills the page from the records and settings of the device just selected; nothing is read
  // from the bus. `caps` are the device's family capabilities.
  virtual void Show(const std::string& rom, uint32_t caps) {
    (void)rom;
    (void)caps;
  }
  // Reads from the device what the page shows beyond its records (may let events run).
  virtual void Gather(const std::string& rom, uint32_t caps) {
    (void)rom;
    (void)caps;
  }
  // Shows the device's readings (the controls are being filled).
  virtual void ShowReadings(const std::string& rom, uint32_t caps) {
    (void)rom;
    (void)caps;
  }
  // The page's common block, if it has one.
  DeviceBlock* block = nullptr;

 protected:
  DeviceView& view_;
};

}  // namespace qb::dialog
