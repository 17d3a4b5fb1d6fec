#pragma once

#include <functional>
#include <string>

class QTreeWidget;

namespace qb {

// The device tree's "Replace sensor..." entry (its context menu): asks for the new sensor's ROM
// id and hands the selected device's host devices, settings and history over to it. `selected`
// gives the ROM id of the device selected in the tree; `replaced` runs after a replacement, so
// the dialog can show the tree again.
void AddReplaceSensorMenu(QTreeWidget* tree, std::function<std::string()> selected,
                          std::function<void()> replaced);

// What the entry does once the ROM id is typed; returns the message shown. Kept apart from the
// menu so that it can run without a desktop.
std::string ReplaceSelectedSensor(const std::string& rom, const std::string& typed);

}  // namespace qb
