#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/plugin_parts.h"
#include "core/plugin_state.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/settings_store.h"
#include "platform/user_interface.h"
#include "support/test_host.h"

namespace qb::test {

class MockAdapterStartup : public AdapterStartup {
 public:
  MOCK_METHOD(std::string, InitHW, (int32_t port), (override));
  MOCK_METHOD(void, EndExclusive, (), (override));
  MOCK_METHOD(void, ReleaseAdapter, (), (override));
};

class MockTimerWindow : public TimerWindow {
 public:
  MOCK_METHOD(void, Show, (), (override));
  MOCK_METHOD(void, Hide, (), (override));
  MOCK_METHOD(void, EnableStartupTimer, (), (override));
  MOCK_METHOD(bool, PollTimerEnabled, (), (const, override));
  MOCK_METHOD(void, SetPollTimerEnabled, (bool enabled), (override));
  MOCK_METHOD(void, ShutDown, (), (override));
};

class MockSetupDialog : public SetupDialog {
 public:
  MOCK_METHOD(void, ShowModeless, (), (override));
  MOCK_METHOD(void, BringToFront, (), (override));
  MOCK_METHOD(void, ShowDeviceNode, (const std::string& rom, int32_t highlight), (override));
  MOCK_METHOD(void, SelectDeviceTab, (int tab), (override));
  MOCK_METHOD(bool, IsOpen, (), (const, override));
  MOCK_METHOD(void, RefreshDisplay, (), (override));
  MOCK_METHOD(void, Unload, (), (override));
  MOCK_METHOD(void, RefreshMemory, (const std::string& rom), (override));
};

class MockDeviceControl : public DeviceControl {
 public:
  MOCK_METHOD(void, AdoptHSDevices, (bool refresh), (override));
  MOCK_METHOD(void, GetDevices, (), (override));
  MOCK_METHOD(std::optional<ChannelRef>, GetHSROM, (const std::string& hc, const std::string& dc),
              (override));
  MOCK_METHOD(std::optional<ChannelRef>, BindHSDevice,
              (HostDevice * device, const std::string& hc, const std::string& dc), (override));
  MOCK_METHOD(void, SetSwitch, (const ChannelRef& channel, bool on), (override));
  MOCK_METHOD(void, SetPot, (const ChannelRef& channel, int32_t wiper, bool unscaled), (override));
  MOCK_METHOD(void, AD4Adjust, (int channel, int setting, double value, const std::string& key),
              (override));
  MOCK_METHOD(void, UpdateHSDev, (const ChannelRef& channel, const std::string& value), (override));
  MOCK_METHOD(void, WriteOutput, (const ChannelRef& channel, int16_t command, int16_t brightness),
              (override));
};

class MockBusCycle : public BusCycle {
 public:
  MOCK_METHOD(void, CheckPresence, (), (override));
  MOCK_METHOD(void, ReadNet, (), (override));
};

class MockWebPages : public WebPages {
 public:
  MOCK_METHOD(std::string, GenPage, (const std::string& lnk), (override));
  MOCK_METHOD(std::string, PagePut, (const std::string& data), (override));
};

class MockProcessControl : public ProcessControl {
 public:
  MOCK_METHOD(void, EndProcess, (), (override));
};

// The headless user interface, keeping each message box's text as it was given.
class RecordingUserInterface : public HeadlessUserInterface {
 public:
  explicit RecordingUserInterface(Clock& clock) : HeadlessUserInterface(clock, nullptr) {}
  void MessageBox(const std::string& text, MessageIcon icon,
                  const std::string& title = {}) override {
    messages.emplace_back(title, text);
    HeadlessUserInterface::MessageBox(text, icon, title);
  }
  bool Ask(const Question& question) override {
    questions.push_back(question.text);
    return HeadlessUserInterface::Ask(question);
  }
  std::vector<std::pair<std::string, std::string>> messages;  // title, text
  std::vector<std::string> questions;
};

// A plug-in with a test host, a simulated clock, an in-memory settings store, the headless user
// interface (its message boxes collected in `messages`) and mock parts.
class PluginTest : public ::testing::Test {
 protected:
  PluginTest();
  ~PluginTest() override;

  // Makes the test host the plug-in's host, as RegisterCallback would.
  void ConnectHost();

  std::shared_ptr<TestHost> host = std::make_shared<TestHost>();
  SimulatedClock clock;
  HeadlessEventLoop loop{clock};
  IniSettingsStore store;
  RecordingUserInterface ui{clock};
  std::vector<std::pair<std::string, std::string>>& messages = ui.messages;

  std::shared_ptr<::testing::NiceMock<MockAdapterStartup>> adapter =
      std::make_shared<::testing::NiceMock<MockAdapterStartup>>();
  std::shared_ptr<::testing::NiceMock<MockTimerWindow>> timers =
      std::make_shared<::testing::NiceMock<MockTimerWindow>>();
  std::shared_ptr<::testing::NiceMock<MockSetupDialog>> dialog =
      std::make_shared<::testing::NiceMock<MockSetupDialog>>();
  std::shared_ptr<::testing::NiceMock<MockDeviceControl>> devices =
      std::make_shared<::testing::NiceMock<MockDeviceControl>>();
  std::shared_ptr<::testing::NiceMock<MockBusCycle>> cycle =
      std::make_shared<::testing::NiceMock<MockBusCycle>>();
  std::shared_ptr<::testing::NiceMock<MockWebPages>> pages =
      std::make_shared<::testing::NiceMock<MockWebPages>>();
  std::shared_ptr<::testing::NiceMock<MockProcessControl>> process =
      std::make_shared<::testing::NiceMock<MockProcessControl>>();
};

}  // namespace qb::test
