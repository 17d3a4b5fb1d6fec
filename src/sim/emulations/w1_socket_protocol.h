#pragma once

#include <cstdint>

namespace qb::sim {

// Between the preloaded netlink library (in a program) and the emulated kernel (in the bus tool):
// a Unix sequenced-packet connection per netlink socket the program opens, its path in the
// environment variable below. Netlink packets pass as they are; the group join is the one
// control message: kJoinMagic and the group (u32) one way, kJoinMagic and the errno (i32, 0 when
// allowed) back.
inline constexpr const char* kW1SocketEnv = "QB_W1_EMULATION";
inline constexpr char kJoinMagic[8] = {'Q', 'B', 'W', '1', 'J', 'O', 'I', 'N'};
inline constexpr unsigned kJoinMessageSize = 12;

}  // namespace qb::sim
