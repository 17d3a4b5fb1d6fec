#include <filesystem>
#include <fstream>

#include "access/adapter.h"
#include "access/masters/adapter_types.h"
#include "access/masters/serial_adapters.h"
#include "access/provider.h"
#include "dialog/bus_claim.h"

namespace qb::dialog {

AutodetectResult Autodetect(const std::string& default_adapter_file,
                            const std::vector<std::string>& extra_ports) {
  std::vector<std::pair<std::string, std::string>> ports;  // settings form, device
  for (int n = 1; n <= 4; ++n) {
    const std::string number = std::to_string(n);
    ports.emplace_back(number, access::LookUpAdapterPort("DS9097U", number).port_text);
  }
  for (int n = 0; n < 4; ++n) {
    const std::string path = "/dev/ttyUSB" + std::to_string(n);
    ports.emplace_back(path, path);
  }
  for (const auto& p : extra_ports) ports.emplace_back(p, p);

  AutodetectResult result;
  access::OneWireAccessProvider provider;
  access::RegisterSerialAdapters(provider);
  std::string tried;
  for (const auto& [number, device] : ports) {
    std::error_code ec;
    if (!std::filesystem::exists(device, ec)) continue;
    tried += (tried.empty() ? "" : ", ") + device;
    try {
      auto adapter = provider.openAdapter("{DS9097U}", device);
      adapter->freePort();
    } catch (const std::exception&) {
      continue;
    }
    result.found = true;
    result.port = number;
    result.port_text = device;
    break;
  }
  if (!result.found) {
    result.message = tried.empty() ? "No serial ports were found on this computer."
                                   : "No DS2480B adapter answered on " + tried + ".";
    return result;
  }
  std::error_code ec;
  const auto folder = std::filesystem::path(default_adapter_file).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  std::ofstream out(default_adapter_file, std::ios::trunc);
  out << "[DefaultAdapter]\nDefaultPortType=5\nDefaultPortNum=" << result.port << "\n";
  out.close();
  if (!out) {
    result.write_error = "Could not write " + default_adapter_file;
    result.message = "Found a DS2480B adapter on " + result.port_text + ", but " +
                     result.write_error + " (run as root?).";
  } else {
    result.message = "Found a DS2480B adapter on " + result.port_text + ".\n" +
                     "Saved as the default adapter in " + default_adapter_file + ".";
  }
  return result;
}

}  // namespace qb::dialog
