#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "access/adapter.h"
#include "access/masters/adapter_detection.h"

namespace qb::access {

// Opens the port of one adapter type; throws AccessError when it cannot.
using AdapterOpener = std::function<std::unique_ptr<BusMaster>(const std::string& port)>;

// The access provider: opens adapters by type name ("{DS9097U}", "{SIM}") and port.
class OneWireAccessProvider {
 public:
  // Registers an adapter type under its name (without braces, case-insensitive).
  void RegisterAdapterType(const std::string& type, AdapterOpener opener);

  // Opens the adapter of `type` (with or without braces) on `port`. An unknown type, or a port
  // the type cannot open, raises an AccessError whose text names both.
  std::unique_ptr<DSPortAdapter> openAdapter(const std::string& type,
                                             const std::string& port) const;
  // Opens the system's default adapter as the default-adapter file names it (see
  // ReadDefaultAdapter). Without that file, and with a detection set, the first adapter
  // detection finds is opened, and the log says which.
  std::unique_ptr<DSPortAdapter> openDefaultAdapter() const;

  // How openDefaultAdapter finds an adapter when there is no default-adapter file (DetectAdapters
  // in the product), and where it says which one it took.
  void SetAdapterDetection(std::function<std::vector<FoundAdapter>()> detect,
                           std::function<void(const std::string&)> log) {
    detect_ = std::move(detect);
    detect_log_ = std::move(log);
  }

  // The file that names the system's default adapter (see ReadDefaultAdapter).
  void SetDefaultAdapterFile(std::string path) { default_file_ = std::move(path); }
  const std::string& DefaultAdapterFile() const { return default_file_; }

 private:
  std::map<std::string, AdapterOpener> types_;
  std::string default_file_ = "/etc/quellbrook-1wire/default-adapter.ini";
  std::function<std::vector<FoundAdapter>()> detect_;
  std::function<void(const std::string&)> detect_log_;
};

// The system's default adapter, as the driver's registry values held it: a port number and a
// port type, from an INI file with the keys "DefaultPortNum" and "DefaultPortType" in the section
// [DefaultAdapter]. A missing file or value reads as 1 (a serial adapter on the first port).
struct DefaultAdapter {
  std::string port_number = "1";
  std::string port_type = "1";
};
DefaultAdapter ReadDefaultAdapter(const std::string& path);

}  // namespace qb::access
