#include "support/plugin_fixture.h"

namespace qb::test {

PluginTest::PluginTest() {
  ResetPluginState();
  PluginState& p = Plugin();
  p.services = PluginServices{&store, &ui, &loop, &clock};
  p.parts.adapter = adapter;
  p.parts.timers = timers;
  p.parts.dialog = dialog;
  p.parts.devices = devices;
  p.parts.cycle = cycle;
  p.parts.pages = pages;
  p.parts.process = process;
}

PluginTest::~PluginTest() {
  ResetPluginState();
}

void PluginTest::ConnectHost() {
  Plugin().host = host;
  Plugin().callback = host;
}

}  // namespace qb::test
