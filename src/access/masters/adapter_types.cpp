#include "access/masters/adapter_types.h"

#include <cctype>

namespace qb::access {

namespace {

bool IsWholeNumber(const std::string& s) {
  if (s.empty() || s.size() > 6) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string DevicePath(const std::string& base, const std::string& number) {
  if (!number.empty() && number[0] == '/') return number;
  if (IsWholeNumber(number) && std::stoi(number) >= 1)
    return base + std::to_string(std::stoi(number) - 1);
  return number;  // not a number: handed on, and refused by the adapter with a message naming it
}

}  // namespace

AdapterPort LookUpAdapterPort(const std::string& adapter_type, const std::string& port_number) {
  const std::string head = adapter_type.substr(0, 7);
  AdapterPort p;
  if (head == "SIM") {
    p.prefix = "";
    p.port_type = 0;
    p.port_text = port_number;
  } else if (head == "W1") {
    // A kernel master: its number, its sysfs name, or W1 for the first.
    p.prefix = "";
    p.port_type = 0;
    p.port_text = port_number.empty() ? "W1" : port_number;
  } else if (head == "DS1410D" || head == "DS1410E") {
    p.prefix = "LPT";
    p.port_type = 2;
    p.port_text = DevicePath("/dev/parport", port_number);
  } else if (head == "DS9097U" || head == "DS1411") {
    p.prefix = "COM";
    p.port_type = 5;
    p.port_text = DevicePath("/dev/ttyS", port_number);
  } else if (head == "DS2490" || head == "DS1490") {
    p.prefix = "USB";
    p.port_type = 6;
    p.port_text = "USB";
    p.clears_port = true;
  } else if (head == "DS2482") {
    p.prefix = "I2C";
    p.port_type = 7;
    p.port_text = port_number;  // the bus node, the address and the channel, used as written
  } else {
    p.prefix = "COM";
    p.port_type = 1;
    p.port_text = DevicePath("/dev/ttyS", port_number);
  }
  return p;
}

std::string AdapterTypeForPortType(const std::string& port_type) {
  if (port_type == "SIM") return "SIM";
  if (port_type == "W1") return "W1";
  if (port_type == "1") return "DS9097E";
  if (port_type == "2") return "DS1410E";
  if (port_type == "5") return "DS9097U";
  if (port_type == "7") return "DS2482";
  return "DS1490";
}

}  // namespace qb::access
