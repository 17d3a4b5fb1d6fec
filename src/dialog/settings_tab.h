#pragma once

#include <QWidget>
#include <functional>

#include "core/settings.h"

namespace qb::dialog {

// One settings tab of the Setup dialog: shows settings in its controls and reads them back. Any
// change a user makes calls `changed` (the dialog enables Apply); filling the controls does not.
class SettingsTab : public QWidget {
 public:
  virtual void Show(const Settings& s) = 0;
  virtual void Read(Settings& s) const = 0;
  std::function<void()> changed;

 protected:
  void Changed() {
    if (!loading_ && changed) changed();
  }
  bool loading_ = false;  // controls being filled from settings
};

}  // namespace qb::dialog
