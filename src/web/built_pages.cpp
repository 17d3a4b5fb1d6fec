#include "web/built_pages.h"

#include "web/charts_page.h"
#include "web/debug_page.h"
#include "web/detail_page.h"
#include "web/settings_page.h"

namespace qb {

std::string BuiltPages::ChartsPage(const std::string& lnk) {
  return qb::ChartsPage(lnk);
}

std::function<void()> BuiltPages::ChartsGroundwork(const std::string& lnk) {
  return qb::ChartsGroundwork(lnk);
}

std::string BuiltPages::SettingsPage(const std::string& lnk) {
  return qb::SettingsPage(lnk);
}

std::string BuiltPages::SettingsPost(const std::string& data) {
  return qb::SettingsPost(data);
}

std::string BuiltPages::DebugPage() {
  return qb::DebugPage();
}

std::string BuiltPages::DetailPage(const std::string& lnk) {
  return DeviceDetailPage(lnk);
}

std::string BuiltPages::SetTimePost(const std::string& rom_id) {
  return qb::SetTimePost(rom_id);
}

}  // namespace qb
