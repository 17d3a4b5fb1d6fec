#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "access/container.h"

namespace qb::access {

// What a switch family's state shows of one channel.
struct SwitchChannel {
  bool level = false;       // the level sensed at the pin
  bool conducting = false;  // the output transistor conducts
  bool activity = false;    // the activity latch, on the families that have one
};

// The shape of a switch family's state.
struct SwitchLayout {
  size_t state_size;          // bytes of the state readDevice returns
  int channels;               // channels, where the state does not say
  bool activity_latches;      // whether the part latches activity at its pins
  const char* channels_hint;  // added to the error for a channel the part lacks
};

// The switch calls every family with switched channels answers the same way: check the state
// and the channel, then read the family's answer from the state (ChannelAt). `Base` is what the
// family is otherwise: a plain container, or the thermometer of a part that is both.
template <class Base>
class SwitchContainer : public Base {
 public:
  template <class... BaseArgs>
  explicit SwitchContainer(SwitchLayout layout, BaseArgs&&... base_args)
      : Base(std::forward<BaseArgs>(base_args)...), layout_(layout) {}

  int getNumberChannels(const DeviceState& state) const override {
    this->CheckStateSize(state, layout_.state_size, "getNumberChannels");
    return ChannelsIn(state);
  }
  bool hasLevelSensing() const override { return true; }
  bool hasActivitySensing() const override { return layout_.activity_latches; }
  bool getLevel(int channel, const DeviceState& state) const override {
    CheckChannel(channel, state, "getLevel");
    return ChannelAt(channel, state).level;
  }
  bool getLatchState(int channel, const DeviceState& state) const override {
    CheckChannel(channel, state, "getLatchState");
    return ChannelAt(channel, state).conducting;
  }
  // Not supported by a part without activity latches.
  bool getSensedActivity(int channel, const DeviceState& state) const override {
    if (!layout_.activity_latches) return Base::getSensedActivity(channel, state);
    CheckChannel(channel, state, "getSensedActivity");
    return ChannelAt(channel, state).activity;
  }

 protected:
  // The channels of a state of the right size: the layout's count unless the part reports it.
  virtual int ChannelsIn(const DeviceState& /*state*/) const { return layout_.channels; }
  // What the state shows of a channel; the state and the channel are checked.
  virtual SwitchChannel ChannelAt(int channel, const DeviceState& state) const = 0;
  // Raises a GeneralFailure naming `call` unless the state has the size of this family's states
  // and the part has the channel.
  void CheckChannel(int channel, const DeviceState& state, const char* call) const {
    this->CheckStateSize(state, layout_.state_size, call);
    if (channel < 0 || channel >= ChannelsIn(state))
      this->Fail("has no channel " + std::to_string(channel) + layout_.channels_hint);
  }

 private:
  SwitchLayout layout_;
};

}  // namespace qb::access
