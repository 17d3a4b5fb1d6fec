#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/plugin_parts.h"

namespace qb {

// The pages the dispatch routes to besides the device list. Each gets the request's link or
// posted text; the query pairs of the request are already parsed.
class PageBuilders {
 public:
  virtual ~PageBuilders() = default;
  virtual std::string ChartsPage(const std::string& lnk) = 0;
  // The charts page's chart, to draw away from the plug-in thread before ChartsPage(lnk) (see
  // HostedPlugin::PageGroundwork). Empty when the page draws it itself.
  virtual std::function<void()> ChartsGroundwork(const std::string& /*lnk*/) { return {}; }
  virtual std::string SettingsPage(const std::string& lnk) = 0;
  virtual std::string SettingsPost(const std::string& data) = 0;
  virtual std::string DebugPage() = 0;
  virtual std::string DetailPage(const std::string& lnk) = 0;
  // The "Set device time to PC time" button of a clock device's page, with its ROM id.
  virtual std::string SetTimePost(const std::string& rom_id) = 0;
};

// Pages not built yet: each answers a framed page that says so, with the menu to go back.
class UnbuiltPages : public PageBuilders {
 public:
  std::string ChartsPage(const std::string& lnk) override;
  std::string SettingsPage(const std::string& lnk) override;
  std::string SettingsPost(const std::string& data) override;
  std::string DebugPage() override;
  std::string DetailPage(const std::string& lnk) override;
  std::string SetTimePost(const std::string& rom_id) override;
};

// The plug-in's web link: page requests by "PAGE" number or "ROMID=", and form posts (device
// commands from the list, or the debug and settings forms).
class PluginWebPages : public WebPages {
 public:
  explicit PluginWebPages(std::shared_ptr<PageBuilders> pages);
  std::string GenPage(const std::string& lnk) override;
  std::function<void()> PageGroundwork(const std::string& lnk) override;
  std::string PagePut(const std::string& data) override;
  PageAnswer LastPageAnswer() override;

 private:
  std::string Page(int number, const std::string& lnk);
  // The level form of a potentiometer's page.
  std::string LevelPost(const std::string& key, const std::string& level);
  // The counter-total check boxes of a counter's page.
  std::string CounterTotalPost();
  // The device page at `lnk` after a form of it was posted: a redirect to it when `problem` is
  // empty, else the page with the problem below it, answered with `status` (0: 400, or 403 for
  // a guest).
  std::string DetailAnswer(const std::string& lnk, const std::string& problem, int status = 0);
  std::shared_ptr<PageBuilders> pages_;
};

}  // namespace qb
