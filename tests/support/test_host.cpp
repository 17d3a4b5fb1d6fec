#include "support/test_host.h"

namespace qb::test {

void TestHost::Record(const std::string& name, std::vector<std::string> args) {
  calls.push_back(HostCall{name, std::move(args)});
  if (failing.count(name)) throw HostError("scripted failure of " + name);
}

std::vector<HostCall> TestHost::CallsNamed(const std::string& name) const {
  std::vector<HostCall> out;
  for (const auto& c : calls) {
    if (c.name == name) out.push_back(c);
  }
  return out;
}

std::vector<std::string> TestHost::LogTexts(const std::string& category) const {
  std::vector<std::string> out;
  for (const auto& [c, t] : log) {
    if (c == category) out.push_back(t);
  }
  return out;
}

std::shared_ptr<TestDevice> TestHost::AddDevice(const std::string& hc, const std::string& dc,
                                                const std::string& interface,
                                                const std::string& iomisc) {
  auto d = std::make_shared<TestDevice>();
  d->ref_ = next_ref_++;
  d->hc_ = hc;
  d->dc_ = dc;
  d->interface_ = interface;
  d->iomisc_ = iomisc;
  devices.push_back(d);
  return d;
}

std::shared_ptr<TestDevice> TestHost::ByCode(const std::string& code) {
  for (auto& d : devices) {
    if (d->hc_ + d->dc_ == code) return d;
  }
  throw HostError("test host has no device " + code);
}

void TestHost::writelog(const std::string& category, const std::string& text) {
  Record("writelog", {category, text});
  log.emplace_back(category, text);
}

void TestHost::Speak(const std::string& text) {
  Record("Speak", {text});
}

std::string TestHost::GetAppPath() {
  Record("GetAppPath");
  return app_path;
}

int32_t TestHost::InterfaceVersion() {
  Record("InterfaceVersion");
  return interface_version;
}

std::string TestHost::Version() {
  Record("Version");
  return version;
}

void TestHost::RegisterLink(HostedPlugin& plugin) {
  Record("RegisterLink", {plugin.link(), plugin.linktext(), plugin.page_title()});
  registered_link = &plugin;
}

void TestHost::ExecX10(const std::string& device, const std::string& command, int32_t brightness) {
  Record("ExecX10", {device, command, std::to_string(brightness)});
}

int32_t TestHost::DeviceCount() {
  Record("DeviceCount");
  return static_cast<int32_t>(devices.size());
}

std::shared_ptr<HostDevice> TestHost::GetDevice(int32_t index_or_ref) {
  Record("GetDevice", {std::to_string(index_or_ref)});
  if (index_or_ref >= 1 && index_or_ref <= static_cast<int32_t>(devices.size()))
    return devices[index_or_ref - 1];
  for (auto& d : devices) {
    if (d->ref_ == index_or_ref) return d;
  }
  throw HostError("test host has no device " + std::to_string(index_or_ref));
}

int32_t TestHost::NewDevice(const std::string& name) {
  Record("NewDevice", {name});
  auto d = AddDevice("", "", "");
  d->name_ = name;
  return d->ref_;
}

void TestHost::DeleteDevice(int32_t ref) {
  Record("DeleteDevice", {std::to_string(ref)});
  std::erase_if(devices, [ref](const auto& d) { return d->ref_ == ref; });
}

std::string TestHost::DeviceString(const std::string& code) {
  Record("DeviceString", {code});
  return ByCode(code)->string_;
}

HostTime TestHost::DeviceLastChange(const std::string& code) {
  Record("DeviceLastChange", {code});
  return ByCode(code)->lastChange_;
}

void TestHost::SetDeviceValue(const std::string& code, double value) {
  Record("SetDeviceValue", {code, std::to_string(value)});
  ByCode(code)->value_ = value;
}

void TestHost::SetDeviceStatus(const std::string& code, int32_t status) {
  Record("SetDeviceStatus", {code, std::to_string(status)});
  ByCode(code)->Status_ = status;
}

void TestHost::SetDeviceString(const std::string& code, const std::string& text) {
  Record("SetDeviceString", {code, text});
  ByCode(code)->string_ = text;
}

void TestHost::SetDeviceLastChange(const std::string& code, HostTime when) {
  Record("SetDeviceLastChange", {code, std::to_string(when.time_since_epoch().count())});
  ByCode(code)->lastChange_ = when;
}

void TestHost::SetDeviceStale(const std::string& code, bool stale) {
  Record("SetDeviceStale", {code, stale ? "1" : "0"});
  ByCode(code)->stale_ = stale;
}

std::string TestHost::WEBLoggedInUser() {
  Record("WEBLoggedInUser");
  return web_user;
}

std::shared_ptr<HostApplication> TestHost::GetHSIface() {
  Record("GetHSIface");
  if (no_host_object) return nullptr;
  return shared_from_this();
}

void TestHost::WriteSplash(const std::string& text) {
  Record("WriteSplash", {text});
}

void TestHost::RegisterMenu(const std::string& title, const std::string& entry) {
  Record("RegisterMenu", {title, entry});
}

void TestHost::ForceFront(int32_t window_handle) {
  Record("ForceFront", {std::to_string(window_handle)});
}

int32_t TestHost::GetNextFreeIOCode() {
  Record("GetNextFreeIOCode");
  if (next_free_io_codes.empty()) return -1;
  const int32_t code =
      next_free_io_codes[std::min(next_code_index_, next_free_io_codes.size() - 1)];
  ++next_code_index_;
  return code;
}

}  // namespace qb::test
