// The bridge on its own, against a real broker: settings, the kinds of channels, devices that come
// and go while the broker is down and up, and messages it must ignore.
#include "host/mqtt_bridge.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "core/hspi.h"
#include "host/builtin_host.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "support/mqtt_broker.h"
#include "support/temp_dir.h"

namespace qb::test {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

TEST(MqttSettings, ReadsTheSectionAndRefusesWhatCannotWork) {
  IniSettingsStore store;
  MqttSettings s;
  EXPECT_EQ(ReadMqttSettings(store, s), "");
  EXPECT_FALSE(s.enabled);
  EXPECT_EQ(s.base_topic, "quellbrook");
  EXPECT_EQ(s.discovery_prefix, "homeassistant");
  store.Set("MQTT", "Enabled", "1");
  store.Set("MQTT", "Broker", "mqtts://[::1]:8884");
  EXPECT_EQ(ReadMqttSettings(store, s), "");
  EXPECT_TRUE(s.enabled && s.tls);
  EXPECT_EQ(s.host, "::1");
  EXPECT_EQ(s.port, 8884);
  store.Set("MQTT", "Broker", "mqtts://broker.lan");
  EXPECT_EQ(ReadMqttSettings(store, s), "");
  EXPECT_EQ(s.port, 8883);
  for (const char* bad :
       {"tcp://x:1883", "mqtt://:1883", "mqtt://x:0", "mqtt://x:70000", "mqtt://x:18a3"}) {
    store.Set("MQTT", "Broker", bad);
    EXPECT_THAT(ReadMqttSettings(store, s), HasSubstr(bad));
  }
  store.Set("MQTT", "Broker", "mqtt://x:1883");
  store.Set("MQTT", "BaseTopic", "home/#");
  EXPECT_THAT(ReadMqttSettings(store, s), HasSubstr("home/#"));
}

// A program with a bus name (one of several on a broker) gets its own client id and topics, unless
// the section gives them.
TEST(MqttSettings, ABusNameGivesAClientIdAndBaseTopicOfItsOwnUnlessTheyAreGiven) {
  IniSettingsStore store;
  MqttSettings s;
  store.Set("Settings", "BusName", "  Upper floor #2 ");
  EXPECT_EQ(ReadMqttSettings(store, s), "");
  EXPECT_EQ(s.client_id, "quellbrook-1wire-upper-floor-2");
  EXPECT_EQ(s.base_topic, "quellbrook/upper-floor-2");
  EXPECT_EQ(s.discovery_prefix, "homeassistant");  // one house for the hub
  store.Set("MQTT", "ClientId", "attic");
  store.Set("MQTT", "BaseTopic", "house/attic");
  EXPECT_EQ(ReadMqttSettings(store, s), "");
  EXPECT_EQ(s.client_id, "attic");
  EXPECT_EQ(s.base_topic, "house/attic");
  store.Set("Settings", "BusName", "###");
  store.Remove("MQTT", "BaseTopic");
  EXPECT_EQ(ReadMqttSettings(store, s), "");
  EXPECT_EQ(s.base_topic, "quellbrook");  // no letters or digits: no level of its own
}

TEST(MqttDiscovery, KindsOfKeysAndStatePayloads) {
  ChannelKind k;
  const std::pair<const char*, ChannelKind> known[] = {
      {"940000000001E228M", ChannelKind::kTemperature},
      {"8C00000000031B26N", ChannelKind::kHumidity},
      {"8C00000000031B26I", ChannelKind::kSenseVoltage},
      {"E900000000045120I", ChannelKind::kVoltage},
      {"AB00000000054A1DK2", ChannelKind::kCounter},
      {"4800000000066912S1", ChannelKind::kSwitch},
      {"4800000000066912P0", ChannelKind::kLevel},
      {"B90000000007132CT", ChannelKind::kPotentiometer},
      {"3600000000090B01", ChannelKind::kPresence}};
  for (const auto& [key, kind] : known) {
    ASSERT_TRUE(ChannelKindOf(key, k)) << key;
    EXPECT_EQ(k, kind) << key;
  }
  for (const char* bad : {"", "940000000001E22", "94000000000#E228M", "940000000001E228X",
                          "940000000001E228M/x", "4800000000066912S", "4800000000066912S+"}) {
    EXPECT_FALSE(ChannelKindOf(bad, k)) << bad;
  }
  EXPECT_EQ(StatePayload(ChannelKind::kTemperature, "21.5\u00BAC"), "21.5");
  EXPECT_EQ(StatePayload(ChannelKind::kTemperature, "-0.0625"), "-0.0625");
  EXPECT_EQ(StatePayload(ChannelKind::kTemperature, ""), "");
  EXPECT_EQ(StatePayload(ChannelKind::kCounter, "1224"), "1224");
  EXPECT_EQ(StatePayload(ChannelKind::kSwitch, "On"), "ON");
  EXPECT_EQ(StatePayload(ChannelKind::kLevel, "Off"), "OFF");
  EXPECT_EQ(StatePayload(ChannelKind::kSwitch, "21"), "");
}

// A host and its event loop on the test's thread, with a bridge to the broker.
class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (MosquittoProgram().empty())
      GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto): MQTT tests skipped";
    host = std::make_shared<BuiltInHost>(dir.str(), clock, false);
    host->Start();
    loop.AdoptCurrentThread();
    settings.enabled = true;
    settings.host = "127.0.0.1";
    settings.port = broker.port();
    bridge = std::make_unique<MqttBridge>(*host, loop, settings);
  }
  void TearDown() override {
    bridge.reset();
    broker.Stop();
  }
  // Runs the loop until `done` holds (checked between turns) or 15 s passed.
  bool Pump(const std::function<bool()>& done) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
         std::chrono::steady_clock::now() < end;) {
      loop.RunDue();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::shared_ptr<DeviceRecord> AddChannel(const std::string& key, const std::string& text,
                                           const std::string& dc) {
    auto d = host->devices().ByRef(host->NewDevice(key));
    d->interface = kPluginName;
    d->iomisc = key;
    d->hc = "Q";
    d->dc = dc;
    d->string = text;
    return d;
  }
  int LogLines(const std::string& text) {
    int n = 0;
    for (const auto& line : host->log().Tail(1000)) n += line.text.find(text) != std::string::npos;
    return n;
  }
  std::string Config(const std::string& component, const std::string& key) {
    return "homeassistant/" + component + "/quellbrook-1wire/" + key + "/config";
  }

  TempDir dir;
  SystemClock clock;
  HeadlessEventLoop loop{clock};
  MqttBroker broker{dir.path()};
  std::shared_ptr<BuiltInHost> host;
  MqttSettings settings;
  std::unique_ptr<MqttBridge> bridge;
};

TEST_F(BridgeTest, BrokerDownAtStartThenDevicesComeAndGo) {
  const std::string temp = "940000000001E228M", sw = "4800000000066912S0";
  auto t = AddChannel(temp, "21.5", "1");
  ASSERT_EQ(bridge->Start(), "");
  // With no broker the loop turns on, and the syncs publish nothing.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  Pump([&] { return std::chrono::steady_clock::now() > end; });
  EXPECT_FALSE(bridge->Connected());
  EXPECT_EQ(bridge->Published(), 0u);

  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  MqttProbe probe(broker.port());
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + temp + "/state") == "21.5"; }));
  EXPECT_EQ(probe.Last("quellbrook/status"), "online");
  const json config = json::parse(probe.Last(Config("sensor", temp)));
  EXPECT_EQ(config["device_class"], "temperature");
  EXPECT_EQ(config["unit_of_measurement"], "\u00B0C");
  EXPECT_EQ(json::parse(probe.Last("quellbrook/" + temp + "/attributes"))["stale"], false);

  // A switch appears; the thermometer goes stale and reads on; then the switch is deleted.
  auto s = AddChannel(sw, "Off", "2");
  t->stale = true;
  t->string = "22";
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + sw + "/state") == "OFF"; }));
  EXPECT_EQ(json::parse(probe.Last(Config("switch", sw)))["command_topic"],
            "quellbrook/" + sw + "/set");
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + temp + "/state") == "22"; }));
  EXPECT_EQ(probe.Last("quellbrook/" + temp + "/availability"), "offline");
  EXPECT_EQ(LogLines("Announcing " + sw), 1);

  host->DeleteDevice(s->ref);
  ASSERT_TRUE(Pump([&] { return probe.Last(Config("switch", sw)).empty(); }));
  EXPECT_EQ(LogLines("Withdrew " + sw), 1);
  // Withdrawn for good: a new subscriber finds no retained config of it.
  MqttProbe late(broker.port());
  Pump([&] { return late.Snapshot().count(Config("sensor", temp)) == 1; });
  EXPECT_EQ(late.Snapshot().count(Config("switch", sw)), 0u);
  EXPECT_EQ(late.Last("quellbrook/" + temp + "/state"), "22");
}

TEST_F(BridgeTest, ASwitchToFahrenheitIsAnnouncedWithTheNewUnit) {
  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  const std::string temp = "940000000001E228M", volts = "AB0000000005A420G";
  auto t = AddChannel(temp, "21.5", "1");
  AddChannel(volts, "4.99", "2");
  bool fahrenheit = false;
  bridge->SetFahrenheit([&] { return fahrenheit; });
  ASSERT_EQ(bridge->Start(), "");
  MqttProbe probe(broker.port());
  auto unit = [&] {
    return json::parse(probe.Last(Config("sensor", temp))).value("unit_of_measurement", "");
  };
  auto attribute_unit = [&] {
    return json::parse(probe.Last("quellbrook/" + temp + "/attributes")).value("unit", "");
  };
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + temp + "/state") == "21.5"; }));
  EXPECT_EQ(unit(), "\u00B0C");

  // The scale switches first; the host's value follows a moment later.
  fahrenheit = true;
  ASSERT_TRUE(Pump([&] { return attribute_unit() == "\u00B0F"; })) << attribute_unit();
  EXPECT_EQ(unit(), "\u00B0F");
  t->string = "70.7";
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + temp + "/state") == "70.7"; }));
  EXPECT_EQ(unit(), "\u00B0F");
  EXPECT_EQ(json::parse(probe.Last(Config("sensor", volts)))["unit_of_measurement"], "V");

  // And back, value and scale at once.
  fahrenheit = false;
  t->string = "21.5";
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + temp + "/state") == "21.5"; }));
  ASSERT_TRUE(Pump([&] { return unit() == "\u00B0C" && attribute_unit() == "\u00B0C"; })) << unit();
}

// The switch families with PIO access and the chain thermometer as a hub sees them, and a button
// at a reader: a presence sensor that says "arrived" and "left" each time, under the name the
// user gave it.
TEST_F(BridgeTest, PioSwitchesChainThermometerAndAButtonThatComesAndGoes) {
  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  const std::string dual = "5100000000000A3A", eight = "6200000000000B29",
                    chain = "7300000000000C42", button = "8400000000000D01";
  auto latch = AddChannel(eight + "S7", "Off", "1");
  AddChannel(eight + "P7", "On", "2");
  AddChannel(dual + "S1", "On", "3");
  AddChannel(dual + "P0", "Off", "4");
  AddChannel(chain + "M", "21.5", "5");
  AddChannel(chain + "S0", "Off", "6");
  auto key = AddChannel(button, "On", "7");
  ASSERT_EQ(bridge->Start(), "");
  MqttProbe probe(broker.port());
  auto config = [&](const std::string& component, const std::string& k) {
    const std::string text = probe.Last(Config(component, k));
    return text == "<none>" ? json() : json::parse(text);
  };
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + button + "/state") == "ON"; }));
  ASSERT_TRUE(Pump([&] { return !config("binary_sensor", button).is_null(); }));

  for (const auto& [k, part] :
       {std::pair{eight + "S7", "DS2408"}, {dual + "S1", "DS2413"}, {chain + "S0", "DS28EA00"}}) {
    SCOPED_TRACE(k);
    const json c = config("switch", k);
    EXPECT_EQ(c.value("command_topic", ""), "quellbrook/" + k + "/set");
    EXPECT_EQ(c["device"].value("model", ""), part);
  }
  EXPECT_FALSE(config("binary_sensor", eight + "P7").is_null());
  EXPECT_FALSE(config("binary_sensor", dual + "P0").is_null());
  EXPECT_EQ(probe.Last("quellbrook/" + dual + "P0/state"), "OFF");
  EXPECT_EQ(config("sensor", chain + "M").value("device_class", ""), "temperature");
  EXPECT_EQ(probe.Last("quellbrook/" + chain + "M/state"), "21.5");
  const json presence = config("binary_sensor", button);
  EXPECT_EQ(presence.value("device_class", ""), "presence");
  EXPECT_EQ(presence["device"].value("model", ""), "DS1990A");
  EXPECT_EQ(probe.Snapshot().count("quellbrook/" + button + "/event"), 0u)
      << "a button present at start has not just arrived";

  // A switch command to the eight-channel switch takes the host's command path.
  probe.Publish("quellbrook/" + eight + "S7/set", "ON");
  ASSERT_TRUE(Pump([&] { return latch->Status == 2; }));

  // The user names the button; then it leaves and arrives twice.
  key->name = "Front door key";
  ASSERT_TRUE(
      Pump([&] { return config("binary_sensor", button).value("name", "") == "Front door key"; }));
  const std::string event = "quellbrook/" + button + "/event";
  auto events = [&] {
    const auto seen = probe.Snapshot();
    const auto it = seen.find(event);
    return it == seen.end() ? 0 : it->second.count;
  };
  for (int round = 1; round <= 2; ++round) {
    key->string = "Off";
    ASSERT_TRUE(Pump([&] { return events() == 2 * round - 1; }));
    EXPECT_EQ(probe.Last(event), "left");
    EXPECT_EQ(probe.Last("quellbrook/" + button + "/state"), "OFF");
    key->string = "On";
    ASSERT_TRUE(Pump([&] { return events() == 2 * round; }));
    EXPECT_EQ(probe.Last(event), "arrived");
  }
  EXPECT_FALSE(probe.Snapshot()[event].retained) << "a new subscriber must not see it again";
  MqttProbe late(broker.port());
  late.WaitFor([&](const auto& seen) { return seen.count(Config("binary_sensor", button)) > 0; });
  EXPECT_EQ(late.Snapshot().count(event), 0u);
}

TEST_F(BridgeTest, UnknownTopicsAndBadPayloadsAreIgnoredWithOneLine) {
  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  const std::string temp = "940000000001E228M", sw = "4800000000066912S0",
                    pot = "B90000000007132CT";
  AddChannel(temp, "21.5", "1");
  auto s = AddChannel(sw, "Off", "2");
  auto p = AddChannel(pot, "128", "3");
  ASSERT_EQ(bridge->Start(), "");
  MqttProbe probe(broker.port());
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + pot + "/state") == "128"; }));

  probe.Publish("quellbrook/0000000000000028M/set", "ON");
  probe.Publish("quellbrook/" + temp + "/set", "ON");
  probe.Publish("quellbrook/" + sw + "/set", "maybe");
  probe.Publish("quellbrook/" + sw + "/set", std::string("O\0N", 3));
  probe.Publish("quellbrook/" + pot + "/set", "256");
  probe.Publish("quellbrook/" + pot + "/set", "12.5");
  ASSERT_TRUE(Pump([&] { return LogLines("Ignored") == 6; }));
  EXPECT_EQ(LogLines("no channel of the plug-in has that topic"), 1);
  EXPECT_EQ(LogLines("that channel takes no commands"), 1);
  EXPECT_EQ(LogLines("send ON or OFF"), 2);
  EXPECT_EQ(LogLines("send a whole number from 0 to 255"), 2);
  EXPECT_EQ(s->Status, 0);  // no command reached the host
  EXPECT_EQ(p->Status, 0);

  // A good command takes the host's command path (the host records the status it sends).
  probe.Publish("quellbrook/" + sw + "/set", "on");
  ASSERT_TRUE(Pump([&] { return s->Status == 2; }));
  EXPECT_EQ(LogLines("Ignored"), 6);
}

// A command the broker kept (retained) is handed over at every subscription: taken, it would
// switch the device again at every start and every reconnection.
TEST_F(BridgeTest, RetainedCommandsAreIgnoredAtEverySubscription) {
  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  const std::string sw = "4800000000066912S0";
  auto s = AddChannel(sw, "Off", "2");
  MqttProbe probe(broker.port());
  probe.Publish("quellbrook/" + sw + "/set", "ON", /*retain=*/true);
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + sw + "/set") == "ON"; }));
  for (int start = 1; start <= 2; ++start) {
    bridge = std::make_unique<MqttBridge>(*host, loop, settings);
    ASSERT_EQ(bridge->Start(), "");
    ASSERT_TRUE(Pump([&] { return LogLines("Ignored a retained command") == start; }));
    EXPECT_EQ(s->Status, 0);
    bridge->Stop();
  }
}

// A plug-in that drives a switch as the real one does: the command's new state is read back into
// the device's text before SetIO returns.
class ReadBackPlugin : public HostedPlugin {
 public:
  explicit ReadBackPlugin(BuiltInHost& host) : host_(host) {}
  std::string PluginName() const override { return kPluginName; }
  std::string link() const override { return {}; }
  std::string linktext() const override { return {}; }
  std::string page_title() const override { return {}; }
  std::string GenPage(const std::string&) override { return {}; }
  std::string PagePut(const std::string&) override { return {}; }
  void SetIO(HostDevice*, const std::string& hc, const std::string& dc, int16_t command, int16_t,
             int16_t, int16_t) override {
    host_.SetDeviceString(hc + dc, command == 2 ? "On" : "Off");
  }

 private:
  BuiltInHost& host_;
};

// A command's read-back state is published when the command is done, not at the bridge's next
// turn: in the program that turn can wait for a whole conversion or read cycle. The loop is not
// run after the command here, so only the command itself can have published it.
TEST_F(BridgeTest, ACommandsReadBackStateIsPublishedAtOnce) {
  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  const std::string sw = "4800000000066912S0", state = "quellbrook/" + sw + "/state";
  AddChannel(sw, "Off", "2");
  ReadBackPlugin plugin(*host);
  host->AttachPlugin(&plugin);
  ASSERT_EQ(bridge->Start(), "");
  MqttProbe probe(broker.port());
  ASSERT_TRUE(Pump([&] { return probe.Last(state) == "OFF"; }));

  host->ExecX10("Q2", "On");
  EXPECT_TRUE(probe.WaitFor(
      [&](const auto& seen) {
        auto it = seen.find(state);
        return it != seen.end() && it->second.payload == "ON";
      },
      std::chrono::seconds(5)));

  // A bridge that is gone no longer hears of commands.
  bridge.reset();
  host->ExecX10("Q2", "Off");
  EXPECT_EQ(host->DeviceString("Q2"), "Off");
  host->AttachPlugin(nullptr);
}

// A flood of bad commands writes a few lines, not one per message.
TEST_F(BridgeTest, AFloodOfBadCommandsWritesAFewLines) {
  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  const std::string sw = "4800000000066912S0";
  auto s = AddChannel(sw, "Off", "2");
  ASSERT_EQ(bridge->Start(), "");
  MqttProbe probe(broker.port());
  ASSERT_TRUE(Pump([&] { return probe.Last("quellbrook/" + sw + "/state") == "OFF"; }));
  for (int i = 0; i < 500; ++i)
    probe.Publish("quellbrook/" + sw + "/set", "bad " + std::to_string(i));
  // Commands are handled in the order sent: once the good one is in, so are the bad ones.
  probe.Publish("quellbrook/" + sw + "/set", "ON");
  ASSERT_TRUE(Pump([&] { return s->Status == 2; }));
  EXPECT_EQ(LogLines("Ignored the payload"), 10);
}

TEST_F(BridgeTest, AnAbsentBrokerIsReportedOnceAndItsReturnToo) {
  bridge->SetUnreachableAfter(std::chrono::milliseconds(300));
  ASSERT_EQ(bridge->Start(), "");
  ASSERT_TRUE(Pump([&] { return LogLines("cannot be reached") == 1; }));
  EXPECT_EQ(LogLines("the bridge keeps retrying in the background"), 1);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  Pump([&] { return std::chrono::steady_clock::now() > end; });
  EXPECT_EQ(LogLines("cannot be reached"), 1);
  std::string error;
  ASSERT_TRUE(broker.Start(error)) << error;
  ASSERT_TRUE(
      Pump([&] { return bridge->Connected() && LogLines("Connected to the broker") == 1; }));
  EXPECT_EQ(LogLines("again after"), 1);
  EXPECT_EQ(LogLines("cannot be reached"), 1);
}

}  // namespace
}  // namespace qb::test
