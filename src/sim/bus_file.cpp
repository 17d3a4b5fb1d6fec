#include "sim/bus_file.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

#include "access/crc.h"
#include "access/provider.h"
#include "catalogue/family_table.h"
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
      {0x04, MakeDS1994Model, {"clock", "running", "interval", "cycles"}},
      {0x05, MakeDS2405Model, {"latches", "levels"}},
      {0x10, MakeDS18S20Model, {"temperature", "alarm_low", "alarm_high", "power"}},
      {0x12, MakeDS2406Model, {"latches", "levels"}},
      {0x1D, MakeDS2423Model, {"counters", "power_lost_every_s"}},
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

// The model of a family: its own, or for any other family of the catalogue (a serial-number
// button, a family known by name) the ROM layer alone, which is what such a part shows a plug-in
// that has no container for it.
std::optional<FamilyModel> FindModel(uint8_t family) {
  for (const auto& m : Models()) {
    if (m.family == family) return m;
  }
  if (FindFamily(family)) return FamilyModel{family, nullptr, {}};
  return std::nullopt;
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
  const std::optional<FamilyModel> model = FindModel(rom->family());
  if (!model) {
    std::vector<std::string> families;
    for (const auto& f : Families()) families.push_back(access::FamilyText(f.code));
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
    DeviceFaults& faults = device->faults();
    const std::pair<const char*, double*> rates[] = {{"crc_error_rate", &faults.crc_error_rate},
                                                     {"zeros_rate", &faults.zeros_rate},
                                                     {"power_on_rate", &faults.power_on_rate}};
    for (const auto& [key, value] : f.items()) {
      double* rate = nullptr;
      for (const auto& [known, target] : rates) {
        if (key == known) rate = target;
      }
      if (!rate) {
        throw std::invalid_argument(name + ": unknown fault \"" + key +
                                    "\" (use crc_error_rate, zeros_rate or power_on_rate)");
      }
      if (!value.is_number() || value.get<double>() < 0 || value.get<double>() > 1) {
        throw std::invalid_argument(name + ": \"" + key + "\" must be a number from 0 to 1");
      }
      *rate = value.get<double>();
    }
  }
  return device;
}

}  // namespace

std::vector<std::string> FamilyKeys(uint8_t family) {
  const std::optional<FamilyModel> m = FindModel(family);
  return m ? m->keys : std::vector<std::string>{};
}

std::shared_ptr<SimBus> BuildBus(const json& doc, Clock& clock, const std::string& source) {
  try {
    if (!doc.is_object() || !doc.contains("devices") || !doc["devices"].is_array()) {
      throw std::invalid_argument("expected an object with a \"devices\" list");
    }
    if (doc["devices"].size() > kMaxBusFileDevices) {
      throw std::invalid_argument("it lists " + std::to_string(doc["devices"].size()) +
                                  " devices; a bus file holds at most " +
                                  std::to_string(kMaxBusFileDevices));
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

namespace {

json ReadBusFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read the bus file " + path);
  std::error_code size_error;
  const uintmax_t size = std::filesystem::file_size(path, size_error);
  if (!size_error && size > kMaxBusFileBytes) {
    throw std::runtime_error(path + ": the bus file is " + std::to_string(size / (1024 * 1024)) +
                             " MB; a bus file may be at most " +
                             std::to_string(kMaxBusFileBytes / (1024 * 1024)) + " MB");
  }
  try {
    return json::parse(in);
  } catch (const json::parse_error& e) {
    throw std::runtime_error(path + ": not valid JSON (" + e.what() + ")");
  }
}

// What tells one version of a file from the next without reading it.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modified_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {true, st.st_dev, st.st_ino, st.st_size,
          static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

std::map<access::RomId, json> EntriesByRom(const json& doc) {
  std::map<access::RomId, json> entries;
  if (!doc.is_object() || !doc.contains("devices") || !doc["devices"].is_array()) return entries;
  for (const json& d : doc["devices"]) {
    if (!d.is_object() || !d.contains("rom") || !d["rom"].is_string()) continue;
    if (auto rom = access::RomId::Parse(d["rom"].get<std::string>())) entries[*rom] = d;
  }
  return entries;
}

json BusSettings(const json& doc) {
  json settings = doc.is_object() ? doc : json::object();
  settings.erase("devices");
  return settings;
}

// Watches one bus file for the bus it was loaded into.
class BusFileFollower {
 public:
  BusFileFollower(SimBus& bus, std::string path, std::function<void(const std::string&)> log)
      : bus_(bus), path_(std::move(path)), log_(std::move(log)) {
    stamp_ = StampOf(path_);
    try {
      good_ = ReadBusFile(path_);
    } catch (const std::exception&) {
      good_ = json::object();  // every device counts as edited at the first good read
    }
    checked_ = bus_.clock().MonotonicNow();
  }

  void Check() {
    const auto now = bus_.clock().MonotonicNow();
    if (now - checked_ < std::chrono::milliseconds(250)) return;
    checked_ = now;
    const FileStamp stamp = StampOf(path_);
    if (stamp == stamp_) return;
    stamp_ = stamp;
    json doc;
    std::shared_ptr<SimBus> edited;
    try {
      doc = ReadBusFile(path_);
      edited = BuildBus(doc, bus_.clock(), path_);
    } catch (const std::exception& e) {
      Log(std::string("edit ignored, the bus stays as it was: ") + e.what());
      return;
    }
    Apply(doc, *edited);
    good_ = std::move(doc);
  }

 private:
  void Log(const std::string& text) {
    if (log_) log_("bus file " + path_ + ": " + text);
  }

  void Apply(const json& doc, SimBus& edited) {
    const auto before = EntriesByRom(good_);
    const auto after = EntriesByRom(doc);
    int changed = 0, added = 0, removed = 0;
    for (const auto& [rom, entry] : before) {
      if (after.count(rom)) continue;
      if (bus_.Release(rom)) ++removed;
    }
    for (const auto& [rom, entry] : after) {
      auto old = before.find(rom);
      if (old != before.end() && old->second == entry && bus_.Find(rom)) continue;
      std::unique_ptr<SimDevice> fresh = edited.Release(rom);
      SimDevice* current = bus_.Find(rom);
      if (!current) {
        bus_.Add(std::move(fresh));
        ++added;
        continue;
      }
      ++changed;
      current->faults().crc_error_rate = fresh->faults().crc_error_rate;
      current->faults().zeros_rate = fresh->faults().zeros_rate;
      current->faults().power_on_rate = fresh->faults().power_on_rate;
      current->faults().present = std::move(fresh->faults().present);
      fresh->faults().present = Constant(1);
      if (!current->FollowValues(*fresh)) {
        bus_.Release(rom);
        bus_.Add(std::move(fresh));
      }
    }
    const bool settings = BusSettings(good_) != BusSettings(doc);
    if (settings) bus_.FollowSettings(edited);
    Log("read again (" + std::to_string(changed) + " changed, " + std::to_string(added) +
        " added, " + std::to_string(removed) + " removed" +
        (settings ? ", bus settings changed)" : ")"));
  }

  SimBus& bus_;
  std::string path_;
  std::function<void(const std::string&)> log_;
  FileStamp stamp_;
  json good_;
  Clock::Monotonic checked_{};
};

}  // namespace

std::shared_ptr<SimBus> LoadBusFile(const std::string& path, Clock& clock) {
  return BuildBus(ReadBusFile(path), clock, path);
}

void FollowBusFile(SimBus& bus, const std::string& path,
                   std::function<void(const std::string&)> log) {
  auto follower = std::make_shared<BusFileFollower>(bus, path, std::move(log));
  bus.SetBeforeReset([follower] { follower->Check(); });
}

void RegisterSimAdapter(access::OneWireAccessProvider& provider, Clock& clock,
                        std::function<void(const std::string&)> log) {
  provider.RegisterAdapterType(
      "SIM", [&clock, log](const std::string& port) -> std::unique_ptr<access::BusMaster> {
        auto bus = LoadBusFile(port, clock);
        FollowBusFile(*bus, port, log);
        return std::make_unique<SimBusMaster>(bus, "simulated bus " + port);
      });
}

}  // namespace qb::sim
