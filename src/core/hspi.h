#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/host_interface.h"

namespace qb {

inline constexpr const char* kPluginName = "Quellbrook 1-Wire Interface";
inline constexpr const char* kMenuEntry = "Quellbrook 1-Wire...";
inline constexpr const char* kLinkName = "1-Wire";

// The object a host creates to drive the plug-in. Every host call arrives here.
class hspi : public HostedPlugin {
 public:
  hspi();
  ~hspi() override;
  hspi(const hspi&) = delete;
  hspi& operator=(const hspi&) = delete;

  // Web link properties, set by InitIO.
  std::string link() const override { return link_; }
  std::string linktext() const override { return linktext_; }
  std::string page_title() const override { return page_title_; }
  void set_link(const std::string& v) { link_ = v; }
  void set_linktext(const std::string& v) { linktext_ = v; }
  void set_page_title(const std::string& v) { page_title_ = v; }

  int32_t Capabilities() const { return 4; }
  std::string name() const { return kPluginName; }
  std::string PluginName() const override { return name(); }
  void RegisterCallback(std::shared_ptr<HostCallback> frm);
  int16_t InterfaceStatus() const { return 0; }
  // Empty text on success, otherwise the adapter start-up's error text.
  std::string InitIO(int32_t port);
  void ShutdownIO();
  void ConfigIO();
  void SetIO(HostDevice* dv, const std::string& housecode, const std::string& devicecode,
             int16_t command, int16_t brightness, int16_t data1, int16_t data2) override;
  bool SupportsConfigDevice() const { return true; }
  void ConfigDevice(const std::string& hc, const std::string& dc);
  void SelectMenu(const std::string& menu_name) override;
  void ButtonPress(const std::string& button_name);
  int16_t AccessLevel() const { return 1; }
  bool SupportsTriggerUI() const { return false; }
  bool SupportsActionUI() const { return false; }
  bool SupportsConditionUI() const { return true; }
  std::string ConditionUI(int16_t cond_num);
  std::string ConditionUIFormat(const std::string& cond_str);
  bool ConditionCheck(const std::string& cond_str) override;
  bool HasOptions() const { return true; }
  std::string GenPage(const std::string& lnk) override;
  std::function<void()> PageGroundwork(const std::string& lnk) override;
  std::string PagePut(const std::string& data) override;
  PageAnswer LastPageAnswer() override;

  // Sets the web link properties and registers the menu entry and, when the "Web Page" setting
  // is on, the web link with the host (the host-facing part of InitIO).
  void RegisterWithHost();

 private:
  std::string link_;
  std::string linktext_;
  std::string page_title_;
};

// Starts the plug-in on its own, with `host` as its host (the command line "In IDE"): takes
// the host object from the callback, shows the timer window and enables its start-up timer, and
// registers the menu entry and the web link with the host.
void StartStandalone(hspi& plugin, std::shared_ptr<HostCallback> host);

// The page title the host shows above the plug-in's pages.
std::string PluginPageTitle();

// The Setup dialog tab for a device key's function letter (the 17th character of an
// 18-character key, otherwise the last character).
int DeviceTabForKey(const std::string& key);

// Rounds to the nearest integer, halves to even.
int32_t RoundHalfEven(double value);

}  // namespace qb
