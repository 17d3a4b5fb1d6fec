#include "host/builtin_host.h"

#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "qb/version.h"

extern char** environ;

namespace qb {

namespace {

// A host device as the plug-in sees it: a view on one record of the device table. Every write
// marks the table for saving. A device deleted from the host fails every call.
class TableDevice : public HostDevice {
 public:
  TableDevice(std::shared_ptr<DeviceRecord> record, DeviceTable& table)
      : r_(std::move(record)), table_(table) {}

  int32_t ref() const override { return Live().ref; }
  std::string name() const override { return Live().name; }
  void set_name(const std::string& v) override { Write().name = v; }
  std::string Location() const override { return Live().Location; }
  void set_Location(const std::string& v) override { Write().Location = v; }
  std::string hc() const override { return Live().hc; }
  void set_hc(const std::string& v) override { Write().hc = v; }
  std::string dc() const override { return Live().dc; }
  void set_dc(const std::string& v) override { Write().dc = v; }
  std::string interface() const override { return Live().interface; }
  void set_interface(const std::string& v) override { Write().interface = v; }
  std::string iomisc() const override { return Live().iomisc; }
  void set_iomisc(const std::string& v) override { Write().iomisc = v; }
  int32_t iotype() const override { return Live().iotype; }
  void set_iotype(int32_t v) override { Write().iotype = v; }
  bool can_dim() const override { return Live().can_dim; }
  void set_can_dim(bool v) override { Write().can_dim = v; }
  std::string dev_type_string() const override { return Live().dev_type_string; }
  void set_dev_type_string(const std::string& v) override { Write().dev_type_string = v; }
  int32_t Status() const override { return Live().Status; }
  void set_Status(int32_t v) override { Write().Status = v; }
  std::string Buttons() const override { return Live().Buttons; }
  void set_Buttons(const std::string& v) override { Write().Buttons = v; }
  int32_t misc() const override { return Live().misc; }
  void set_misc(int32_t v) override { Write().misc = v; }

 private:
  const DeviceRecord& Live() const {
    if (r_->deleted) throw HostError("host device " + std::to_string(r_->ref) + " was deleted");
    return *r_;
  }
  DeviceRecord& Write() {
    Live();
    table_.MarkChanged();
    return *r_;
  }

  std::shared_ptr<DeviceRecord> r_;
  DeviceTable& table_;
};

bool ProgramOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string dirs = path;
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = dirs.find(':', start);
    const std::string dir =
        dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

}  // namespace

BuiltInHost::BuiltInHost(std::string app_path, Clock& clock, bool echo_log)
    : app_path_(std::move(app_path)),
      clock_(clock),
      log_(clock, std::filesystem::path(app_path_) / "quellbrook-1wire.log", echo_log),
      devices_(std::filesystem::path(app_path_) / "devices.json"),
      events_(std::filesystem::path(app_path_) / "events.json") {}

void BuiltInHost::Start() {
  if (std::string problem = log_.Open(); !problem.empty()) writelog("Host", problem);
  RemoveStaleTemporaryFiles();
  if (std::string problem = devices_.Load(); !problem.empty()) writelog("Host ERROR", problem);
  if (std::string problem = events_.Load(); !problem.empty())
    writelog("Host ERROR", problem + "; no events are active until it is mended");
  have_espeak_ = ProgramOnPath("espeak-ng");
  writelog("Host", "Stand-alone host " + std::string(kVersionText) + " started in " + app_path_ +
                       " with " + std::to_string(devices_.Count()) + " device(s)");
}

void BuiltInHost::RemoveStaleTemporaryFiles() {
  // A program stopped while it wrote the device table leaves its half-written copy behind. Only
  // one program runs on a host folder, so at start every such copy is stale.
  const std::string prefix = "devices.json.tmp-";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(app_path_, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0 || !entry.is_regular_file(ec)) continue;
    if (std::filesystem::remove(entry.path(), ec))
      writelog("Host", "Removed " + name + ", left over from a device table save that was cut off");
  }
}

void BuiltInHost::SaveDevices() {
  try {
    devices_.Save();
  } catch (const std::exception& e) {
    writelog("Host ERROR", std::string("Saving the device table failed: ") + e.what());
  }
}

void BuiltInHost::writelog(const std::string& category, const std::string& text) {
  log_.Write(category, text);
}

void BuiltInHost::Speak(const std::string& text) {
  if (!have_espeak_) {
    writelog("Speak", text + " (not spoken: espeak-ng is not installed)");
    return;
  }
  writelog("Speak", text);
  pid_t pid = 0;
  const char* argv[] = {"espeak-ng", "--", text.c_str(), nullptr};
  if (posix_spawnp(&pid, "espeak-ng", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
      0) {
    writelog("Speak", "espeak-ng could not be started");
    return;
  }
  // Speech runs on while the plug-in goes on; reap the child when it is done.
  std::thread([pid] {
    int status = 0;
    waitpid(pid, &status, 0);
  }).detach();
}

std::string BuiltInHost::Version() {
  return std::string("Quellbrook stand-alone host ") + kVersionText;
}

void BuiltInHost::RegisterLink(HostedPlugin& plugin) {
  linked_ = &plugin;
  writelog("Host", "Web link \"" + plugin.link() + "\" registered by " + plugin.PluginName());
}

int16_t BuiltInHost::CommandNumber(const std::string& command) {
  if (strcasecmp(command.c_str(), "On") == 0) return 2;
  if (strcasecmp(command.c_str(), "Off") == 0) return 3;
  if (strcasecmp(command.c_str(), "Dim") == 0) return 4;
  if (strcasecmp(command.c_str(), "Bright") == 0) return 5;
  return 0;
}

std::shared_ptr<DeviceRecord> BuiltInHost::Require(const std::string& code) {
  auto d = devices_.ByCode(code);
  if (!d) throw HostError("no host device has the code \"" + code + "\"");
  return d;
}

void BuiltInHost::ExecX10(const std::string& device, const std::string& command,
                          int32_t brightness) {
  const int16_t number = CommandNumber(command);
  if (number == 0)
    throw HostError("unknown device command \"" + command + "\" (use On, Off, Dim or Bright)");
  auto d = Require(device);
  d->Status = number == 2 ? 2 : number == 3 ? 3 : 4;
  devices_.MarkChanged();
  if (plugin_ && d->interface == plugin_->PluginName()) {
    TableDevice dv(d, devices_);
    // Copies: the plug-in lets requests run while it works, and one may change the device.
    const std::string hc = d->hc, dc = d->dc;
    plugin_->SetIO(&dv, hc, dc, number, static_cast<int16_t>(brightness), 0, 0);
  }
  if (command_done_) {
    auto done = command_done_;  // the handler may be replaced while it runs
    done();
  }
}

std::shared_ptr<HostDevice> BuiltInHost::GetDevice(int32_t index_or_ref) {
  auto d = devices_.Get(index_or_ref);
  if (!d)
    throw HostError("no host device has the index or reference " + std::to_string(index_or_ref));
  return std::make_shared<TableDevice>(d, devices_);
}

int32_t BuiltInHost::NewDevice(const std::string& name) {
  const int32_t ref = devices_.Add(name);
  devices_.Get(ref)->lastChange = clock_.Now();
  return ref;  // saved with the next periodic save, as every other change
}

void BuiltInHost::DeleteDevice(int32_t ref) {
  if (!devices_.Remove(ref))
    throw HostError("no host device has the reference " + std::to_string(ref));
  SaveDevices();
}

std::string BuiltInHost::DeviceString(const std::string& code) {
  return Require(code)->string;
}

HostTime BuiltInHost::DeviceLastChange(const std::string& code) {
  return Require(code)->lastChange;
}

void BuiltInHost::SetDeviceValue(const std::string& code, double value) {
  Require(code)->value = value;
  devices_.MarkChanged();
}

void BuiltInHost::SetDeviceStatus(const std::string& code, int32_t status) {
  Require(code)->Status = status;
  devices_.MarkChanged();
}

void BuiltInHost::SetDeviceString(const std::string& code, const std::string& text) {
  Require(code)->string = text;
  devices_.MarkChanged();
}

void BuiltInHost::SetDeviceLastChange(const std::string& code, HostTime when) {
  Require(code)->lastChange = when;
  devices_.MarkChanged();
}

void BuiltInHost::SetDeviceStale(const std::string& code, bool stale) {
  auto device = Require(code);
  if (device->stale == stale) return;
  // Stored, so that a device gone before a restart is shown as gone at once after it.
  device->stale = stale;
  devices_.MarkChanged();
}

void BuiltInHost::WriteSplash(const std::string& text) {
  writelog("Startup", text);
}

void BuiltInHost::RegisterMenu(const std::string& title, const std::string& entry) {
  writelog("Host", "Menu entry \"" + entry + "\" registered by " + title);
  if (std::find(menu_entries_.begin(), menu_entries_.end(), entry) == menu_entries_.end())
    menu_entries_.push_back(entry);
}

int32_t BuiltInHost::GetNextFreeIOCode() {
  auto used = [&](char c) {
    for (const auto& d : devices_.All()) {
      if (d->hc.size() == 1 && d->hc[0] == c) return true;
    }
    return false;
  };
  for (char c = 'A'; c <= 'Z'; ++c) {
    if (!used(c)) return c;
  }
  for (char c = 'a'; c <= 'z'; ++c) {
    if (!used(c)) return c;
  }
  return -1;
}

}  // namespace qb
