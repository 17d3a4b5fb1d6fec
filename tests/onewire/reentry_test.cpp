// Commands, page requests and registry changes handled inside the pauses of the bus scan and the
// read cycle, as the host's web server delivers them while the plug-in polls. Run under the
// sanitizers, any reference kept across a pause shows up as a use after free.
#include <gmock/gmock.h>

#include <random>

#include "onewire/network_fixture.h"
#include "web/built_pages.h"
#include "web/plugin_pages.h"

namespace qb::test {
namespace {

using nlohmann::json;

class ReentryTest : public NetworkTest {
 protected:
  ReentryTest() {
    Plugin().parts.pages = std::make_shared<PluginWebPages>(std::make_shared<BuiltPages>());
  }

  // One interruption at every pause: a host command on one of the plug-in's devices, a page, or
  // a change of the registry. Queued again before it runs, so interruptions also nest (a command
  // inside a page inside the scan), two deep at most.
  void Interrupt() {
    if (stop_) return;
    loop.Post([this] { Interrupt(); });
    if (depth_ >= 2) return;
    ++depth_;
    ++interruptions_;
    const int pick = static_cast<int>(random_() % 10);
    std::vector<std::shared_ptr<TestDevice>> mine;
    for (const auto& d : host->devices) {
      if (d->interface_ == kPluginName && !d->hc_.empty()) mine.push_back(d);
    }
    if (pick < 6 && !mine.empty()) {
      auto d = mine[random_() % mine.size()];
      static const int16_t kCommands[] = {2, 3, 4, 5};  // On, Off, Dim, Bright
      const int16_t command = kCommands[random_() % 4];
      plugin_.SetIO(d.get(), d->hc_, d->dc_, command, static_cast<int16_t>(random_() % 101), 0, 0);
      if (d->iomisc_ == kSwitch + "S0" && (command == 2 || command == 3)) last_switch_ = command;
    } else if (pick < 8) {
      plugin_.GenPage(pick == 6 ? "1-Wire?PAGE=0" : "1-Wire?ROMID=" + kB20 + "M");
    } else if (pick == 8 && !mine.empty()) {
      plugin_.PagePut("Update" + mine[random_() % mine.size()]->hc_ + "=On");
    } else {
      // A device leaves the registry and comes back at the next lookup.
      auto& list = gROMs().ROMlist;
      if (!list.empty()) list.erase(list.begin() + static_cast<long>(random_() % list.size()));
    }
    --depth_;
  }

  hspi plugin_;
  std::mt19937 random_{20261207};
  int depth_ = 0;
  bool stop_ = false;
  int interruptions_ = 0;
  int16_t last_switch_ = 0;
};

TEST_F(ReentryTest, CommandsAndPagesDuringTheScanAndTheReadCycle) {
  store.Set("Settings", "PollCycle", "1");
  Start(json::array({
      {{"rom", kB20}, {"temperature", -12.5}},
      {{"rom", kS20}, {"temperature", -0.5}},
      {{"rom", kHumid}, {"temperature", 25}, {"vdd", 5.0}, {"vad", 2.5}, {"vsense_mv", 10}},
      {{"rom", kQuad}, {"inputs", {1.0, 2.0, 0.5, 0.0}}},
      {{"rom", kCounter}, {"counters", {5, 6, 7, 8}}},
      {{"rom", kSwitch}, {"latches", {true, false}}, {"levels", {false, true}}},
      {{"rom", kPot}, {"wiper", 100}},
  }));
  Poll(10s);  // the host devices exist before the interruptions start
  const size_t host_devices = host->devices.size();
  SCOPED_TRACE("seed 20261207");
  loop.Post([this] { Interrupt(); });
  Poll(60s);
  stop_ = true;
  loop.RunDue();
  EXPECT_GT(interruptions_, 300);
  // A device taken out of the registry and found again adopts its host devices: none is made twice.
  EXPECT_EQ(host->devices.size(), host_devices);
  EXPECT_FALSE(Plugin().ExternalBusy);  // every holder gave it back

  // Whatever ran in between, the plug-in still polls (and finds again the devices taken out of
  // its registry), and a command still reaches the device.
  Poll(5s);
  const int16_t wanted = last_switch_ == 2 ? 3 : 2;
  auto sw = HostDevice(kSwitch + "-Switch0");
  ASSERT_TRUE(sw);
  plugin_.SetIO(sw.get(), sw->hc_, sw->dc_, wanted, 0, 0, 0);
  Poll(4s);
  EXPECT_EQ(Shown(kSwitch + "-Switch0"), wanted == 2 ? "On" : "Off");
}

}  // namespace
}  // namespace qb::test
