#include "dialog/replace_menu.h"

#include <QAction>
#include <QTreeWidget>

#include "core/plugin_state.h"
#include "onewire/sensor_replacement.h"
#include "platform/user_interface.h"

namespace qb {

std::string ReplaceSelectedSensor(const std::string& rom, const std::string& typed) {
  if (typed.empty()) return {};
  const ReplacementResult done = ReplaceSensor(rom, typed);
  if (done.outcome == ReplacementOutcome::kDone) return done.message + ".";
  return "The sensor was not replaced: " + done.message + ".";
}

void AddReplaceSensorMenu(QTreeWidget* tree, std::function<std::string()> selected,
                          std::function<void()> replaced) {
  auto* action = new QAction("Replace sensor...", tree);
  action->setObjectName("actReplaceSensor");
  action->setToolTip("Give this device's names, settings and history to a new sensor");
  tree->setContextMenuPolicy(Qt::ActionsContextMenu);
  tree->addAction(action);
  QObject::connect(action, &QAction::triggered, tree, [selected, replaced] {
    const std::string rom = selected();
    if (rom.empty()) {
      UI().MessageBox("Select the device to replace first.", MessageIcon::Information);
      return;
    }
    const std::string typed =
        UI().InputBox("ROM id of the new sensor that replaces " + rom + " (connect it first):", "");
    const std::string said = ReplaceSelectedSensor(rom, typed);
    if (said.empty()) return;
    const bool done = said.rfind("The sensor was not", 0) != 0;
    UI().MessageBox(said, done ? MessageIcon::Information : MessageIcon::Exclamation,
                    "Replace sensor");
    if (done && replaced) replaced();
  });
}

}  // namespace qb
