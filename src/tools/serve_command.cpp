#include "tools/serve_command.h"

#include <exception>

#include "sim/bus_file.h"

namespace qb {

std::shared_ptr<sim::SimBus> LoadServedBus(const std::string& bus_file, Clock& clock,
                                           std::ostream& err) {
  try {
    return sim::LoadBusFile(bus_file, clock);
  } catch (const std::exception& e) {
    err << "quellbrook-bus: " << e.what() << "\n";
    return nullptr;
  }
}

std::vector<char*> ExecArgv(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

}  // namespace qb
