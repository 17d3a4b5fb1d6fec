#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/host_interface.h"

namespace qb::test {

// One call the plug-in made on the host or its callback object.
struct HostCall {
  std::string name;
  std::vector<std::string> args;
};

// A host device of the test host: plain fields, read and written by the plug-in.
class TestDevice : public HostDevice {
 public:
  int32_t ref_ = 0;
  std::string name_, Location_, hc_, dc_, interface_, iomisc_, dev_type_string_, Buttons_;
  int32_t iotype_ = 0, Status_ = 0, misc_ = 0;
  bool can_dim_ = false;
  // Status text, value and change time, kept per device for the host's code-addressed calls.
  std::string string_;
  double value_ = 0;
  HostTime lastChange_{};
  bool stale_ = false;

  int32_t ref() const override { return ref_; }
  std::string name() const override { return name_; }
  void set_name(const std::string& v) override { name_ = v; }
  std::string Location() const override { return Location_; }
  void set_Location(const std::string& v) override { Location_ = v; }
  std::string hc() const override { return hc_; }
  void set_hc(const std::string& v) override { hc_ = v; }
  std::string dc() const override { return dc_; }
  void set_dc(const std::string& v) override { dc_ = v; }
  std::string interface() const override { return interface_; }
  void set_interface(const std::string& v) override { interface_ = v; }
  std::string iomisc() const override { return iomisc_; }
  void set_iomisc(const std::string& v) override { iomisc_ = v; }
  int32_t iotype() const override { return iotype_; }
  void set_iotype(int32_t v) override { iotype_ = v; }
  bool can_dim() const override { return can_dim_; }
  void set_can_dim(bool v) override { can_dim_ = v; }
  std::string dev_type_string() const override { return dev_type_string_; }
  void set_dev_type_string(const std::string& v) override { dev_type_string_ = v; }
  int32_t Status() const override { return Status_; }
  void set_Status(int32_t v) override { Status_ = v; }
  std::string Buttons() const override { return Buttons_; }
  void set_Buttons(const std::string& v) override { Buttons_ = v; }
  int32_t misc() const override { return misc_; }
  void set_misc(int32_t v) override { misc_ = v; }
};

// A host for tests: records every call with its arguments and answers as the test scripts it.
// Any call named in `failing` throws HostError instead of answering.
class TestHost : public HostApplication,
                 public HostCallback,
                 public std::enable_shared_from_this<TestHost> {
 public:
  // Scripted answers.
  int32_t interface_version = 3;
  std::string version = "Test host 1.0";
  std::string app_path = "/tmp/qb-test-host";
  std::vector<int32_t> next_free_io_codes = {'A'};  // answered in turn; the last one repeats
  bool no_host_object = false;                      // GetHSIface answers null
  std::string web_user;
  std::set<std::string> failing;

  // What happened.
  std::vector<HostCall> calls;
  std::vector<std::pair<std::string, std::string>> log;  // category, text
  std::vector<std::shared_ptr<TestDevice>> devices;
  HostedPlugin* registered_link = nullptr;

  std::shared_ptr<TestDevice> AddDevice(const std::string& hc, const std::string& dc,
                                        const std::string& interface,
                                        const std::string& iomisc = {});
  std::vector<HostCall> CallsNamed(const std::string& name) const;
  size_t CountCalls(const std::string& name) const { return CallsNamed(name).size(); }
  // Log texts of one category, in order.
  std::vector<std::string> LogTexts(const std::string& category) const;

  // HostApplication
  void writelog(const std::string& category, const std::string& text) override;
  void Speak(const std::string& text) override;
  std::string GetAppPath() override;
  int32_t InterfaceVersion() override;
  std::string Version() override;
  void RegisterLink(HostedPlugin& plugin) override;
  void ExecX10(const std::string& device, const std::string& command,
               int32_t brightness = 0) override;
  int32_t DeviceCount() override;
  std::shared_ptr<HostDevice> GetDevice(int32_t index_or_ref) override;
  int32_t NewDevice(const std::string& name) override;
  void DeleteDevice(int32_t ref) override;
  std::string DeviceString(const std::string& code) override;
  HostTime DeviceLastChange(const std::string& code) override;
  void SetDeviceValue(const std::string& code, double value) override;
  void SetDeviceStatus(const std::string& code, int32_t status) override;
  void SetDeviceString(const std::string& code, const std::string& text) override;
  void SetDeviceLastChange(const std::string& code, HostTime when) override;
  void SetDeviceStale(const std::string& code, bool stale) override;
  std::string WEBLoggedInUser() override;

  // HostCallback
  std::shared_ptr<HostApplication> GetHSIface() override;
  void WriteSplash(const std::string& text) override;
  void RegisterMenu(const std::string& title, const std::string& entry) override;
  void ForceFront(int32_t window_handle) override;
  int32_t GetNextFreeIOCode() override;

 private:
  void Record(const std::string& name, std::vector<std::string> args = {});
  std::shared_ptr<TestDevice> ByCode(const std::string& code);
  int32_t next_ref_ = 5001;
  size_t next_code_index_ = 0;
};

}  // namespace qb::test
