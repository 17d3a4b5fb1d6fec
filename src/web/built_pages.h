#pragma once

#include <string>

#include "web/plugin_pages.h"

namespace qb {

// The plug-in's own pages behind the dispatch.
class BuiltPages : public PageBuilders {
 public:
  std::string ChartsPage(const std::string& lnk) override;
  std::function<void()> ChartsGroundwork(const std::string& lnk) override;
  std::string SettingsPage(const std::string& lnk) override;
  std::string SettingsPost(const std::string& data) override;
  std::string DebugPage() override;
  std::string DetailPage(const std::string& lnk) override;
  std::string SetTimePost(const std::string& rom_id) override;
};

}  // namespace qb
