#include "sim/ds2405.h"

#include "sim/models.h"
#include "sim/switch_channels.h"

namespace qb::sim {

DS2405Model::DS2405Model(const access::RomId& rom, bool conducting,
                         std::unique_ptr<ValueSource> level)
    : SimDevice(rom), conducting_(conducting), level_(std::move(level)) {}

bool DS2405Model::PinLevel() {
  return !conducting_ && level_->BoolAt(Seconds());
}

std::unique_ptr<SimDevice> MakeDS2405Model(const access::RomId& rom, const nlohmann::json& device) {
  auto channel = ParseSwitchChannels<1>(rom, device);
  return std::make_unique<DS2405Model>(rom, channel.conducting[0], std::move(channel.levels[0]));
}

bool DS2405Model::FollowValues(SimDevice& edited) {
  return FollowSameModel<DS2405Model>(edited,
                                      [&](DS2405Model& e) { level_ = std::move(e.level_); });
}

}  // namespace qb::sim
