// Through the host's web server: GET /metrics, the text Prometheus scrapes, checked by promtool
// and behind the web users like the rest of the API; the channel options of
// PATCH /api/devices/{ref} (counter total, calibration), refused with nothing changed when wrong.
#include <crypt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/hspi.h"
#include "host/builtin_host.h"
#include "host/mqtt_discovery.h"
#include "host/web_server.h"
#include "host/web_users.h"
#include "onewire/calibration.h"
#include "onewire/counter_total.h"
#include "onewire/device_health.h"
#include "onewire/onewire_state.h"
#include "platform/event_loop.h"
#include "registry/records.h"
#include "support/http_client.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::TempDir;

class MetricsTest : public ::testing::Test {
 protected:
  MetricsTest() { ResetOneWire(); }
  void Start() {
    host = std::make_shared<BuiltInHost>(dir.str(), clock, false);
    host->Start();
    ASSERT_EQ(users.Load(dir.path() / "users"), "");
    server = std::make_unique<HostWebServer>(*host, loop, users, dir.path() / "html" / "1wire");
    ASSERT_EQ(server->Bind("127.0.0.1", 0), "");
    server->Start();
    loop_thread = std::thread([this] { loop.Run(); });
    std::promise<void> running;
    loop.Post([&] { running.set_value(); });
    running.get_future().wait();
    client = std::make_unique<test::HttpClient>("127.0.0.1", server->Port());
  }
  void TearDown() override {
    if (server) server->Stop();
    loop.Quit();
    if (loop_thread.joinable()) loop_thread.join();
    ResetOneWire();
  }
  // A channel of the plug-in in the host, showing `text`.
  int32_t AddChannel(const std::string& key, const std::string& name, const std::string& text) {
    int32_t ref = 0;
    loop.Invoke([&] {
      ref = host->devices().Add(name);
      auto d = host->devices().ByRef(ref);
      d->interface = kPluginName;
      d->iomisc = key;
      d->Location = "Cellar \"north\"\\wall";
      d->string = text;
    });
    return ref;
  }
  test::HttpResult Patch(int32_t ref, const std::string& body) {
    return client->Patch("/api/devices/" + std::to_string(ref), body, "application/json");
  }
  // promtool's verdict on a text: its exit status and what it printed.
  std::pair<int, std::string> Promtool(const std::string& text) {
    const auto file = dir.path() / "metrics.txt";
    test::WriteFile(file, text);
    const std::string command = "promtool check metrics < " + file.string() + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    std::string said;
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) said += buf;
    const int status = p ? pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, said};
  }

  TempDir dir;
  SystemClock clock;
  HeadlessEventLoop loop{clock};
  WebUsers users;
  std::shared_ptr<BuiltInHost> host;
  std::unique_ptr<HostWebServer> server;
  std::unique_ptr<test::HttpClient> client;
  std::thread loop_thread;
};

TEST_F(MetricsTest, TheScrapeShowsReadingsHealthAndRequestsAndPassesPromtool) {
  Start();
  const std::string rom = "A000000000000128";
  AddChannel(rom + "M", "Cellar", "21.500\u00BAC");
  AddChannel("B000000000000212S0", "Lamp", "On");
  AddChannel("C00000000000031DK0", "Water", "No reading yet");
  loop.Invoke([&] {
    HealthCounts add;
    add.reads = 10;
    add.crc_errors = 3;
    add.retries = 2;
    add.failed = 1;
    CountHealth(rom, add);
    NoteSeen(rom);
    CountAdapterError();
  });
  ASSERT_TRUE(client->Get("/no-such-page"));  // counted by its status
  // Answers are counted before they are sent: the next scrape shows this one.
  const auto res = client->Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string& text = res->body;
  EXPECT_NE(text.find("quellbrook_reading{rom=\"" + rom +
                      "\",channel=\"M\",name=\"Cellar\",location=\"Cellar \\\"north\\\"\\\\wall\"} "
                      "21.5\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("channel=\"S0\",name=\"Lamp\""), std::string::npos);
  EXPECT_EQ(text.find("name=\"Water\""), std::string::npos);  // no reading: no sample
  EXPECT_NE(text.find("quellbrook_device_crc_errors_total{rom=\"" + rom + "\"} 3\n"),
            std::string::npos);
  EXPECT_NE(text.find("quellbrook_device_failed_reads_total{rom=\"" + rom + "\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("quellbrook_adapter_errors_total 1\n"), std::string::npos);
  EXPECT_NE(text.find("quellbrook_http_requests_total{code=\"404\"} 1\n"), std::string::npos);
  const auto [status, said] = Promtool(text);
  EXPECT_EQ(status, 0) << said << "\n" << text;

  // The MQTT attributes carry the same figures.
  loop.Invoke([&] {
    DeviceRecord d;
    d.interface = kPluginName;
    d.iomisc = rom + "M";
    const auto health = ChannelAttributes(d, ChannelKind::kTemperature, false)["health"];
    EXPECT_EQ(health["since_start"]["crc_errors"], 3);
    EXPECT_EQ(health["last_24h"]["reads"], 10);
    EXPECT_TRUE(health["last_seen"].is_string());
  });
}

TEST_F(MetricsTest, TheDeviceListShowsTheChainPositionWhereItIsKnown) {
  ResetRegistry();
  Start();
  const std::string second = "AA00000000000142", unplaced = "BB00000000000242";
  AddChannel(second + "M", "Hall", "20.000\u00BAC");
  AddChannel(second + "S0", "Hall light", "Off");
  AddChannel(unplaced + "M", "Attic", "18.000\u00BAC");
  AddChannel("CC00000000000328M", "Cellar", "12.000\u00BAC");
  loop.Invoke([&] {
    gROMs().Find(second)->ChainPosition = 2;
    gROMs().Find(unplaced)->ChainPosition = 0;  // the chain scan did not reach it
  });
  const auto res = client->Get("/api/devices");
  ASSERT_TRUE(res);
  int placed = 0;
  for (const auto& d : nlohmann::json::parse(res->body)) {
    const std::string key = d["iomisc"];
    SCOPED_TRACE(key);
    if (key.rfind(second, 0) == 0) {
      EXPECT_EQ(d.value("position", 0), 2);
      ++placed;
    } else {
      EXPECT_FALSE(d.contains("position"));
    }
  }
  EXPECT_EQ(placed, 2) << "every host device of the placed thermometer";
  // Answering the list adds no device to the registry.
  loop.Invoke([&] {
    EXPECT_EQ(gROMs().FindParent("CC00000000000328"), nullptr);
    ResetRegistry();
  });
}

std::string Hash(const std::string& password) {
  crypt_data data;
  std::memset(&data, 0, sizeof data);
  return crypt_r(password.c_str(), "$6$qbtestsalt$", &data);
}

TEST_F(MetricsTest, TheScrapeNeedsAUserWhenThereAreUsers) {
  test::WriteFile(dir.path() / "users", "scraper:" + Hash("s3cret") + "\n");
  Start();
  auto res = client->Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 401);
  client->set_basic_auth("scraper", "s3cret");
  // The refusal was counted before it was sent.
  res = client->Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("quellbrook_http_requests_total{code=\"401\"} 1\n"), std::string::npos)
      << res->body;
}

TEST_F(MetricsTest, ChannelOptionsAreSetOrRefusedWithNothingChanged) {
  Start();
  const int32_t temp = AddChannel("A000000000000128M", "Cellar", "21.500\u00BAC");
  const int32_t count = AddChannel("C00000000000031DK0", "Water", "12");
  auto res = Patch(temp, R"({"calibration": [[0.5, 0.0], [99.5, 100.0]], "name": "Cellar 2"})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  auto shown = nlohmann::json::parse(res->body);
  EXPECT_EQ(shown["calibration"], nlohmann::json::parse("[[0.5, 0.0], [99.5, 100.0]]"));
  EXPECT_EQ(shown["name"], "Cellar 2");
  loop.Invoke([&] {
    EXPECT_DOUBLE_EQ(Calibrated("A000000000000128M", 0.5), 0.0);
    EXPECT_DOUBLE_EQ(Calibrated("A000000000000128M", 25.25), 25.0);
  });

  // Wrong: each is refused with 400 and a message, and neither the calibration nor the name moves.
  for (const char* body :
       {R"({"calibration": [[1, 2]], "name": "X"})", R"({"calibration": [[1, 2], [1, 5]]})",
        R"({"calibration": [[1, "a"], [3, 4]]})", R"({"counter_total": true})"}) {
    res = Patch(temp, body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << body;
    EXPECT_NE(res->body.find("error"), std::string::npos) << res->body;
  }
  res = Patch(count, R"({"calibration": [[0, 0], [1, 1]]})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  loop.Invoke([&] {
    EXPECT_EQ(host->devices().ByRef(temp)->name, "Cellar 2");
    ASSERT_TRUE(CalibrationOf("A000000000000128M"));
    EXPECT_EQ(CalibrationOf("A000000000000128M")->raw2, 99.5);
    EXPECT_FALSE(CounterTotalOn("C00000000000031DK0"));
  });

  res = Patch(count, R"({"counter_total": true})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(nlohmann::json::parse(res->body)["counter_total"], true);
  res = Patch(temp, R"({"calibration": null})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  loop.Invoke([&] {
    EXPECT_TRUE(CounterTotalOn("C00000000000031DK0"));
    EXPECT_FALSE(CalibrationOf("A000000000000128M"));
  });
}

// Replacing a sensor: a device that is not the plug-in's, or a bus that cannot be asked, changes
// nothing (the whole replacement runs on a simulated bus in sensor_replacement_test).
TEST_F(MetricsTest, AReplacementThatCannotBeDoneIsRefusedInWords) {
  Start();
  const int32_t temp = AddChannel("A000000000000128M", "Cellar", "21.500\u00BAC");
  int32_t other = 0;
  loop.Invoke([&] {
    other = host->devices().Add("Porch light");
    host->devices().ByRef(other)->interface = "Some other plug-in";
    host->devices().ByRef(other)->iomisc = "B000000000000128M";
  });
  auto replace = [&](int32_t ref, const std::string& body) {
    return client->Post("/api/devices/" + std::to_string(ref) + "/replace", body,
                        "application/json");
  };
  auto res = replace(other, R"({"rom": "B100000000000128"})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  EXPECT_NE(res->body.find("is not a device of the 1-Wire plug-in"), std::string::npos);
  res = replace(temp, R"({"rom": [1, 2]})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  // No adapter is open here: the new sensor cannot be looked for.
  res = replace(temp, R"({"rom": "B100000000000128"})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 503);
  EXPECT_NE(res->body.find("adapter is not ready"), std::string::npos) << res->body;
  loop.Invoke([&] {
    EXPECT_EQ(host->devices().ByRef(temp)->iomisc, "A000000000000128M");
    EXPECT_EQ(host->devices().ByRef(other)->iomisc, "B000000000000128M");
  });
}

// A device gone before a restart shows as gone at once after it: the stale mark is stored.
TEST_F(MetricsTest, AStaleDeviceIsStillStaleAfterARestart) {
  Start();
  const int32_t ref = AddChannel("A000000000000128M", "Cellar", "21.500\u00BAC");
  loop.Invoke([&] {
    host->devices().ByRef(ref)->hc = "A";
    host->devices().ByRef(ref)->dc = "1";
    host->SetDeviceStale("A1", true);
    host->SaveDevices();
  });
  BuiltInHost again(dir.str(), clock, false);
  again.Start();
  ASSERT_TRUE(again.devices().ByRef(ref));
  EXPECT_TRUE(again.devices().ByRef(ref)->stale);
  EXPECT_EQ(again.devices().ByRef(ref)->string, "21.500\u00BAC");
}

}  // namespace
}  // namespace qb
