#pragma once

#include <string>

namespace qb {

// The web form of the plug-in's general settings (spoken texts, scale, poll timing, alarms, log
// level, database logging with a live test query, the enabled pages) and its post handler.
std::string SettingsPage(const std::string& lnk);

// Applies a post of the settings form when it holds "Update" (the live values at once, and the
// store for the next start), then answers the page again.
std::string SettingsPost(const std::string& data);

}  // namespace qb
