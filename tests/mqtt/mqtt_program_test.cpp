// The real program on the demo bus with a real broker, as Home Assistant would see it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/child_process.h"
#include "support/http_client.h"
#include "support/mqtt_broker.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kProgram = QB_PROGRAM_PATH;
const std::string kSwitch = "4800000000066912S0";  // a DS2406 latch of the demo bus

class MqttProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (MosquittoProgram().empty())
      GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto): MQTT tests skipped";
    std::string error;
    ASSERT_TRUE(broker.Start(error)) << error;
    WriteFile(dir.path() / "settings.ini", std::string("[Settings]\nIntType=SIM\nIntPort=") +
                                               QB_DEMO_BUS + "\nPollCycle=1\nDebug=2\n[MQTT]\n" +
                                               "Enabled=1\nBroker=" + broker.url() + "\n");
    program = std::make_unique<ChildProcess>(std::vector<std::string>{
        kProgram, "--standalone", "--app-dir", (dir.path() / "app").string(), "--settings",
        (dir.path() / "settings.ini").string(), "--http", "127.0.0.1:0"});
    std::smatch m;
    const std::string line = program->WaitForLine("Web pages: ");
    ASSERT_TRUE(std::regex_search(line, m, std::regex(":(\\d+)/1-Wire"))) << program->output();
    client = std::make_unique<test::HttpClient>("127.0.0.1", std::stoi(m[1]));
  }

  json Devices() {
    auto res = client->Get("/api/devices");
    return res && res->status == 200 ? json::parse(res->body) : json::array();
  }
  // The keys of the plug-in's host devices that have a code, once the demo bus has them all (the
  // latch among them, and no new one for 3 s).
  std::set<std::string> ChannelKeys() {
    std::set<std::string> keys, last;
    int same = 0;
    for (int attempt = 0; attempt < 80 && same < 6; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      keys.clear();
      for (const auto& d : Devices()) {
        if (d["interface"] == "Quellbrook 1-Wire Interface" && d["hc"] != "")
          keys.insert(d["iomisc"].get<std::string>());
      }
      same = keys.count(kSwitch) && keys == last ? same + 1 : 0;
      last = keys;
    }
    return keys;
  }
  // Waits until the probe holds a discovery config for each of `keys`; returns them by key.
  std::map<std::string, json> Configs(MqttProbe& probe, const std::set<std::string>& keys) {
    std::map<std::string, json> out;
    probe.WaitFor([&](const auto& seen) {
      out.clear();
      for (const auto& [topic, m] : seen) {
        if (topic.rfind("homeassistant/", 0) == 0 && !m.payload.empty())
          out[topic] = json::parse(m.payload);
      }
      return out.size() >= keys.size();
    });
    return out;
  }

  TempDir dir;
  MqttBroker broker{dir.path()};
  std::unique_ptr<ChildProcess> program;
  std::unique_ptr<test::HttpClient> client;
};

TEST_F(MqttProgram, TheDemoBusAnnouncesFollowsAndTakesCommands) {
  const std::set<std::string> keys = ChannelKeys();
  ASSERT_TRUE(keys.count(kSwitch)) << program->output();
  MqttProbe probe(broker.port());
  const auto configs = Configs(probe, keys);
  ASSERT_EQ(configs.size(), keys.size()) << program->output();

  // Every config has what Home Assistant's schema requires of its component, a unique id, and
  // the device of its ROM id, so that the channels of one device are grouped.
  std::set<std::string> unique_ids;
  std::map<std::string, json> device_of_rom;
  for (const auto& [topic, c] : configs) {
    SCOPED_TRACE(topic);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        topic, m,
        std::regex("homeassistant/(sensor|binary_sensor|switch|number)/quellbrook-1wire/"
                   "([0-9A-F]{16})([A-Z][0-9]?)?/config")));
    const std::string component = m[1], rom = m[2], key = rom + m[3].str();
    EXPECT_TRUE(keys.count(key));
    EXPECT_TRUE(unique_ids.insert(c.at("unique_id").get<std::string>()).second);
    EXPECT_EQ(c.at("state_topic"), "quellbrook/" + key + "/state");
    EXPECT_EQ(c.at("availability")[0]["topic"], "quellbrook/status");
    EXPECT_FALSE(c.at("name").get<std::string>().empty());
    const json& device = c.at("device");
    EXPECT_THAT(device.at("name").get<std::string>(), HasSubstr(rom));
    if (device_of_rom.count(rom))
      EXPECT_EQ(device, device_of_rom[rom]);
    else
      device_of_rom[rom] = device;
    if (component == "switch" || component == "number") {
      EXPECT_EQ(c.at("command_topic"), "quellbrook/" + key + "/set");
    }
    if (component == "number") {
      EXPECT_EQ(c.at("max"), 255);
    }
    if (component == "sensor") {
      EXPECT_THAT(c.at("state_class").get<std::string>(),
                  ::testing::AnyOf("measurement", "total_increasing"));
      if (c.contains("device_class")) {
        const std::map<std::string, std::set<std::string>> units{
            {"temperature", {"\u00B0C", "\u00B0F"}}, {"humidity", {"%"}}, {"voltage", {"V", "mV"}}};
        EXPECT_TRUE(units.at(c["device_class"]).count(c.at("unit_of_measurement")));
      }
      if (key[16] == 'K') {
        EXPECT_EQ(c["state_class"], "total_increasing");
      }
    }
  }
  std::set<std::string> roms;
  for (const auto& key : keys) roms.insert(key.substr(0, 16));
  EXPECT_EQ(device_of_rom.size(), roms.size());
  EXPECT_GE(roms.size(), 12u);

  // States follow the host's devices, which follow the simulated bus: switches and levels read
  // ON or OFF, a thermometer's number is the host's (the sine moves little in a second).
  const std::string thermometer = "940000000001E228M";
  for (const auto& d : Devices()) {
    const std::string key = d["iomisc"];
    const std::string topic = "quellbrook/" + key + "/state";
    if (d["string"] == "On" || d["string"] == "Off") {
      EXPECT_TRUE(probe.WaitFor([&](const auto& seen) {
        return seen.count(topic) &&
               (seen.at(topic).payload == "ON" || seen.at(topic).payload == "OFF");
      })) << key;
    } else if (key == thermometer) {
      ASSERT_TRUE(probe.WaitFor([&](const auto& seen) { return seen.count(topic) > 0; }));
      EXPECT_NEAR(std::stod(probe.Last(topic)), std::stod(d["string"].get<std::string>()), 0.5);
    }
  }
  EXPECT_EQ(probe.Last("quellbrook/AB00000000054A1DK3/state"), "33");
  // A counter that stays at 0 has the state 0, not none (a hub would show "unknown").
  EXPECT_TRUE(probe.WaitFor([](const auto& seen) {
    auto it = seen.find("quellbrook/AB00000000054A1DK0/state");
    return it != seen.end() && it->second.payload == "0";
  })) << probe.Last("quellbrook/AB00000000054A1DK0/state");
  EXPECT_EQ(probe.Last("quellbrook/B90000000007132CT/state"), "128");

  // ON and OFF on the latch's command topic, while the bus is polled, switch the simulated
  // DS2406; its state comes back as the last command left it: ON. A malformed payload then changes
  // nothing.
  for (int i = 0; i < 9; ++i) {
    probe.Publish("quellbrook/" + kSwitch + "/set", i % 2 ? "OFF" : "ON");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  EXPECT_TRUE(probe.WaitFor(
      [](const auto& seen) {
        auto it = seen.find("quellbrook/" + kSwitch + "/state");
        return it != seen.end() && it->second.payload == "ON";
      },
      std::chrono::seconds(10)))
      << program->output();
  probe.Publish("quellbrook/" + kSwitch + "/set", "{\"state\": \"OFF\"}");
  EXPECT_NE(program->WaitForLine("Ignored the payload"), "");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(probe.Last("quellbrook/" + kSwitch + "/state"), "ON");
  for (const auto& d : Devices()) {
    if (d["iomisc"] == kSwitch) {
      EXPECT_EQ(d["string"], "On");
    }
  }

  // A number on the potentiometer's command topic sets its wiper to that position.
  probe.Publish("quellbrook/B90000000007132CT/set", "200");
  EXPECT_TRUE(probe.WaitFor(
      [](const auto& seen) {
        auto it = seen.find("quellbrook/B90000000007132CT/state");
        return it != seen.end() && it->second.payload == "200";
      },
      std::chrono::seconds(10)))
      << program->output();

  // Gone without a goodbye: the broker tells the hubs through the last will.
  EXPECT_EQ(probe.Last("quellbrook/status"), "online");
  program->Stop(SIGKILL);
  EXPECT_TRUE(probe.WaitFor([](const auto& seen) {
    auto it = seen.find("quellbrook/status");
    return it != seen.end() && it->second.payload == "offline";
  }));
}

TEST_F(MqttProgram, TheBrokerAwayFor20SecondsStallsNothing) {
  const std::set<std::string> keys = ChannelKeys();
  {
    MqttProbe probe(broker.port());
    ASSERT_EQ(Configs(probe, keys).size(), keys.size()) << program->output();
  }
  auto latest = [&] {
    std::string newest;
    for (const auto& d : Devices()) newest = std::max(newest, d["lastChange"].get<std::string>());
    return newest;
  };
  broker.Stop();
  ASSERT_NE(program->WaitForLine("Lost the connection to the broker"), "") << program->output();
  // Polling goes on while the broker is away: readings keep arriving, pages keep answering.
  std::string before = latest();
  int advanced = 0;
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const std::string now = latest();
    advanced += now > before;
    before = now;
  }
  EXPECT_GE(advanced, 3) << program->output();

  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  // The restarted broker holds nothing retained: all it has comes from the bridge again.
  MqttProbe probe(broker.port());
  EXPECT_EQ(Configs(probe, keys).size(), keys.size()) << program->output();
  EXPECT_TRUE(probe.WaitFor([](const auto& seen) {
    auto it = seen.find("quellbrook/status");
    return it != seen.end() && it->second.payload == "online";
  }));
  EXPECT_EQ(probe.Last("quellbrook/AB00000000054A1DK3/state"), "33");
  // A clean stop says goodbye.
  EXPECT_EQ(program->Stop(SIGTERM), 0) << program->output();
  EXPECT_TRUE(probe.WaitFor([](const auto& seen) {
    auto it = seen.find("quellbrook/status");
    return it != seen.end() && it->second.payload == "offline";
  }));
}

// The README's [MQTT] block, exactly as printed (inline comments and all).
std::string ReadmeMqttBlock() {
  std::ifstream in(std::string(QB_SOURCE_DIR) + "/README.md");
  std::stringstream text;
  text << in.rdbuf();
  const std::string readme = text.str();
  const auto start = readme.find("```ini\n[MQTT]\n");
  if (start == std::string::npos) return {};
  const auto body = start + 7;
  const auto end = readme.find("```", body);
  return end == std::string::npos ? std::string() : readme.substr(body, end - body);
}

TEST(MqttReadme, TheBlockPastedAsPrintedIsReadAndAnEditAppliesWithoutARestart) {
  if (MosquittoProgram().empty())
    GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto): MQTT tests skipped";
  TempDir dir;
  MqttBroker broker{dir.path()};
  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  const std::string block = ReadmeMqttBlock();
  ASSERT_THAT(block, HasSubstr("Broker=mqtt://localhost:1883 "))
      << "the README has no [MQTT] block";
  ASSERT_THAT(block, HasSubstr("; or mqtts://"));
  const std::string head =
      std::string("[Settings]\nIntType=SIM\nIntPort=") + QB_DEMO_BUS + "\nPollCycle=1\nDebug=2\n";
  const auto settings = dir.path() / "settings.ini";
  WriteFile(settings, head + block);
  ChildProcess program({kProgram, "--standalone", "--app-dir", (dir.path() / "app").string(),
                        "--settings", settings.string(), "--http", "127.0.0.1:0"});
  // Read as printed: the bridge goes for the broker the block names (none may listen there).
  EXPECT_NE(program.WaitForLine("broker mqtt://localhost:1883"), "") << program.output();
  EXPECT_THAT(program.output(), Not(HasSubstr("stays off")));

  // The user points the block at their broker (its comment kept) and saves: the bridge connects
  // there while the program runs on.
  std::string edited = block;
  const std::string printed = "mqtt://localhost:1883";
  edited.replace(edited.find(printed), printed.size(), broker.url());
  MqttProbe probe(broker.port());
  WriteFile(settings, head + edited);
  EXPECT_NE(
      program.WaitForLine("Connected to the broker 127.0.0.1:" + std::to_string(broker.port()),
                          std::chrono::seconds(30)),
      "")
      << program.output();
  EXPECT_TRUE(probe.WaitFor([](const auto& seen) {
    auto it = seen.find("quellbrook/status");
    return it != seen.end() && it->second.payload == "online";
  })) << program.output();
  // Switched off in the file: the bridge says goodbye.
  std::string off = edited;
  off.replace(off.find("Enabled=1"), 9, "Enabled=0");
  WriteFile(settings, head + off);
  EXPECT_TRUE(probe.WaitFor([](const auto& seen) {
    auto it = seen.find("quellbrook/status");
    return it != seen.end() && it->second.payload == "offline";
  })) << program.output();
}

}  // namespace
}  // namespace qb::test
