// Two programs, a simulated bus each (a floor each), share one broker and one PostgreSQL table:
// with a bus name each they keep their topics, discovery entries and history apart even where
// their channels have the same location and name; a hub sees both under one discovery prefix;
// the charts of one show the other's history when it is ticked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "access/rom.h"
#include "logging/readings_table.h"
#include "platform/database.h"
#include "support/child_process.h"
#include "support/http_client.h"
#include "support/mqtt_broker.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

struct Floor {
  std::string bus_name, slug, rom;
  double temperature;
  std::unique_ptr<ChildProcess> program;
  std::unique_ptr<HttpClient> client;
};

class House : public ::testing::Test {
 protected:
  void SetUp() override {
    if (MosquittoProgram().empty())
      GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto): skipped";
    const char* cs = std::getenv("QB_TEST_POSTGRES");
    if (!cs || !*cs) {
      if (const char* need = std::getenv("QB_REQUIRE_POSTGRES"); need && std::string(need) == "1")
        FAIL() << "QB_REQUIRE_POSTGRES=1 but QB_TEST_POSTGRES names no server";
      GTEST_SKIP() << "SKIPPED: no PostgreSQL server (set QB_TEST_POSTGRES)";
    }
    database_ = cs;
    table_ = "T_House_" + std::to_string(::getpid());
    admin_ = OpenDatabase(database_);
    CreateReadingsTable(*admin_, table_, {"ROMAddress", "DTime", "Temp"});
    std::string error;
    ASSERT_TRUE(broker_.Start(error)) << error;

    floors_[0] = {"Ground", "ground", access::RomId::Make(0x28, 81).ToString(), 19.5, {}, {}};
    floors_[1] = {
        "Upper floor", "upper-floor", access::RomId::Make(0x28, 82).ToString(), 23.0, {}, {}};
    for (Floor& f : floors_) {
      const auto folder = dir_.path() / f.slug;
      std::filesystem::create_directories(folder);
      WriteFile(folder / "bus.json",
                json{{"devices", {{{"rom", f.rom}, {"temperature", f.temperature}}}}}.dump());
      WriteFile(folder / "settings.ini",
                "[Settings]\nIntType=SIM\nIntPort=" + (folder / "bus.json").string() +
                    "\nPollCycle=1\nchkChanges=0\nBusName=" + f.bus_name +
                    "\nDatabase=" + database_ + "\nTable=" + table_ + "\n[Log]\n" + f.rom +
                    "M=1\n[MQTT]\nEnabled=1\nBroker=" + broker_.url() + "\n");
      f.program = std::make_unique<ChildProcess>(std::vector<std::string>{
          QB_PROGRAM_PATH, "--standalone", "--app-dir", (folder / "app").string(), "--settings",
          (folder / "settings.ini").string(), "--http", "127.0.0.1:0"});
    }
    for (Floor& f : floors_) {
      std::smatch m;
      const std::string line = f.program->WaitForLine("Web pages: ");
      ASSERT_TRUE(std::regex_search(line, m, std::regex(":(\\d+)/1-Wire"))) << f.program->output();
      f.client = std::make_unique<HttpClient>("127.0.0.1", std::stoi(m[1]));
    }
  }
  void TearDown() override {
    for (Floor& f : floors_) {
      if (f.program) {
        EXPECT_EQ(f.program->Stop(SIGTERM), 0) << f.program->output();
      }
    }
    if (admin_) {
      admin_->Execute("DROP TABLE IF EXISTS " + QuoteName(table_));
      admin_->Close();
    }
  }

  // The floor's thermometer's host device once it shows a reading.
  json Thermometer(Floor& f) {
    for (int attempt = 0; attempt < 150; ++attempt) {
      if (auto res = f.client->Get("/api/devices"); res && res->status == 200) {
        for (const auto& d : json::parse(res->body))
          if (d["iomisc"] == f.rom + "M" && d["string"] != "No reading yet") return d;
      }
      std::this_thread::sleep_for(100ms);
    }
    return nullptr;
  }
  // The distinct readings logged under an identifier, once there are some.
  std::set<double> Readings(const std::string& identifier) {
    std::set<double> values;
    for (int attempt = 0; attempt < 100 && values.empty(); ++attempt) {
      auto rows = admin_->Execute("SELECT " + QuoteName("Temp") + " FROM " + QuoteName(table_) +
                                      " WHERE " + QuoteName("ROMAddress") + " = $1",
                                  {identifier});
      for (rows->MoveFirst(); !rows->Eof(); rows->MoveNext())
        if (!rows->Item(0).IsNull()) values.insert(rows->Item(0).AsDouble());
      if (values.empty()) std::this_thread::sleep_for(100ms);
    }
    return values;
  }

  TempDir dir_;
  MqttBroker broker_{dir_.path()};
  std::string database_, table_;
  std::shared_ptr<Connection> admin_;
  Floor floors_[2];
};

TEST_F(House, TwoBusesShareOneBrokerAndOneDatabaseAndKeepApart) {
  MqttProbe hub(broker_.port());
  for (Floor& f : floors_) {
    const json d = Thermometer(f);
    ASSERT_FALSE(d.is_null()) << f.program->output();
    // The same location and name on both floors.
    auto res = f.client->Patch("/api/devices/" + std::to_string(d["ref"].get<int>()),
                               R"({"name": "Temp", "Location": "Kitchen"})", "application/json");
    ASSERT_TRUE(res && res->status == 200);
  }

  // History: each floor's rows under its own bus name, holding only its own readings.
  for (const Floor& f : floors_) {
    EXPECT_EQ(Readings(f.bus_name + " Kitchen Temp"), std::set<double>{f.temperature})
        << f.bus_name;
  }

  // Topics and discovery entries of each program under its own client id and base topic; the hub
  // finds both under the one discovery prefix.
  auto topics_of = [](const Floor& f) {
    return std::vector<std::string>{
        "quellbrook/" + f.slug + "/status", "quellbrook/" + f.slug + "/" + f.rom + "M/state",
        "homeassistant/sensor/quellbrook-1wire-" + f.slug + "/" + f.rom + "M/config"};
  };
  ASSERT_TRUE(hub.WaitFor([&](const auto& seen) {
    for (const Floor& f : floors_) {
      for (const auto& topic : topics_of(f))
        if (!seen.count(topic)) return false;
    }
    return true;
  })) << floors_[0].program->output()
      << floors_[1].program->output();
  for (const Floor& f : floors_) {
    EXPECT_EQ(hub.Last("quellbrook/" + f.slug + "/status"), "online");
    EXPECT_EQ(hub.Last("quellbrook/" + f.slug + "/" + f.rom + "M/state"),
              f.temperature == 19.5 ? "19.5" : "23");
    const json config = json::parse(
        hub.Last("homeassistant/sensor/quellbrook-1wire-" + f.slug + "/" + f.rom + "M/config"));
    EXPECT_EQ(config["unique_id"], "quellbrook-1wire-" + f.slug + "_" + f.rom + "M");
    EXPECT_EQ(config["state_topic"], "quellbrook/" + f.slug + "/" + f.rom + "M/state");
  }
  for (const auto& [topic, message] : hub.Snapshot()) {
    EXPECT_TRUE(topic.rfind("quellbrook/ground/", 0) != 0 ||
                topic.find(floors_[1].rom) == std::string::npos)
        << topic;
  }
  // Both stayed connected: neither lost its connection to the other.
  for (const Floor& f : floors_)
    EXPECT_THAT(f.program->output(), ::testing::Not(HasSubstr("Lost the connection to the broker")))
        << f.program->output();

  // The ground floor's charts offer the upper floor's history, and draw it when it is ticked.
  auto res = floors_[0].client->Get("/1-Wire?PAGE=1&Upper+floor+Kitchen+Temp=ON&B1=Submit");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_THAT(res->body, HasSubstr("name=\"Upper floor Kitchen Temp\" value=\"ON\"checked>"));
  EXPECT_THAT(res->body, HasSubstr("name=\"Ground Kitchen Temp\" value=\"ON\">"));
  EXPECT_THAT(res->body, HasSubstr("Upper floor Kitchen Temp</td><td class=\"tablerowodd\">23"));
  // Its own series links to the device's page; the other floor's has none here.
  EXPECT_THAT(res->body, HasSubstr("href=\"1-Wire?ROMID=" + floors_[0].rom + "M\""));
  EXPECT_THAT(res->body, ::testing::Not(HasSubstr("ROMID=Upper")));
}

}  // namespace
}  // namespace qb::test
