#include <filesystem>
#include <fstream>

#include "access/masters/adapter_detection.h"
#include "access/masters/adapter_types.h"
#include "dialog/bus_claim.h"

namespace qb::dialog {

namespace {

// The port as the settings hold it: a number for the first serial ports ("/dev/ttyS0" is 1),
// the device or port text for the rest.
std::string SettingsPort(const access::FoundAdapter& a) {
  const std::string ttys = "/dev/ttyS";
  if (a.type == "DS9097U" && a.port.rfind(ttys, 0) == 0 && a.port.size() == ttys.size() + 1 &&
      std::isdigit(static_cast<unsigned char>(a.port.back())))
    return std::to_string(a.port.back() - '0' + 1);
  if (a.type == "DS2490") return "1";
  return a.port;
}

}  // namespace

AutodetectResult Autodetect(const std::string& default_adapter_file,
                            const std::vector<std::string>& extra_ports) {
  access::DetectionOptions options;
  options.extra_serial_ports = extra_ports;
  return TakeFirstAdapter(default_adapter_file, access::DetectAdapters(options));
}

AutodetectResult TakeFirstAdapter(const std::string& default_adapter_file,
                                  const std::vector<access::FoundAdapter>& found) {
  AutodetectResult result;
  if (found.empty()) {
    result.message =
        "No 1-Wire adapter was found on this computer (looked for USB DS2490 adapters, DS2482 "
        "bridges on the I2C buses, Linux kernel 1-Wire masters and DS2480B serial adapters).";
    return result;
  }
  const access::FoundAdapter& first = found.front();
  result.found = true;
  result.type = first.type;
  result.port = SettingsPort(first);
  result.port_text = first.port;
  std::string text = "Found " + first.description + ".";
  for (size_t i = 1; i < found.size(); ++i)
    text += (i == 1 ? "\nAlso found: " : "; ") + found[i].type + " " + found[i].port;
  if (found.size() > 1) text += ".";

  // The default-adapter file names an adapter by driver port type: only the serial, USB and I2C
  // adapters have one.
  const access::AdapterPort port = access::LookUpAdapterPort(first.type, result.port);
  if (first.type != "DS9097U" && first.type != "DS2490" && first.type != "DS2482") {
    result.message = text +
                     "\nIt was not saved as the default adapter: the default adapter file "
                     "names only serial, USB and I2C adapters.";
    return result;
  }
  std::error_code ec;
  const auto folder = std::filesystem::path(default_adapter_file).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  std::ofstream out(default_adapter_file, std::ios::trunc);
  out << "[DefaultAdapter]\nDefaultPortType=" << port.port_type
      << "\nDefaultPortNum=" << result.port << "\n";
  out.close();
  if (!out) {
    result.write_error = "Could not write " + default_adapter_file;
    result.message = text + "\nBut " + result.write_error + " (run as root?).";
  } else {
    result.message = text + "\nSaved as the default adapter in " + default_adapter_file + ".";
  }
  return result;
}

}  // namespace qb::dialog
