// Recorded DS2480B conversations: our master talking to the emulated adapter, kept as text in
// tests/fixtures/ds2480b/. Each capture is checked both ways:
//   - the master, run against a link that plays the recorded answers back, must send exactly the
//     recorded bytes and reach the recorded result;
//   - a fresh emulation fed the recorded host bytes must give exactly the recorded answers.
// A deliberate change to either side is taken into the captures with
// scripts/regenerate-captures.sh (QB_REGENERATE_CAPTURES=1 makes this test write them).
//
// Capture format: the pseudo-terminal server's recording lines ("> C1 17" bytes from the host,
// "< CD" bytes the host read, one line per write or read), plus "! break", "! baud N",
// "! discard" and "! wait MS" for the link's other calls and the master's waits, and "#" comment
// lines; "# result: ..." holds what the scenario read.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "access/adapter.h"
#include "access/families.h"
#include "access/masters/ds2480b_master.h"
#include "access/memory_bank.h"
#include "platform/clock.h"
#include "sim/bus_file.h"
#include "sim/emulations/ds2480b_emulator.h"
#include "sim/emulations/emulated_serial_link.h"

namespace qb {
namespace {

using access::RomId;
using nlohmann::json;

struct Record {
  char kind;                   // '>', '<', '!'
  std::vector<uint8_t> bytes;  // for '>' and '<'
  std::string event;           // for '!': "break", "baud 115200", "discard", "wait 750"
  bool operator==(const Record&) const = default;
};

std::string Format(const Record& r) {
  if (r.kind == '!') return "! " + r.event;
  std::string line(1, r.kind);
  for (uint8_t b : r.bytes) line += " " + access::BytesToHexText(&b, 1);
  return line;
}

std::vector<Record> ParseCapture(const std::string& text, std::string& result) {
  std::vector<Record> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# result: ", 0) == 0) result = line.substr(10);
    if (line.empty() || line[0] == '#') continue;
    Record r{line[0], {}, {}};
    if (r.kind == '!') {
      r.event = line.substr(2);
    } else {
      std::istringstream bytes(line.substr(1));
      std::string hex;
      while (bytes >> hex) r.bytes.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
    }
    out.push_back(std::move(r));
  }
  return out;
}

// Passes every call on to the link below and writes it down.
class RecordingLink : public access::SerialLink {
 public:
  RecordingLink(std::unique_ptr<access::SerialLink> inner, std::vector<Record>& records)
      : records_(records), inner_(std::move(inner)) {}
  void Write(const uint8_t* data, size_t length) override {
    records_.push_back({'>', {data, data + length}, {}});
    inner_->Write(data, length);
  }
  size_t Read(uint8_t* data, size_t length, std::chrono::milliseconds timeout) override {
    const size_t n = inner_->Read(data, length, timeout);
    if (n) records_.push_back({'<', {data, data + n}, {}});
    return n;
  }
  void SendBreak() override {
    records_.push_back({'!', {}, "break"});
    inner_->SendBreak();
  }
  void SetBaudRate(int baud) override {
    records_.push_back({'!', {}, "baud " + std::to_string(baud)});
    inner_->SetBaudRate(baud);
  }
  void DiscardInput() override {
    records_.push_back({'!', {}, "discard"});
    inner_->DiscardInput();
  }
  std::string Describe() const override { return "/dev/ttyCAPTURE"; }
  void Waited(std::chrono::milliseconds d) {
    records_.push_back({'!', {}, "wait " + std::to_string(d.count())});
  }

 private:
  std::vector<Record>& records_;  // outlives the link, which the master owns
  std::unique_ptr<access::SerialLink> inner_;
};

// Plays a capture's answers back and checks every call against it.
class ReplayLink : public access::SerialLink {
 public:
  ReplayLink(const std::vector<Record>& records, size_t& next) : records_(records), next_(next) {}
  void Write(const uint8_t* data, size_t length) override {
    Expect({'>', {data, data + length}, {}});
  }
  size_t Read(uint8_t* data, size_t length, std::chrono::milliseconds) override {
    if (next_ >= records_.size() || records_[next_].kind != '<') return 0;  // nothing came
    const Record& r = records_[next_++];
    if (r.bytes.size() > length) Mismatch("a read of " + std::to_string(length) + " bytes");
    std::copy(r.bytes.begin(), r.bytes.end(), data);
    return r.bytes.size();
  }
  void SendBreak() override { Expect({'!', {}, "break"}); }
  void SetBaudRate(int baud) override { Expect({'!', {}, "baud " + std::to_string(baud)}); }
  void DiscardInput() override { Expect({'!', {}, "discard"}); }
  std::string Describe() const override { return "/dev/ttyCAPTURE"; }
  void Waited(std::chrono::milliseconds d) {
    Expect({'!', {}, "wait " + std::to_string(d.count())});
  }

 private:
  void Expect(const Record& got) {
    if (next_ >= records_.size() || !(records_[next_] == got)) Mismatch(Format(got));
    ++next_;
  }
  [[noreturn]] void Mismatch(const std::string& got) {
    const std::string want = next_ < records_.size() ? Format(records_[next_]) : "the end";
    ADD_FAILURE() << "capture line " << next_ + 1 << " (not counting comments): the master did "
                  << got << " where the capture has " << want;
    throw std::runtime_error("capture mismatch");
  }
  const std::vector<Record>& records_;
  size_t& next_;  // outlives the link, which the master owns
};

// --- Scenarios ---------------------------------------------------------------------------------

struct Scenario {
  std::string name;
  std::string description;
  json bus;
  // Faults on the answers, by index counted from the first answer byte.
  std::vector<size_t> dropped_answers;
  // Runs the master on the adapter and returns what it read, as text.
  std::function<std::string(access::DSPortAdapter&, access::DS2480BMaster&)> run;
};

void PrintTo(const Scenario& s, std::ostream* out) {
  *out << s.name;
}

std::string ReadTemperature(access::DSPortAdapter& adapter, const std::string& rom) {
  auto c = access::CreateContainer(RomId::Parse(rom)->family());
  c->SetupContainer(&adapter, rom);
  access::DeviceState s = c->readDevice();
  c->doTemperatureConvert(s);
  std::ostringstream out;
  out << rom << "=" << c->getTemperature(s);
  return out.str();
}

// Hexadecimal text of bytes, for a scenario's result.
std::string Hex(const access::Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 0x0F];
  }
  return out;
}

access::PagedMemoryBank& Bank(const access::MemoryBanks& banks, size_t i) {
  return dynamic_cast<access::PagedMemoryBank&>(*banks.at(i));
}

// Memory written through the scratchpad and read back on each kind of device that has one: NV
// RAM, NV RAM with page counters and CRC16 transfers, EEPROM copied under strong pull-up, and the
// register pages of the two clock iButtons (written field by field, read twice or with a CRC).
std::string ScratchpadMemory(access::DSPortAdapter& adapter) {
  std::string out;
  auto open = [&](uint8_t family) {
    auto c = access::CreateContainer(family);
    c->SetupContainer(&adapter, RomId::Make(family, 0x77).ToString());
    return c;
  };
  access::Bytes text(20);
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>('a' + i);

  auto nvram = open(0x06);  // two scratchpad windows in one write
  auto banks = nvram->getMemoryBanks();
  Bank(banks, 0).write(20, text);
  out += "nvram=" + Hex(Bank(banks, 0).read(20, 20)) + " ";

  auto counted = open(0x1A);  // a whole page: Write Scratchpad ends with a CRC16
  banks = counted->getMemoryBanks();
  Bank(banks, 1).write(32, access::Bytes(32, 0x5A));
  Bank(banks, 0).write(5, {1, 2, 3});
  const access::PageRead page = Bank(banks, 1).readPage(1);
  out += "counted=" + Hex(page.data) + "/" + Hex(page.extra) + " " +
         Hex(Bank(banks, 0).readPage(0).data) + " ";

  auto eeprom = open(0x23);  // the copy under strong pull-up
  banks = eeprom->getMemoryBanks();
  Bank(banks, 0).write(40, {9, 8, 7, 6});
  out += "eeprom=" + Hex(Bank(banks, 0).read(40, 4)) + " ";

  auto clock = open(0x04);  // register fields through the scratchpad, the page read twice
  access::DeviceState s = clock->readDevice();
  clock->setClockAlarm(86'400'000, s);
  clock->setClockRunEnable(true, s);
  clock->writeDevice(s);
  out += "clock=" + Hex(clock->readDevice()) + " ";

  auto logger = open(0x21);  // register page read with CRC16, and its SRAM bank
  s = logger->readDevice();
  logger->setTemperatureAlarm(access::ALARM_HIGH, 30, s);
  logger->writeDevice(s);
  out += "logger=" + Hex(logger->readDevice());
  banks = logger->getMemoryBanks();
  Bank(banks, 0).write(60, {0xC0, 0xFF, 0xEE});
  out += " " + Hex(Bank(banks, 0).readPage(1).data);
  return out;
}

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> list;
  list.push_back({"search_mixed_bus",
                  "a search of a mixed bus, device by device and with the search accelerator",
                  json::parse(R"({"devices": [
         {"rom": "940000000001E228", "temperature": 21.5},
         {"rom": "640000000002F210", "temperature": 19},
         {"rom": "8C00000000031B26", "temperature": 22, "vdd": 5.0, "vad": 2.9},
         {"rom": "E900000000045120", "inputs": [1.2, 2.5, 0.3, 1]},
         {"rom": "4800000000066912", "latches": [false, true], "levels": [true, false]},
         {"rom": "B90000000007132C", "wiper": 128}]})"),
                  {},
                  [](access::DSPortAdapter& adapter, access::DS2480BMaster& master) {
                    std::string out;
                    for (bool more = adapter.findFirstDevice(); more;
                         more = adapter.findNextDevice())
                      out += adapter.getAddressAsString() + " ";
                    out += "|";
                    for (const RomId& rom : master.SearchAll()) out += " " + rom.ToString();
                    return out;
                  }});
  list.push_back({"temperature_read",
                  "a DS18B20 on its own supply and a parasite-powered DS18S20 read",
                  json::parse(R"({"devices": [
         {"rom": "940000000001E228", "temperature": 21.5},
         {"rom": "640000000002F210", "temperature": -10.5, "power": "parasite"}]})"),
                  {},
                  [](access::DSPortAdapter& adapter, access::DS2480BMaster&) {
                    return ReadTemperature(adapter, "940000000001E228") + " " +
                           ReadTemperature(adapter, "640000000002F210");
                  }});
  list.push_back({"crc_error_retry",
                  "a thermometer whose answers fail their CRC three times in ten, and a lost "
                  "adapter reply: the "
                  "reads are retried and come out right",
                  json::parse(R"({"devices": [
         {"rom": "940000000001E228", "temperature": 23.25, "faults": {"crc_error_rate": 0.3}}]})"),
                  {40},
                  [](access::DSPortAdapter& adapter, access::DS2480BMaster& master) {
                    std::string out = ReadTemperature(adapter, "940000000001E228") + " " +
                                      ReadTemperature(adapter, "940000000001E228");
                    // Two clean reads take six resets (each: the scratchpad, Convert T, the
                    // scratchpad again); more show the transactions were retried, so the capture
                    // still holds what its name says.
                    const bool retried = master.Stats().resets[0] > 6;
                    return out + " resyncs=" + std::to_string(master.Resyncs()) +
                           (retried ? " retried" : " not retried");
                  }});
  list.push_back({"scratchpad_memory",
                  "memory written through the scratchpad and read back on NV RAM, NV RAM with "
                  "page counters, EEPROM and the register pages of the clock iButtons",
                  json{{"devices",
                        {{{"rom", RomId::Make(0x06, 0x77).ToString()}},
                         {{"rom", RomId::Make(0x1A, 0x77).ToString()}},
                         {{"rom", RomId::Make(0x23, 0x77).ToString()}},
                         {{"rom", RomId::Make(0x04, 0x77).ToString()}, {"running", true}},
                         {{"rom", RomId::Make(0x21, 0x77).ToString()}, {"temperature", 21}}}}},
                  {},
                  [](access::DSPortAdapter& adapter, access::DS2480BMaster&) {
                    return ScratchpadMemory(adapter);
                  }});
  return list;
}

struct EmulatedLine {
  SimulatedClock clock;
  std::shared_ptr<sim::SimBus> bus;
  std::shared_ptr<sim::DS2480BEmulator> chip;
  std::unique_ptr<sim::EmulatedSerialLink> link;
  explicit EmulatedLine(const Scenario& s) {
    bus = sim::BuildBus(s.bus, clock, s.name);
    chip = std::make_shared<sim::DS2480BEmulator>(bus);
    link = std::make_unique<sim::EmulatedSerialLink>(chip, "/dev/ttyCAPTURE");
    for (size_t i : s.dropped_answers) link->DropAnswerByte(i);
  }
};

// Runs a scenario with the master on `link`; `waited` notes each wait.
template <typename Link>
std::string RunMaster(const Scenario& s, std::unique_ptr<Link> link, Link*& seen,
                      const std::function<void(std::chrono::milliseconds)>& advance) {
  seen = link.get();
  access::DS2480BMaster::Options options;
  options.wait = [&seen, advance](std::chrono::milliseconds d) {
    seen->Waited(d);
    advance(d);
  };
  auto master = std::make_unique<access::DS2480BMaster>(std::move(link), options);
  access::DS2480BMaster& m = *master;
  m.Open();
  access::DSPortAdapter adapter("DS9097U", "/dev/ttyCAPTURE", std::move(master));
  return s.run(adapter, m);
}

std::filesystem::path CapturePath(const Scenario& s) {
  return std::filesystem::path(QB_FIXTURES_DIR) / "ds2480b" / (s.name + ".txt");
}

class RecordedTraffic : public ::testing::TestWithParam<Scenario> {};

TEST_P(RecordedTraffic, MasterAndEmulationSpeakAsRecorded) {
  const Scenario& s = GetParam();
  if (std::getenv("QB_REGENERATE_CAPTURES")) {
    EmulatedLine setup(s);
    std::vector<Record> records;
    RecordingLink* rec = nullptr;
    const std::string result =
        RunMaster(s, std::make_unique<RecordingLink>(std::move(setup.link), records), rec,
                  [&](std::chrono::milliseconds d) { setup.clock.Advance(d); });
    std::ofstream out(CapturePath(s));
    out << "# DS2480B conversation: " << s.description << ".\n"
        << "# Written by scripts/regenerate-captures.sh; checked by recorded_traffic_test.cpp.\n"
        << "# result: " << result << "\n";
    for (const Record& r : records) out << Format(r) << "\n";
    ASSERT_TRUE(out.good()) << CapturePath(s);
    return;
  }

  std::ifstream in(CapturePath(s));
  ASSERT_TRUE(in) << "missing capture " << CapturePath(s) << "; run scripts/regenerate-captures.sh";
  std::stringstream text;
  text << in.rdbuf();
  std::string want_result;
  const std::vector<Record> records = ParseCapture(text.str(), want_result);
  ASSERT_FALSE(records.empty());

  // The master against the recorded answers.
  {
    ReplayLink* replay = nullptr;
    size_t replayed = 0;
    std::string result;
    try {
      result = RunMaster(s, std::make_unique<ReplayLink>(records, replayed), replay,
                         [](std::chrono::milliseconds) {});
    } catch (const std::exception& e) {
      ADD_FAILURE() << "the master stopped: " << e.what();
    }
    EXPECT_EQ(result, want_result);
    EXPECT_EQ(replayed, records.size()) << "the master did less than the capture";
  }

  // A fresh emulation fed the recorded host side.
  EmulatedLine setup(s);
  size_t line = 0;
  for (const Record& r : records) {
    ++line;
    if (r.kind == '>') {
      setup.link->Write(r.bytes.data(), r.bytes.size());
    } else if (r.kind == '<') {
      std::vector<uint8_t> got(r.bytes.size());
      got.resize(setup.link->Read(got.data(), got.size(), std::chrono::milliseconds(0)));
      ASSERT_EQ(Format({'<', got, {}}), Format(r)) << "record " << line;
    } else if (r.event == "break") {
      setup.link->SendBreak();
    } else if (r.event == "discard") {
      setup.link->DiscardInput();
    } else if (r.event.rfind("baud ", 0) == 0) {
      setup.link->SetBaudRate(std::stoi(r.event.substr(5)));
    } else if (r.event.rfind("wait ", 0) == 0) {
      setup.clock.Advance(std::chrono::milliseconds(std::stoi(r.event.substr(5))));
    } else {
      FAIL() << "unknown capture line " << Format(r);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Captures, RecordedTraffic, ::testing::ValuesIn(Scenarios()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace qb
