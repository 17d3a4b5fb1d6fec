#include "sim/confirmed_write.h"

namespace qb::sim {

ConfirmedWrite::Answer ConfirmedWrite::Byte(uint8_t byte,
                                            const std::function<uint8_t(uint8_t)>& take,
                                            const std::function<uint8_t()>& status) {
  if (!have_output_) {
    outputs_ = byte;
    have_output_ = true;
    return {};
  }
  have_output_ = false;
  if (byte != static_cast<uint8_t>(~outputs_)) return {true, {}};
  if (failing_ > 0) {
    --failing_;
    return {false, {0x55, status()}};
  }
  return {false, {0xAA, take(outputs_)}};
}

}  // namespace qb::sim
