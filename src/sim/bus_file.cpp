#include "sim/bus_file.h"

#include <fstream>
#include <set>
#include <stdexcept>

#include "access/crc.h"
#include "access/provider.h"
#include "sim/generic_model.h"
#include "sim/models.h"

namespace qb::sim {

namespace {

using nlohmann::json;

struct FamilyModel {
  uint8_t family;
  ModelMaker make;  // null: the ROM layer only
  std::vector<std::string> keys;
};

const std::vector<FamilyModel>& Models() {
  static const std::vector<FamilyModel> models = {
      {0x01, nullptr, {}},
      {0x04, MakeDS1994Model, {"clock", "running", "interval", "cycles"}},
      {0x05, MakeDS2405Model, {"latches", "levels"}},
      {0x10, MakeDS18S20Model, {"temperature", "alarm_low", "alarm_high", "power"}},
      {0x12, MakeDS2406Model, {"latches", "levels"}},
      {0x1D, MakeDS2423Model, {"counters"}},
      {0x1F, MakeDS2409Model, {"latches", "levels"}},
      {0x20, MakeDS2450Model, {"inputs"}},
      {0x21, MakeDS1921Model, {"temperature", "clock", "running", "alarm_low", "alarm_high"}},
      {0x22, MakeDS1822Model, {"temperature", "alarm_low", "alarm_high", "resolution", "power"}},
      {0x26, MakeDS2438Model, {"temperature", "vdd", "vad", "vsense_mv"}},
      {0x28, MakeDS18B20Model, {"temperature", "alarm_low", "alarm_high", "resolution", "power"}},
      {0x2C, MakeDS2890Model, {"wiper"}},
      {0x30, MakeDS2760Model, {"temperature", "voltage", "vsense_mv"}},
      {0x3A, MakeDS2413Model, {"latches", "levels"}},
      {0x29, MakeDS2408Model, {"latches", "levels"}},
      {0x42,
       MakeDS28EA00Model,
       {"temperature", "alarm_low", "alarm_high", "resolution", "power", "latches", "levels"}},
      // memory families
      {0x02, MakeDS1991Model, {"scratchpad"}},
      {0x06, MakeDS1993Model, {"memory"}},
      {0x08, MakeDS1992Model, {"memory"}},
      {0x09, MakeDS1982Model, {"memory", "status"}},
      {0x0A, MakeDS1995Model, {"memory"}},
      {0x0B, MakeDS1985Model, {"memory", "status"}},
      {0x0C, MakeDS1996Model, {"memory"}},
      {0x0F, MakeDS1986Model, {"memory", "status"}},
      {0x13, MakeDS1983Model, {"memory", "status"}},
      {0x14, MakeDS1971Model, {"memory", "application"}},
      {0x18, MakeDS1963SModel, {"memory"}},
      {0x1A, MakeDS1963LModel, {"memory"}},
      {0x23, MakeDS1973Model, {"memory"}},
      {0x33, MakeDS1961SModel, {"memory"}},
  };
  return models;
}

const FamilyModel* FindModel(uint8_t family) {
  for (const auto& m : Models()) {
    if (m.family == family) return &m;
  }
  return nullptr;
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& i : items) out += (out.empty() ? "" : ", ") + i;
  return out.empty() ? "none" : out;
}

std::unique_ptr<SimDevice> BuildDevice(const json& d, size_t index, std::set<access::RomId>& seen) {
  const std::string where = "device " + std::to_string(index + 1);
  if (!d.is_object()) throw std::invalid_argument(where + ": expected an object with a \"rom\"");
  if (!d.contains("rom") || !d["rom"].is_string())
    throw std::invalid_argument(where + ": \"rom\" (16 hexadecimal digits) is missing");
  const std::string text = d["rom"].get<std::string>();
  auto rom = text.size() == 16 ? access::RomId::Parse(text) : std::nullopt;
  if (!rom)
    throw std::invalid_argument(where + ": \"" + text +
                                "\" is not a ROM id of 16 hexadecimal digits");
  const std::string name = "device " + text;
  if (!rom->CrcValid()) {
    const uint8_t crc = access::Crc8(rom->bytes.data(), 7);
    throw std::invalid_argument(
        name + ": wrong CRC (for this family and serial number the first two digits are " +
        access::FamilyText(crc) + ")");
  }
  if (!seen.insert(*rom).second) throw std::invalid_argument(name + ": appears twice");
  const FamilyModel* model = FindModel(rom->family());
  if (!model) {
    std::vector<std::string> families;
    for (const auto& m : Models()) families.push_back(access::FamilyText(m.family));
    throw std::invalid_argument(name + ": the simulator has no model of family " +
                                access::FamilyText(rom->family()) + " (it simulates " +
                                Join(families) + ")");
  }
  for (const auto& [key, value] : d.items()) {
    if (key == "rom" || key == "present" || key == "faults" || key == "comment") continue;
    if (std::find(model->keys.begin(), model->keys.end(), key) == model->keys.end()) {
      throw std::invalid_argument(name + ": unknown key \"" + key + "\" (family " +
                                  access::FamilyText(rom->family()) + " takes " +
                                  Join(model->keys) + ")");
    }
  }
  std::unique_ptr<SimDevice> device =
      model->make ? model->make(*rom, d) : std::make_unique<GenericModel>(*rom);
  if (d.contains("present"))
    device->faults().present = ParseValueSource(d["present"], name + " \"present\"");
  if (d.contains("faults")) {
    const json& f = d["faults"];
    if (!f.is_object())
      throw std::invalid_argument(
          name + ": \"faults\" must be an object such as {\"crc_error_rate\": 0.1}");
    for (const auto& [key, value] : f.items()) {
      if (key != "crc_error_rate")
        throw std::invalid_argument(name + ": unknown fault \"" + key + "\" (use crc_error_rate)");
      if (!value.is_number() || value.get<double>() < 0 || value.get<double>() > 1) {
        throw std::invalid_argument(name + ": \"crc_error_rate\" must be a number from 0 to 1");
      }
      device->faults().crc_error_rate = value.get<double>();
    }
  }
  return device;
}

}  // namespace

std::vector<std::string> FamilyKeys(uint8_t family) {
  const FamilyModel* m = FindModel(family);
  return m ? m->keys : std::vector<std::string>{};
}

std::shared_ptr<SimBus> BuildBus(const json& doc, Clock& clock, const std::string& source) {
  try {
    if (!doc.is_object() || !doc.contains("devices") || !doc["devices"].is_array()) {
      throw std::invalid_argument("expected an object with a \"devices\" list");
    }
    auto bus = std::make_shared<SimBus>(clock);
    std::set<access::RomId> seen;
    for (size_t i = 0; i < doc["devices"].size(); ++i)
      bus->Add(BuildDevice(doc["devices"][i], i, seen));
    if (doc.contains("program_voltage")) {
      // Whether the bus master can put a 12 V program pulse on the line (EPROM programming).
      if (!doc["program_voltage"].is_boolean())
        throw std::invalid_argument("\"program_voltage\" must be true or false");
      bus->SetProgramVoltage(doc["program_voltage"].get<bool>());
    }
    if (doc.contains("faults")) {
      const json& f = doc["faults"];
      if (!f.is_object())
        throw std::invalid_argument(
            "the bus's \"faults\" must be an object such as {\"short\": false}");
      for (const auto& [key, value] : f.items()) {
        if (key != "short")
          throw std::invalid_argument("unknown bus fault \"" + key + "\" (use short)");
        bus->SetShort(ParseValueSource(value, "bus fault \"short\""));
      }
    }
    return bus;
  } catch (const std::exception& e) {
    throw std::runtime_error(source + ": " + e.what());
  }
}

std::shared_ptr<SimBus> LoadBusFile(const std::string& path, Clock& clock) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read the bus file " + path);
  json doc;
  try {
    doc = json::parse(in);
  } catch (const json::parse_error& e) {
    throw std::runtime_error(path + ": not valid JSON (" + e.what() + ")");
  }
  return BuildBus(doc, clock, path);
}

void RegisterSimAdapter(access::OneWireAccessProvider& provider, Clock& clock) {
  provider.RegisterAdapterType(
      "SIM", [&clock](const std::string& port) -> std::unique_ptr<access::BusMaster> {
        return std::make_unique<SimBusMaster>(LoadBusFile(port, clock), "simulated bus " + port);
      });
}

}  // namespace qb::sim
