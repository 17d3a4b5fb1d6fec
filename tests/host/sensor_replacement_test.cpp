// The real program on a simulated bus: a failed thermometer is replaced by a new one that the scan
// has already found. POST /api/devices/{ref}/replace refuses a wrong family, a sensor that is not
// on the bus and a body that names none, changing nothing; then moves the host device, its settings
// and its history (SQLite and PostgreSQL) to the new sensor, whose own host device goes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "access/rom.h"
#include "logging/readings_table.h"
#include "platform/database.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string kOld = access::RomId::Make(0x28, 71).ToString();
const std::string kNew = access::RomId::Make(0x28, 72).ToString();
const std::string kAbsent = access::RomId::Make(0x28, 73).ToString();
const std::string kCounter = access::RomId::Make(0x1D, 74).ToString();

json Bus(const std::string& thermometer, double temperature) {
  return json{{"devices",
               {{{"rom", thermometer}, {"temperature", temperature}},
                {{"rom", kCounter}, {"counters", {0, 0, 5, 9}}}}}};
}

class SensorReplacement : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string database;
    if (GetParam() == "SQLite") {
      connection_ =
          "Provider=SQLite;Data Source=" + (dir_.path() / "app" / "1WireTemps.db").string();
    } else {
      const char* cs = std::getenv("QB_TEST_POSTGRES");
      if (!cs || !*cs) {
        if (const char* need = std::getenv("QB_REQUIRE_POSTGRES"); need && std::string(need) == "1")
          FAIL() << "QB_REQUIRE_POSTGRES=1 but QB_TEST_POSTGRES names no server";
        GTEST_SKIP() << "SKIPPED: no PostgreSQL server (set QB_TEST_POSTGRES)";
      }
      connection_ = cs;
      table_ = "T_Replace_" + std::to_string(::getpid());
      admin_ = OpenDatabase(connection_);
      CreateReadingsTable(*admin_, table_, {"ROMAddress", "DTime", "Temp"});
      database = "Database=" + connection_ + "\nTable=" + table_ + "\n";
    }
    WriteFile(dir_.path() / "bus.json", Bus(kOld, 20.5).dump());
    settings_ = dir_.path() / "settings.ini";
    WriteFile(settings_, "[Settings]\nIntType=SIM\nIntPort=" + (dir_.path() / "bus.json").string() +
                             "\nPollCycle=1\nchkChanges=0\n" + database + "[Log]\n" + kOld +
                             "M=1\n" + kNew + "M=1\n[Adjustment]\n" + kOld + "M=0.5\n");
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        QB_PROGRAM_PATH, "--standalone", "--app-dir", (dir_.path() / "app").string(), "--settings",
        settings_.string(), "--http", "127.0.0.1:0"});
    std::smatch m;
    const std::string line = process_->WaitForLine("Web pages: ");
    ASSERT_TRUE(std::regex_search(line, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
        << process_->output();
    client_ = std::make_unique<HttpClient>("127.0.0.1", std::stoi(m[1]));
  }
  void TearDown() override {
    if (process_) {
      EXPECT_EQ(process_->Stop(SIGTERM), 0) << process_->output();
    }
    if (admin_) {
      admin_->Execute("DROP TABLE IF EXISTS " + QuoteName(table_));
      admin_->Close();
    }
  }

  json Devices() {
    auto res = client_->Get("/api/devices");
    return res && res->status == 200 ? json::parse(res->body) : json::array();
  }
  // The host device of `key` once `ready` holds for it, or null after a while.
  template <typename Ready>
  json WaitFor(const std::string& key, Ready ready) {
    for (int attempt = 0; attempt < 120; ++attempt) {
      for (const auto& d : Devices())
        if (d["iomisc"] == key && ready(d)) return d;
      std::this_thread::sleep_for(100ms);
    }
    return nullptr;
  }
  int64_t Rows(const std::string& identifier) {
    auto c = OpenDatabase(connection_);
    auto rows = c->Execute(
        "SELECT COUNT(*) FROM " + QuoteName(table_) + " WHERE " + QuoteName("ROMAddress") + " = $1",
        {identifier});
    const auto n = static_cast<int64_t>(rows->Item(0).AsDouble());
    c->Close();
    return n;
  }
  int64_t WaitForRows(const std::string& identifier) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (const auto n = Rows(identifier); n > 0) return n;
      std::this_thread::sleep_for(100ms);
    }
    return 0;
  }
  HttpResult Replace(int ref, const std::string& body) {
    return client_->Post("/api/devices/" + std::to_string(ref) + "/replace", body,
                         "application/json");
  }

  TempDir dir_;
  std::filesystem::path settings_;
  std::string connection_;
  std::string table_ = "T_Temps";
  std::shared_ptr<Connection> admin_;
  std::unique_ptr<ChildProcess> process_;
  std::unique_ptr<HttpClient> client_;
};

TEST_P(SensorReplacement, TheNewSensorTakesOverTheHostDeviceSettingsAndHistory) {
  auto has_reading = [](const json& d) { return d["string"] != "No reading yet"; };
  const json old = WaitFor(kOld + "M", has_reading);
  ASSERT_FALSE(old.is_null()) << process_->output();
  const int ref = old["ref"].get<int>();
  auto res = client_->Patch("/api/devices/" + std::to_string(ref),
                            R"({"name": "Cellar", "Location": "Basement"})", "application/json");
  ASSERT_TRUE(res && res->status == 200);
  const int64_t old_rows = WaitForRows("Basement Cellar");
  ASSERT_GT(old_rows, 0) << process_->output();

  // The old sensor fails; the new one is connected and the scan gives it a host device that logs.
  WriteFile(dir_.path() / "bus.json", Bus(kNew, 22.0).dump());
  const json fresh = WaitFor(kNew + "M", has_reading);
  ASSERT_FALSE(fresh.is_null()) << process_->output();
  const std::string fresh_id =
      fresh["Location"].get<std::string>() + " " + fresh["name"].get<std::string>();
  ASSERT_GT(WaitForRows(fresh_id), 0) << process_->output();

  // Refused, each with its reason, and nothing changes.
  struct Refusal {
    std::string body, says;
  };
  for (const Refusal& r : {Refusal{R"({"rom": ")" + kCounter + "\"}", "own family"},
                           Refusal{R"({"rom": ")" + kAbsent + "\"}", "does not answer on the bus"},
                           Refusal{R"({"rom": "28-not-a-rom"})", "is not a ROM id"},
                           Refusal{R"({"rom": ")" + kOld + "\"}", "the same"},
                           Refusal{R"({"name": "x"})", "the ROM id of the new sensor"}}) {
    res = Replace(ref, r.body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << r.body;
    EXPECT_THAT(res->body, HasSubstr(r.says)) << r.body;
  }
  res = Replace(9999, R"({"rom": ")" + kNew + "\"}");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  EXPECT_FALSE(WaitFor(kOld + "M", [&](const json& d) { return d["ref"] == ref; }).is_null());
  EXPECT_FALSE(
      WaitFor(kNew + "M", [&](const json& d) { return d["ref"] == fresh["ref"]; }).is_null());

  // Done: the old host device now stands for the new sensor (lower case accepted).
  const int64_t fresh_rows = Rows(fresh_id);
  std::string lower = kNew;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  res = Replace(ref, R"({"rom": ")" + lower + "\"}");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body << process_->output();
  const json shown = json::parse(res->body);
  EXPECT_EQ(shown["iomisc"], kNew + "M");
  EXPECT_EQ(shown["name"], "Cellar");
  EXPECT_EQ(shown["replaced"]["removed"], json::array({fresh["ref"]}));

  int with_new_key = 0;
  for (const auto& d : Devices()) {
    EXPECT_NE(d["iomisc"], kOld + "M");
    if (d["iomisc"] == kNew + "M") ++with_new_key;
  }
  EXPECT_EQ(with_new_key, 1);
  // The new sensor's readings joined the history; nothing is left under its own identifier.
  EXPECT_EQ(Rows(fresh_id), 0);
  EXPECT_GE(Rows("Basement Cellar"), old_rows + fresh_rows);
  // Its readings go on in the old host device with the old "Adjustment" (22.0 + 0.5).
  EXPECT_FALSE(
      WaitFor(kNew + "M",
              [](const json& d) { return d["string"].get<std::string>().rfind("22.5", 0) == 0; })
          .is_null())
      << process_->output();
  const std::string ini = ReadFile(settings_);
  EXPECT_THAT(ini, HasSubstr(kNew + "M=0.5"));
  EXPECT_THAT(ini, ::testing::Not(HasSubstr(kOld + "M=")));
  EXPECT_NE(process_->WaitForLine("Sensor " + kOld + " replaced by " + kNew), "");
}

// The default engine through the whole program; the rename's single transaction is checked on
// both engines in the logging tests.
INSTANTIATE_TEST_SUITE_P(Engines, SensorReplacement, ::testing::Values("SQLite"));

}  // namespace
}  // namespace qb::test
